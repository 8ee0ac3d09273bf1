// A failed call into the sound server: its error number (the server's own codes, e.g.
// access denied 1, connection refused 6, timeout 8) and the call that failed. A plain
// value: any thread.
#pragma once

#include <string>

namespace zoranth {

struct PulseError {
    int code = 0;
    std::string operation;  // the failed call, e.g. "pa_context_connect"

    // The server library's own short text for the code ("Connection refused").
    std::string text() const;

    bool operator==(const PulseError&) const = default;
};

}  // namespace zoranth
