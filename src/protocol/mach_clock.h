// The host clock every timestamp on the wire refers to: monotonic nanoseconds
// that stop while the machine sleeps. All static; callable from any thread.
#pragma once

#include <cstdint>

namespace zoranth {

struct MachClock {
    MachClock() = delete;

    // Host ticks per nanosecond as numer/denom: nanos = ticks * numer / denom.
    struct Timebase {
        std::uint32_t numer = 1;
        std::uint32_t denom = 1;
        friend bool operator==(const Timebase&, const Timebase&) = default;
    };

    // CLOCK_MONOTONIC in nanoseconds: the same base the capture layer stamps
    // deliveries with, and it does not advance during suspend.
    static std::uint64_t nowNanos();

    static std::uint64_t nanosFromHostTime(std::uint64_t hostTime);
    static std::uint64_t hostTimeFromNanos(std::uint64_t nanos);
    // The process-wide timebase, fetched once on first use.
    static Timebase timebaseRatio();

    // The conversions for a given timebase. Quotient and remainder are split so
    // the intermediate product stays within 64 bits for any realistic uptime;
    // neither member may be zero.
    static std::uint64_t nanosFromHostTime(std::uint64_t hostTime, Timebase timebase);
    static std::uint64_t hostTimeFromNanos(std::uint64_t nanos, Timebase timebase);
};

}  // namespace zoranth
