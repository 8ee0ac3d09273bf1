#include "kit/splice_meter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

namespace zoranth {
namespace {

// Consecutive deliveries of one continuous sine, as a healthy capture path hands them over.
class Sine {
public:
    Sine(double frequency, double amplitude) : step_(2 * std::numbers::pi * frequency / 48000), amplitude_(amplitude) {}

    std::vector<float> next(std::size_t frames) {
        std::vector<float> samples(frames);
        for (float& s : samples) s = static_cast<float>(amplitude_ * std::sin(step_ * static_cast<double>(n_++)));
        return samples;
    }
    void skip(std::size_t frames) { n_ += frames; }

private:
    double step_;
    double amplitude_;
    std::size_t n_ = 0;
};

TEST(SpliceMeterVerdicts, ContinuousAudioHasNoSplices) {
    SpliceMeter meter(1000);
    Sine sine(440, 0.8);
    for (int i = 0; i < 50; ++i) meter.process(sine.next(480));

    EXPECT_EQ(meter.judged(), 49); // one boundary fewer than deliveries
    EXPECT_EQ(meter.rate(), 0.0);
}

TEST(SpliceMeterVerdicts, AJumpOnQuietAudioCountsAsOneSplice) {
    SpliceMeter meter(1000);
    std::vector<float> quiet(480, 0.001f);
    meter.process(quiet);
    std::vector<float> jumped(480, 0.501f);
    meter.process(jumped);
    meter.process(jumped);

    EXPECT_EQ(meter.splices(), 1);
    EXPECT_EQ(meter.rate(), 0.5);
}

// Lost buffers in loud, fast-moving audio leave a jump that is large in absolute terms
// but ordinary for the signal; the threshold scales with the delivery's own motion.
TEST(SpliceMeterVerdicts, TheThresholdFollowsTheDeliverysMeanStep) {
    SpliceMeter meter(1000);
    Sine loud(5000, 0.9);
    meter.process(loud.next(480));
    loud.skip(1); // one lost sample: a step of the signal's usual size
    meter.process(loud.next(480));
    EXPECT_EQ(meter.splices(), 0);

    meter.discontinuity();
    Sine slow(20, 0.9);
    meter.process(slow.next(480));
    slow.skip(600); // a quarter of a slow wave lost: far beyond its usual step
    meter.process(slow.next(480));
    EXPECT_EQ(meter.splices(), 1);
}

TEST(SpliceMeterVerdicts, ADiscontinuityLeavesTheNextBoundaryUnjudged) {
    SpliceMeter meter(1000);
    meter.process(std::vector<float>(480, 0.0f));
    meter.discontinuity();
    meter.process(std::vector<float>(480, 0.9f));
    EXPECT_EQ(meter.judged(), 0);
    EXPECT_FALSE(meter.rate().has_value());

    meter.process(std::vector<float>(480, 0.0f)); // the boundary after that is judged again
    EXPECT_EQ(meter.judged(), 1);
    EXPECT_EQ(meter.splices(), 1);
}

TEST(SpliceMeterVerdicts, DeliveriesShorterThanTwoSamplesAreIgnored) {
    SpliceMeter meter(1000);
    meter.process(std::vector<float>(480, 0.0f));
    meter.process(std::vector<float>{0.9f});
    meter.process(std::vector<float>{});
    meter.process(std::vector<float>(480, 0.0f));
    EXPECT_EQ(meter.judged(), 1);
    EXPECT_EQ(meter.splices(), 0); // judged against the first delivery, not the lone 0.9
}

TEST(SpliceMeterWindow, OnlyTheLastNBoundariesCount) {
    SpliceMeter meter(3);
    const std::vector<float> low(16, 0.0f);
    const std::vector<float> high(16, 0.5f);
    // Boundaries: splice, splice, none, none, none — the two splices scroll out.
    for (const auto* delivery : {&low, &high, &low, &low, &low, &low}) meter.process(*delivery);

    EXPECT_EQ(meter.judged(), 3);
    EXPECT_EQ(meter.splices(), 0);
    EXPECT_EQ(meter.rate(), 0.0);

    meter.process(high);
    EXPECT_EQ(meter.splices(), 1);
    EXPECT_DOUBLE_EQ(meter.rate().value(), 1.0 / 3.0);
}

TEST(SpliceMeterWindow, ABoundaryCountBelowOneStillRemembersOneVerdict) {
    SpliceMeter meter(0);
    const std::vector<float> low(16, 0.0f);
    const std::vector<float> high(16, 0.5f);
    meter.process(low);
    meter.process(high);
    EXPECT_EQ(meter.rate(), 1.0);
    meter.process(high);
    EXPECT_EQ(meter.rate(), 0.0);
}

} // namespace
} // namespace zoranth
