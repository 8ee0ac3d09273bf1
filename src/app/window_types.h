// Makes the window's C++ models and the brand available to its QML under the import
// "Zoranth.Window", and the symbol set to an engine as "image://icon/…". Main thread.
#pragma once

class QQmlEngine;

namespace zoranth {

struct WindowTypes {
    WindowTypes() = delete;

    static constexpr const char* uri = "Zoranth.Window";

    // Registers the types once per process and installs the symbol provider on `engine`.
    static void install(QQmlEngine& engine);
};

}  // namespace zoranth
