#include "kit/pcm_convert.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "support/alloc_counter.h"

namespace zoranth {
namespace {

constexpr float nan = std::numeric_limits<float>::quiet_NaN();
constexpr float inf = std::numeric_limits<float>::infinity();

// --- Sample conversion ------------------------------------------------------------

struct SampleCase {
    float in;
    std::int16_t out;
};

class F32ToI16Test : public testing::TestWithParam<SampleCase> {};

TEST_P(F32ToI16Test, ClampsAndRoundsHalfAwayFromZero) {
    EXPECT_EQ(PCMConvert::f32ToI16(GetParam().in), GetParam().out) << GetParam().in;
}

INSTANTIATE_TEST_SUITE_P(Samples, F32ToI16Test,
                         testing::Values(SampleCase{0.0f, 0}, SampleCase{0.5f, 16384}, SampleCase{-0.5f, -16384},
                                         SampleCase{0.25f, 8192}, SampleCase{1.0f, 32767}, SampleCase{1.5f, 32767},
                                         SampleCase{-1.0f, -32767}, SampleCase{-1.5f, -32767},
                                         SampleCase{-0.99999f, -32767}, SampleCase{inf, 32767},
                                         SampleCase{-inf, -32767}, SampleCase{nan, 0}));

// --- Meters -------------------------------------------------------------------------

struct LevelsCase {
    const char* name;
    std::vector<float> interleaved;
    int channels;
    int frames;
    std::vector<float> peak;
    std::vector<float> rms;
};

class LevelsTest : public testing::TestWithParam<LevelsCase> {};

TEST_P(LevelsTest, PeakAndRmsPerChannel) {
    const LevelsCase& param = GetParam();
    const auto levels = PCMConvert::levels(param.interleaved, param.channels, param.frames);
    ASSERT_EQ(levels.peak.size(), param.peak.size());
    ASSERT_EQ(levels.rms.size(), param.rms.size());
    for (std::size_t c = 0; c < param.peak.size(); ++c) {
        EXPECT_FLOAT_EQ(levels.peak[c], param.peak[c]) << "peak " << c;
        if (std::isnan(param.rms[c])) {
            EXPECT_TRUE(std::isnan(levels.rms[c])) << "rms " << c;
        } else {
            EXPECT_FLOAT_EQ(levels.rms[c], param.rms[c]) << "rms " << c;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Signals, LevelsTest,
    testing::Values(
        LevelsCase{"ConstantLeftSilentRight", {0.5f, 0, 0.5f, 0, 0.5f, 0, 0.5f, 0}, 2, 4, {0.5f, 0}, {0.5f, 0}},
        LevelsCase{"NegativeSamplesCountByMagnitude", {-0.8f, 0.6f, 0.6f, -0.6f}, 2, 2, {0.8f, 0.6f},
                   {std::sqrt(0.5f), 0.6f}},
        LevelsCase{"OnlyTheFirstFramesCount", {0.1f, 0.1f, 0.9f, 0.9f}, 2, 1, {0.1f, 0.1f}, {0.1f, 0.1f}},
        LevelsCase{"ShortInputUsesWhatIsThere", {0.3f, 0.4f}, 2, 960, {0.3f, 0.4f}, {0.3f, 0.4f}},
        LevelsCase{"FewerSamplesThanChannelsHaveNoRms", {0.7f}, 2, 1, {0.7f, 0}, {0, 0}},
        // A trailing partial frame adds to its channel's sum but not to the frame count.
        LevelsCase{"PartialFrameAddsToTheSum", {0.3f, 0.2f, 0.4f}, 2, 2, {0.4f, 0.2f}, {0.5f, 0.2f}},
        LevelsCase{"NaNLeavesThePeakAlone", {0.25f, nan}, 1, 2, {0.25f}, {nan}},
        LevelsCase{"NoFramesNoLevels", {0.5f, 0.5f}, 2, 0, {0, 0}, {0, 0}}),
    [](const testing::TestParamInfo<LevelsCase>& info) { return std::string(info.param.name); });

TEST(PCMConvertMeters, ConvertWritesEverySampleAndMetersLikeLevels) {
    const std::vector<float> interleaved{0.5f, -1.0f, 0.25f, 2.0f, -0.5f, nan};
    std::vector<std::int16_t> destination(8, 99);
    const auto levels = PCMConvert::convert(interleaved, 2, destination);

    EXPECT_EQ(destination, (std::vector<std::int16_t>{16384, -32767, 8192, 32767, -16384, 0, 99, 99}));
    const auto expected = PCMConvert::levels(interleaved, 2, 3);
    EXPECT_EQ(levels.peak, expected.peak);
    EXPECT_FLOAT_EQ(levels.rms[0], expected.rms[0]);
    EXPECT_FLOAT_EQ(levels.peak[1], 2.0f);
}

TEST(PCMConvertMeters, MeteringIntoReusedLevelsAllocatesNothing) {
    const std::vector<float> chunk(960 * 2, 0.1f);
    PCMConvert::Levels levels;
    PCMConvert::levels(chunk, 2, 960, levels);

    AllocCounter counter;
    for (int i = 0; i < 50; ++i) PCMConvert::levels(chunk, 2, 960, levels);
    EXPECT_EQ(counter.allocations(), 0u);
    EXPECT_FLOAT_EQ(levels.rms[1], 0.1f);
}

// --- Decibels -----------------------------------------------------------------------

struct DbCase {
    float level;
    float floor;
    float db;
};

class DbFSTest : public testing::TestWithParam<DbCase> {};

TEST_P(DbFSTest, LogarithmicAboveTheFloor) {
    EXPECT_NEAR(PCMConvert::dbFS(GetParam().level, GetParam().floor), GetParam().db, 1e-4) << GetParam().level;
}

INSTANTIATE_TEST_SUITE_P(Levels, DbFSTest,
                         testing::Values(DbCase{0, -60, -60}, DbCase{1, -60, 0}, DbCase{0.5f, -60, -6.0206f},
                                         DbCase{2, -60, 6.0206f}, DbCase{1e-6f, -60, -60}, DbCase{1e-6f, -160, -120},
                                         DbCase{-0.5f, -60, -60}, DbCase{nan, -60, -60}));

// --- Contract -----------------------------------------------------------------------

TEST(PCMConvertContractDeathTest, RejectsMalformedInput) {
    const std::vector<float> samples(4, 0.5f);
    std::vector<std::int16_t> small(3);
    EXPECT_DEATH(PCMConvert::levels(samples, 0, 2), "precondition");
    EXPECT_DEATH(PCMConvert::convert(samples, 2, small), "no room");
}

}  // namespace
}  // namespace zoranth
