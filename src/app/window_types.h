// Makes the window's QML module Zoranth.Host (its views, the brand and the C++ models,
// all compiled into this library) importable by an engine, and gives the engine the
// symbol set as "image://icon/…" and the join link's QR code as "image://joincode/…".
// Main thread.
#pragma once

class QQmlEngine;

namespace zoranth {

struct WindowTypes {
    WindowTypes() = delete;

    static constexpr const char* uri = "Zoranth.Host";

    static void install(QQmlEngine& engine);
};

}  // namespace zoranth
