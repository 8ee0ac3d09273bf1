#include "kit/resampler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <unordered_set>
#include <vector>

#include "support/alloc_counter.h"

namespace zoranth {
namespace {

using Ratio = Resampler::Ratio;

std::vector<float> sine(double frequency, double rate, int frames, int channels, std::int64_t firstFrame = 0) {
    std::vector<float> samples(static_cast<std::size_t>(frames) * channels);
    for (int i = 0; i < frames; ++i) {
        const double value = std::sin(2 * std::numbers::pi * frequency * static_cast<double>(firstFrame + i) / rate);
        for (int c = 0; c < channels; ++c) samples[static_cast<std::size_t>(i) * channels + c] = static_cast<float>(value);
    }
    return samples;
}

std::vector<float> noise(int samples, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
    std::vector<float> out(samples);
    for (float& s : out) s = uniform(random);
    return out;
}

// Feeds `input` (interleaved) in blocks of `block` frames and joins the outputs.
std::vector<float> processInBlocks(Resampler& resampler, const std::vector<float>& input, int block) {
    const int channels = resampler.channels();
    const int frames = static_cast<int>(input.size()) / channels;
    std::vector<float> output;
    for (int start = 0; start < frames; start += block) {
        const std::span<const float> part(input.data() + static_cast<std::size_t>(start) * channels,
                                          static_cast<std::size_t>(block) * channels);
        const auto out = resampler.process(part, block);
        output.insert(output.end(), out.begin(), out.end());
    }
    return output;
}

// --- Ratios -------------------------------------------------------------------

struct ReducingCase {
    int from;
    int to;
    Ratio expected;
};

class RatioReducingTest : public testing::TestWithParam<ReducingCase> {};

TEST_P(RatioReducingTest, ReducesToLowestTerms) {
    EXPECT_EQ(Ratio::reducing(GetParam().from, GetParam().to), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Rates, RatioReducingTest,
                         testing::Values(ReducingCase{48000, 48000, Ratio::full},
                                         ReducingCase{96000, 48000, Ratio::half},
                                         ReducingCase{72000, 48000, Ratio::twoThirds},
                                         ReducingCase{144000, 48000, Ratio::third},
                                         ReducingCase{192000, 48000, Ratio::quarter},
                                         ReducingCase{44100, 48000, Ratio(160, 147)},
                                         ReducingCase{48000, 44100, Ratio(147, 160)}));

TEST(Ratio, ArithmeticAndIdentity) {
    const Ratio cd = Ratio::reducing(44100, 48000);
    EXPECT_DOUBLE_EQ(cd.outputRate(44100), 48000);
    EXPECT_EQ(cd.outputFrames(441), 480);
    EXPECT_TRUE(cd.divides(441));
    EXPECT_TRUE(cd.divides(882));
    EXPECT_FALSE(cd.divides(960));
    EXPECT_EQ(Ratio::half.outputFrames(960), 480);
    EXPECT_TRUE(Ratio::half.divides(960));
    EXPECT_FALSE(Ratio::half.divides(961));
    EXPECT_EQ(Ratio::twoThirds.outputFrames(30), 20);
    EXPECT_TRUE(Ratio::full.isIdentity());
    EXPECT_TRUE(Ratio(3, 3).isIdentity());
    EXPECT_FALSE(Ratio::half.isIdentity());
}

TEST(Ratio, EqualRatiosHashAlike) {
    const std::unordered_set<Ratio> ratios{Ratio::half, Ratio(1, 2), Ratio(2, 1), Ratio(160, 147)};
    EXPECT_EQ(ratios.size(), 3u);
    EXPECT_TRUE(ratios.contains(Ratio::reducing(96000, 48000)));
    EXPECT_FALSE(ratios.contains(Ratio::third));
}

// --- Pass-through -------------------------------------------------------------

TEST(ResamplerIdentity, PassesTheBlockThroughUnchanged) {
    Resampler resampler(Ratio::full, 2);
    EXPECT_EQ(resampler.latencyInputFrames(), 0);
    const auto input = noise(2 * 1000, 1);
    const auto output = resampler.process(input, 960);  // the extra frames are not part of the block
    EXPECT_EQ(output, std::vector<float>(input.begin(), input.begin() + 2 * 960));
    EXPECT_EQ(resampler.process(input, 960), output) << "no history at 1/1";
}

// --- Kernel -------------------------------------------------------------------

TEST(ResamplerKernel, HalfHas65TapsSummingToOne) {
    Resampler resampler(Ratio::reducing(96000, 48000), 2);
    EXPECT_EQ(resampler.kernelLength(), 65);
    ASSERT_EQ(resampler.kernel().size(), 65u);
    double sum = 0;
    for (float tap : resampler.kernel()) sum += tap;
    EXPECT_NEAR(sum, 1.0, 1e-6);
    EXPECT_EQ(resampler.latencyInputFrames(), 32);
    EXPECT_EQ(resampler.historyFrames(), 65);
}

class ResamplerPhaseGainTest : public testing::TestWithParam<Ratio> {};

TEST_P(ResamplerPhaseGainTest, EveryPhaseHasUnityGain) {
    const Ratio ratio = GetParam();
    Resampler resampler(ratio, 1);
    ASSERT_EQ(resampler.kernelLength(), 2 * 32 * ratio.up() + 1);
    const auto kernel = resampler.kernel();
    for (int phase = 0; phase < ratio.up(); ++phase) {
        double sum = 0;
        for (std::size_t i = phase; i < kernel.size(); i += ratio.up()) sum += kernel[i];
        EXPECT_NEAR(sum, 1.0, 1e-5) << "phase " << phase;
    }
}

INSTANTIATE_TEST_SUITE_P(Ratios, ResamplerPhaseGainTest,
                         testing::Values(Ratio::half, Ratio::twoThirds, Ratio::third, Ratio::quarter, Ratio(160, 147)));

// --- Signal path --------------------------------------------------------------

TEST(ResamplerSignal, Half960FramesGive480) {
    Resampler resampler(Ratio::half, 2);
    EXPECT_EQ(resampler.process(sine(1000, 96000, 960, 2), 960).size(), 480u * 2);
}

struct SineCase {
    int inputRate;
    int block;  // input frames per call, a whole-ratio block size
    int channels;
    double frequency;
};

class ResamplerSineTest : public testing::TestWithParam<SineCase> {};

// A tone comes out at the same frequency, 32 input frames late, at full amplitude.
TEST_P(ResamplerSineTest, ToneKeepsItsFrequencyWithThe32FrameLag) {
    const SineCase& param = GetParam();
    const Ratio ratio = Ratio::reducing(param.inputRate, 48000);
    Resampler resampler(ratio, param.channels);
    ASSERT_TRUE(ratio.divides(param.block));

    std::vector<float> output;
    std::int64_t inputFrames = 0;
    for (int call = 0; call < 12; ++call) {
        const auto out =
            resampler.process(sine(param.frequency, param.inputRate, param.block, param.channels, inputFrames), param.block);
        ASSERT_EQ(out.size(), static_cast<std::size_t>(ratio.outputFrames(param.block) * param.channels));
        output.insert(output.end(), out.begin(), out.end());
        inputFrames += param.block;
    }

    double worst = 0;
    const int outputFrames = static_cast<int>(output.size()) / param.channels;
    for (int i = 0; i < outputFrames; ++i) {
        // Output frame i sits at input frame i × down ÷ up; it shows the input 32 frames earlier.
        const double inputPosition = static_cast<double>(i) * ratio.down() / ratio.up() - 32;
        if (inputPosition < 33) continue;  // the filter is still filling from silence
        const double expected = std::sin(2 * std::numbers::pi * param.frequency * inputPosition / param.inputRate);
        for (int c = 0; c < param.channels; ++c) {
            worst = std::max(worst, std::abs(output[static_cast<std::size_t>(i) * param.channels + c] - expected));
        }
    }
    EXPECT_LT(worst, 1e-4);
}

INSTANTIATE_TEST_SUITE_P(Rates, ResamplerSineTest,
                         testing::Values(SineCase{96000, 960, 2, 1000}, SineCase{96000, 960, 1, 1000},
                                         SineCase{44100, 441, 2, 1000}, SineCase{44100, 882, 2, 5000},
                                         SineCase{144000, 960, 2, 1000}, SineCase{72000, 960, 3, 1000}));

// Each output frame is the described sum, oldest input first, over the kernel taps
// that line up with input frames on the up-sampled grid.
std::vector<float> directForm(const std::vector<float>& kernel, Ratio ratio, const std::vector<float>& input,
                              int channels) {
    const std::int64_t length = static_cast<std::int64_t>(kernel.size());
    const std::int64_t frames = static_cast<std::int64_t>(input.size()) / channels;
    const std::int64_t outFrames = frames * ratio.up() / ratio.down();
    std::vector<float> output(static_cast<std::size_t>(outFrames * channels));
    for (std::int64_t i = 0; i < outFrames; ++i) {
        const std::int64_t p = i * ratio.down();
        for (int c = 0; c < channels; ++c) {
            float acc = 0;
            // Every k with p − (L − 1) ≤ k × up ≤ p; frames before the stream are silence.
            const std::int64_t oldest = p - (length - 1);
            for (std::int64_t k = std::max<std::int64_t>(0, oldest / ratio.up() - 1); k * ratio.up() <= p; ++k) {
                const std::int64_t at = k * ratio.up();
                if (at < oldest) continue;
                acc += kernel[at - (p - (length - 1))] * input[k * channels + c];
            }
            output[i * channels + c] = acc;
        }
    }
    return output;
}

struct BlockCase {
    Ratio ratio;
    int channels;
    std::vector<int> blocks;  // block sizes to compare; their outputs must agree
};

class ResamplerBlockTest : public testing::TestWithParam<BlockCase> {};

TEST_P(ResamplerBlockTest, OutputIsTheDirectSumWhateverTheBlockSize) {
    const BlockCase& param = GetParam();
    const int totalFrames = 4 * 27 * 49;  // a multiple of every block size below
    const auto input = noise(totalFrames * param.channels, 7);
    Resampler reference(param.ratio, param.channels);
    const std::vector<float> kernel(reference.kernel().begin(), reference.kernel().end());
    const auto expected = directForm(kernel, param.ratio, input, param.channels);

    for (int block : param.blocks) {
        ASSERT_EQ(totalFrames % block, 0);
        Resampler resampler(param.ratio, param.channels);
        const auto output = processInBlocks(resampler, input, block);
        ASSERT_EQ(output.size(), expected.size()) << "block " << block;
        for (std::size_t i = 0; i < output.size(); ++i) {
            ASSERT_NEAR(output[i], expected[i], 1e-5) << "block " << block << " sample " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ratios, ResamplerBlockTest,
    testing::Values(BlockCase{Ratio::half, 2, {2, 54, 126, 882, 5292}}, BlockCase{Ratio::half, 1, {6, 5292}},
                    BlockCase{Ratio::twoThirds, 3, {3, 63, 147, 5292}}, BlockCase{Ratio::quarter, 2, {4, 28, 5292}},
                    BlockCase{Ratio(160, 147), 2, {147, 441, 1323, 5292}}, BlockCase{Ratio(3, 2), 5, {2, 98, 5292}}));

// --- History --------------------------------------------------------------------

TEST(ResamplerHistory, ResetForgetsEarlierInput) {
    const auto before = noise(960 * 2, 3);
    const auto after = noise(960 * 2, 4);
    Resampler fresh(Ratio::half, 2);
    Resampler used(Ratio::half, 2);
    (void)used.process(before, 960);
    used.reset();
    EXPECT_EQ(used.process(after, 960), fresh.process(after, 960));
}

TEST(ResamplerHistory, ABlockTheRatioDoesNotDivideGivesNothingAndChangesNothing) {
    const auto first = noise(441 * 2, 5);
    const auto second = noise(441 * 2, 6);
    Resampler plain(Ratio(160, 147), 2);
    Resampler disturbed(Ratio(160, 147), 2);
    (void)plain.process(first, 441);
    (void)disturbed.process(first, 441);

    EXPECT_TRUE(disturbed.process(noise(960 * 2, 9), 960).empty());
    EXPECT_EQ(disturbed.process(second, 441), plain.process(second, 441));
}

// --- Allocation ---------------------------------------------------------------------

TEST(ResamplerAllocation, ProcessingIntoAReusedBufferAllocatesNothing) {
    Resampler resampler(Ratio::half, 2);
    const auto input = sine(1000, 96000, 960, 2);
    std::vector<float> output;
    resampler.process(input, 960, output);

    AllocCounter counter;
    for (int i = 0; i < 50; ++i) resampler.process(input, 960, output);
    EXPECT_EQ(counter.allocations(), 0u);
    EXPECT_EQ(output.size(), 480u * 2);
}

// --- Contract -------------------------------------------------------------------------

TEST(ResamplerContractDeathTest, RejectsMalformedInput) {
    EXPECT_DEATH(Ratio(0, 1), "precondition");
    EXPECT_DEATH(Ratio(1, -2), "precondition");
    EXPECT_DEATH(Ratio::reducing(0, 48000), "precondition");
    EXPECT_DEATH(Resampler(Ratio::half, 0), "precondition");
    EXPECT_DEATH(
        {
            Resampler resampler(Ratio::half, 2);
            (void)resampler.process(std::vector<float>(959 * 2), 960);
        },
        "shorter");
}

}  // namespace
}  // namespace zoranth
