// Whether avahi-daemon can be reached over the system D-Bus, asked without starting it
// (no bus activation): its version when it answers, otherwise why not. Blocking, at
// most `timeout`: call it from a background thread.
#pragma once

#include <chrono>
#include <expected>
#include <string>

namespace zoranth {

struct AvahiDaemon {
    struct Failure {
        enum class Case {
            busUnreachable,  // no system bus to ask on
            notRunning,      // the bus answers but avahi-daemon is not on it
            notAnswering,    // it is on the bus but its answer failed
        };
        Case kind = Case::notRunning;
        std::string text;  // the bus's own error text
        friend bool operator==(const Failure&, const Failure&) = default;
    };

    static constexpr const char* serviceName = "org.freedesktop.Avahi";

    // "avahi 0.8" when it answers. `busAddress` empty: the system bus.
    static std::expected<std::string, Failure> version(
        const std::string& busAddress = {},
        std::chrono::milliseconds timeout = std::chrono::milliseconds(3000));
};

}  // namespace zoranth
