// Seconds for the decision logic's durations (quality, health, watchdogs). Read
// only by the owners, who pass the time into the pure logic. Any thread.
#pragma once

namespace zoranth {

struct WallClock {
    // Seconds on a clock that never jumps (the monotonic clock, which keeps
    // running across sleep), so a changed system time never fakes a duration.
    static double now();
};

}  // namespace zoranth
