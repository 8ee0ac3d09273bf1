#include "host/wall_clock.h"

#include <ctime>

namespace zoranth {

double WallClock::now() {
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

}  // namespace zoranth
