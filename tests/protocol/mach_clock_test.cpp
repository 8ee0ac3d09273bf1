#include "protocol/mach_clock.h"

#include <gtest/gtest.h>

#include <ctime>

namespace zoranth {
namespace {

// floor(value * multiplier / divisor) computed without any overflow.
std::uint64_t exactScale(std::uint64_t value, std::uint32_t multiplier, std::uint32_t divisor) {
    return static_cast<std::uint64_t>(static_cast<unsigned __int128>(value) * multiplier / divisor);
}

TEST(MachClock, ConvertsWithAnInjectedTimebase) {
    const MachClock::Timebase appleSilicon{125, 3};
    EXPECT_EQ(MachClock::nanosFromHostTime(24, appleSilicon), 1000u);
    EXPECT_EQ(MachClock::hostTimeFromNanos(1000, appleSilicon), 24u);
    EXPECT_EQ(MachClock::nanosFromHostTime(1, appleSilicon), 41u);  // rounds down
    EXPECT_EQ(MachClock::hostTimeFromNanos(41, appleSilicon), 0u);
}

TEST(MachClock, ConversionIsExactWhereANaiveProductWouldOverflow) {
    const MachClock::Timebase timebase{125, 3};
    // Each of these times 125 exceeds 64 bits, yet the result fits.
    for (std::uint64_t ticks : {std::uint64_t{1} << 58, (std::uint64_t{1} << 58) + 2,
                                std::uint64_t{147573952589676412}}) {
        EXPECT_EQ(MachClock::nanosFromHostTime(ticks, timebase), exactScale(ticks, 125, 3));
    }
    const std::uint64_t nanos = 0xFFFF'FFFF'FFFF'FFFFu;
    EXPECT_EQ(MachClock::hostTimeFromNanos(nanos, timebase), exactScale(nanos, 3, 125));
}

TEST(MachClock, HostTicksAreMonotonicNanoseconds) {
    EXPECT_EQ(MachClock::timebaseRatio(), (MachClock::Timebase{1, 1}));
    EXPECT_EQ(MachClock::nanosFromHostTime(123456789), 123456789u);

    timespec before{};
    clock_gettime(CLOCK_MONOTONIC, &before);
    const auto first = MachClock::nowNanos();
    const auto second = MachClock::nowNanos();
    const auto beforeNanos = static_cast<std::uint64_t>(before.tv_sec) * 1'000'000'000u +
                             static_cast<std::uint64_t>(before.tv_nsec);
    EXPECT_LE(beforeNanos, first);
    EXPECT_LE(first, second);
    EXPECT_LT(second - beforeNanos, 1'000'000'000u);
}

}  // namespace
}  // namespace zoranth
