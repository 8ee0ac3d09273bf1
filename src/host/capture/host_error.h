// The capture layer's own failures, each with the text a user sees in the status line,
// the tap-check report and the log. A plain value: any thread.
#pragma once

#include <string_view>

namespace zoranth {

struct HostError {
    enum class Case {
        ringAllocationFailed,
        tapFormatUnavailable,
        alreadyRunning,
    };

    Case which;

    std::string_view description() const;

    bool operator==(const HostError&) const = default;
};

}  // namespace zoranth
