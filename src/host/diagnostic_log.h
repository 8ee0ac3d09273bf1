// The diagnostic channel: plain lower-case lines for the system journal, tagged
// with the component's category ("tap", "pipeline", "server", "client", ...).
// Callable from any thread except the realtime capture callback.
#pragma once

#include <functional>
#include <string_view>

namespace zoranth {

// Where a component's diagnostic lines go: the journal, unless a test listens in.
using DiagnosticSink = std::function<void(std::string_view category, std::string_view text)>;

struct DiagnosticLog {
    // Sends the line to journald under the identifier "zoranth-host" with the
    // field ZORANTH_CATEGORY; does nothing visible where no journal runs.
    static void write(std::string_view category, std::string_view text);
};

}  // namespace zoranth
