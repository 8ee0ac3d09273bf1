#include "kit/beat_rate_canary.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace zoranth {
namespace {

constexpr std::uint64_t second = 1'000'000'000;
constexpr std::uint64_t start = 7'000 * second; // an arbitrary host uptime

// `count` beats evenly spread over `seconds`, starting at `from`.
void noteBeats(BeatRateCanary& canary, int count, double seconds, std::uint64_t from = start) {
    for (int i = 0; i < count; ++i) {
        canary.note(from + static_cast<std::uint64_t>(seconds * 1e9 * i / (count - 1)));
    }
}

TEST(BeatRateCanaryRate, ShortHistoryHasNoRate) {
    BeatRateCanary canary(10.0, 5.0);
    noteBeats(canary, 3, 2.0);
    EXPECT_FALSE(canary.beatsPerSecond().has_value());
    EXPECT_FALSE(canary.isSuspect());

    canary.note(start + 7'999'999'999); // just under 80 % of the window
    EXPECT_FALSE(canary.beatsPerSecond().has_value());
    canary.note(start + 8 * second);
    EXPECT_DOUBLE_EQ(canary.beatsPerSecond().value(), 4.0 / 8.0);
}

TEST(BeatRateCanaryRate, ClicksFromABrokenCapturePathAreSuspect) {
    BeatRateCanary canary(10.0, 5.0);
    noteBeats(canary, 60, 9.0);
    EXPECT_NEAR(canary.beatsPerSecond().value(), 59.0 / 9.0, 1e-9);
    EXPECT_TRUE(canary.isSuspect());
}

TEST(BeatRateCanaryRate, DanceMusicIsNotSuspect) {
    BeatRateCanary canary(10.0, 5.0);
    noteBeats(canary, 21, 10.0); // 120 beats per minute
    EXPECT_DOUBLE_EQ(canary.beatsPerSecond().value(), 2.0);
    EXPECT_FALSE(canary.isSuspect());
}

TEST(BeatRateCanaryWindow, BeatsOlderThanTheWindowBeforeTheNewestAreForgotten) {
    BeatRateCanary canary(10.0, 5.0);
    noteBeats(canary, 200, 19.9);                   // a burst of clicks ...
    noteBeats(canary, 21, 10.0, start + 20 * second); // ... then ten seconds of two beats per second
    EXPECT_DOUBLE_EQ(canary.beatsPerSecond().value(), 2.0);
    EXPECT_FALSE(canary.isSuspect());
}

TEST(BeatRateCanaryWindow, ABeatExactlyOneWindowBeforeTheNewestIsKept) {
    BeatRateCanary canary(10.0, 5.0);
    canary.note(start);
    canary.note(start + 10 * second);
    EXPECT_DOUBLE_EQ(canary.beatsPerSecond().value(), 0.1);

    canary.note(start + 10 * second + 1); // now the first is one nanosecond too old
    EXPECT_FALSE(canary.beatsPerSecond().has_value());
}

TEST(BeatRateCanaryWindow, ResetForgetsEverything) {
    BeatRateCanary canary(10.0, 5.0);
    noteBeats(canary, 60, 9.0);
    canary.reset();
    EXPECT_FALSE(canary.beatsPerSecond().has_value());
    EXPECT_FALSE(canary.isSuspect());

    noteBeats(canary, 2, 9.0, start + 100 * second);
    EXPECT_NEAR(canary.beatsPerSecond().value(), 1.0 / 9.0, 1e-12);
}

TEST(BeatRateCanaryWindow, ALateOutOfOrderBeatNeverMakesTheSpanNegative) {
    BeatRateCanary canary(1.0, 5.0);
    canary.note(start + 5 * second);
    canary.note(start + 3 * second + 900'000'000); // older than a window before the newest: forgotten
    EXPECT_FALSE(canary.beatsPerSecond().has_value());

    canary.note(start + 5 * second + 500'000'000);
    canary.note(start + 4 * second + 600'000'000); // late, but inside the window
    EXPECT_NEAR(canary.beatsPerSecond().value(), 2.0 / 0.9, 1e-9);
}

} // namespace
} // namespace zoranth
