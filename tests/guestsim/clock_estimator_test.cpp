// The guest's clock estimate: offset and round trip from the best recent probes.
#include "guestsim/clock_estimator.h"

#include <gtest/gtest.h>

namespace {

using zoranth::ClockEstimator;

constexpr std::uint64_t guestStart = 5'000'000'000ULL;

// A probe sent at guest time t1 whose request took `up` ns and answer `down` ns, to a
// host whose clock reads `offset` ns more than the guest's.
ClockEstimator::Probe probe(std::uint64_t t1, std::int64_t offset, std::uint64_t up,
                            std::uint64_t down) {
    return {t1, static_cast<std::uint64_t>(static_cast<std::int64_t>(t1 + up) + offset),
            t1 + up + down};
}

TEST(ClockEstimator, SymmetricProbesGiveTheOffsetExactly) {
    for (const std::int64_t offset : {0LL, 3'000'000LL, -7'250'000LL, -4'000'000'000LL}) {
        ClockEstimator estimator;
        EXPECT_TRUE(estimator.add(probe(guestStart, offset, 40'000, 40'000)));
        EXPECT_TRUE(estimator.add(probe(guestStart + 250'000'000, offset, 90'000, 90'000)));
        const auto estimate = estimator.estimate();
        ASSERT_TRUE(estimate);
        EXPECT_EQ(estimate->offsetNanos, offset);
        EXPECT_EQ(estimate->rttNanos, 180'000);
        EXPECT_EQ(estimate->minRttNanos, 80'000);
        EXPECT_EQ(estimate->probes, 2u);
    }
}

TEST(ClockEstimator, AnswersHeldUpBehindAudioDoNotMoveTheEstimate) {
    constexpr std::int64_t offset = 2'000'000;
    ClockEstimator estimator;
    for (int i = 0; i < 3; ++i) {
        estimator.add(probe(guestStart + i * 250'000'000ULL, offset, 50'000, 50'000));
    }
    // Answers that waited 30 ms behind queued audio on the way back.
    for (int i = 3; i < 10; ++i) {
        estimator.add(probe(guestStart + i * 250'000'000ULL, offset, 50'000, 30'000'000));
    }
    const auto estimate = estimator.estimate();
    ASSERT_TRUE(estimate);
    EXPECT_EQ(estimate->offsetNanos, offset);
    EXPECT_EQ(estimate->rttNanos, 30'050'000);
    EXPECT_EQ(estimate->minRttNanos, 100'000);
}

TEST(ClockEstimator, OnlyTheRecentWindowCounts) {
    ClockEstimator estimator(4, 1);
    estimator.add(probe(guestStart, 1'000'000, 10'000, 10'000));  // the best, but old
    for (int i = 1; i <= 4; ++i) {
        estimator.add(probe(guestStart + i * 250'000'000ULL, 5'000'000, 100'000, 100'000));
    }
    const auto estimate = estimator.estimate();
    ASSERT_TRUE(estimate);
    EXPECT_EQ(estimate->offsetNanos, 5'000'000);
    EXPECT_EQ(estimate->minRttNanos, 200'000);
    EXPECT_EQ(estimate->probes, 4u);
}

TEST(ClockEstimator, NothingToSayWithoutAPlausibleProbe) {
    ClockEstimator estimator;
    EXPECT_FALSE(estimator.estimate());
    EXPECT_FALSE(estimator.add({guestStart, guestStart, guestStart - 1}));
    EXPECT_FALSE(estimator.estimate());
}

}  // namespace
