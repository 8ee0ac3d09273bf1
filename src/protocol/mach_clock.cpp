#include "protocol/mach_clock.h"

#include <cassert>
#include <ctime>

namespace zoranth {

namespace {

// Host ticks on Linux are the monotonic clock's nanoseconds, so the ratio is 1/1.
MachClock::Timebase fetchTimebase() {
    return {1, 1};
}

std::uint64_t scale(std::uint64_t value, std::uint64_t multiplier, std::uint64_t divisor) {
    assert(multiplier != 0 && divisor != 0);
    if (multiplier == divisor) {
        return value;
    }
    return (value / divisor) * multiplier + ((value % divisor) * multiplier) / divisor;
}

}  // namespace

std::uint64_t MachClock::nowNanos() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u +
           static_cast<std::uint64_t>(now.tv_nsec);
}

MachClock::Timebase MachClock::timebaseRatio() {
    static const Timebase timebase = fetchTimebase();
    return timebase;
}

std::uint64_t MachClock::nanosFromHostTime(std::uint64_t hostTime) {
    return nanosFromHostTime(hostTime, timebaseRatio());
}

std::uint64_t MachClock::hostTimeFromNanos(std::uint64_t nanos) {
    return hostTimeFromNanos(nanos, timebaseRatio());
}

std::uint64_t MachClock::nanosFromHostTime(std::uint64_t hostTime, Timebase timebase) {
    return scale(hostTime, timebase.numer, timebase.denom);
}

std::uint64_t MachClock::hostTimeFromNanos(std::uint64_t nanos, Timebase timebase) {
    return scale(nanos, timebase.denom, timebase.numer);
}

}  // namespace zoranth
