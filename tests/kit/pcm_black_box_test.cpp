#include "kit/pcm_black_box.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace zoranth {
namespace {

std::vector<float> oneTo(int n) {
    std::vector<float> values;
    for (int i = 1; i <= n; ++i) values.push_back(static_cast<float>(i));
    return values;
}

// --- the ring ---

struct AppendCase {
    const char* name;
    std::vector<std::size_t> deliveries; // sizes of consecutive appends of 1, 2, 3, ...
};

class PCMBlackBoxRing : public testing::TestWithParam<AppendCase> {};

TEST_P(PCMBlackBoxRing, ATenSampleBoxFedTwelveSamplesKeepsTheLastTenInOrder) {
    PCMBlackBox box(5.0, 1, 2); // 5 frames of stereo: capacity 10
    ASSERT_EQ(box.capacity(), 10u);
    const std::vector<float> all = oneTo(12);
    std::size_t from = 0;
    for (std::size_t size : GetParam().deliveries) {
        box.append(std::span(all).subspan(from, size));
        from += size;
    }
    ASSERT_EQ(from, all.size());

    EXPECT_EQ(box.snapshot(), std::vector<float>(all.begin() + 2, all.end()));
    EXPECT_EQ(box.filled(), 10u);
    EXPECT_DOUBLE_EQ(box.seconds(), 5.0);
}

INSTANTIATE_TEST_SUITE_P(Deliveries, PCMBlackBoxRing,
                         testing::Values(AppendCase{"OneOversizedAppend", {12}},
                                         AppendCase{"WrapInsideTheSecondAppend", {5, 7}},
                                         AppendCase{"ExactlyFullThenTwo", {10, 2}},
                                         AppendCase{"ThreeEqualAppends", {4, 4, 4}},
                                         AppendCase{"SampleBySample", {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}},
                                         AppendCase{"EmptyAppendsBetween", {0, 6, 0, 6, 0}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PCMBlackBoxRingPartial, APartlyFilledBoxHoldsWhatArrivedAndCountsWholeFrames) {
    PCMBlackBox box(2.0, 4, 2); // 8 frames of stereo
    const std::vector<float> five = oneTo(5);
    box.append(five);

    EXPECT_EQ(box.snapshot(), five);
    EXPECT_DOUBLE_EQ(box.seconds(), 0.5); // 2 whole frames at 4 Hz; the odd sample is not a frame
}

struct CapacityCase {
    double seconds;
    std::int64_t sampleRate;
    std::int64_t channels;
    std::size_t capacity;
};

class PCMBlackBoxCapacity : public testing::TestWithParam<CapacityCase> {};

TEST_P(PCMBlackBoxCapacity, IsWholeFramesTimesChannelsButAtLeastOneFrame) {
    const CapacityCase c = GetParam();
    const PCMBlackBox box(c.seconds, c.sampleRate, c.channels);
    EXPECT_EQ(box.capacity(), c.capacity);
    EXPECT_EQ(box.snapshot(), std::vector<float>());
}

INSTANTIATE_TEST_SUITE_P(Sizes, PCMBlackBoxCapacity,
                         testing::Values(CapacityCase{60, 48000, 2, 5'760'000},
                                         CapacityCase{0.5 / 48000, 48000, 2, 2},  // half a frame
                                         CapacityCase{-1, 48000, 2, 2},
                                         CapacityCase{1, 10, 0, 10}));           // no channels: mono

// --- WAV bytes ---

std::uint32_t u32At(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
    return std::uint32_t{bytes[offset]} | std::uint32_t{bytes[offset + 1]} << 8 |
           std::uint32_t{bytes[offset + 2]} << 16 | std::uint32_t{bytes[offset + 3]} << 24;
}

std::uint16_t u16At(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
    return static_cast<std::uint16_t>(bytes[offset] | bytes[offset + 1] << 8);
}

std::string textAt(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
    return {bytes.begin() + static_cast<std::ptrdiff_t>(offset), bytes.begin() + static_cast<std::ptrdiff_t>(offset + 4)};
}

std::int16_t sampleAt(const std::vector<std::uint8_t>& bytes, std::size_t index) {
    return static_cast<std::int16_t>(u16At(bytes, 44 + 2 * index));
}

TEST(PCMBlackBoxWav, HeaderFieldsDescribeSixteenBitPCM) {
    const std::vector<float> samples(6, 0.25f);
    const auto wav = PCMBlackBox::wav(samples, 48000, 2);
    ASSERT_TRUE(wav.has_value()) << wav.error().description();
    const std::vector<std::uint8_t>& bytes = *wav;

    ASSERT_EQ(bytes.size(), 44u + 12u);
    EXPECT_EQ(textAt(bytes, 0), "RIFF");
    EXPECT_EQ(u32At(bytes, 4), 36u + 12u);
    EXPECT_EQ(textAt(bytes, 8), "WAVE");
    EXPECT_EQ(textAt(bytes, 12), "fmt ");
    EXPECT_EQ(u32At(bytes, 16), 16u);
    EXPECT_EQ(u16At(bytes, 20), 1u);       // integer PCM
    EXPECT_EQ(u16At(bytes, 22), 2u);       // channels
    EXPECT_EQ(u32At(bytes, 24), 48000u);   // sample rate
    EXPECT_EQ(u32At(bytes, 28), 192000u);  // byte rate
    EXPECT_EQ(u16At(bytes, 32), 4u);       // block align
    EXPECT_EQ(u16At(bytes, 34), 16u);      // bits per sample
    EXPECT_EQ(textAt(bytes, 36), "data");
    EXPECT_EQ(u32At(bytes, 40), 12u);
}

TEST(PCMBlackBoxWav, MonoAtAnotherRateFillsTheSameFieldsFromItsOwnValues) {
    const std::vector<float> samples(3, 0.0f);
    const auto bytes = PCMBlackBox::wav(samples, 22050, 1).value();
    EXPECT_EQ(u16At(bytes, 22), 1u);
    EXPECT_EQ(u32At(bytes, 24), 22050u);
    EXPECT_EQ(u32At(bytes, 28), 44100u);
    EXPECT_EQ(u16At(bytes, 32), 2u);
    EXPECT_EQ(u32At(bytes, 40), 6u);
    EXPECT_EQ(u32At(bytes, 4), 42u);
}

struct SampleCase {
    float input;
    std::int16_t written;
};

class PCMBlackBoxWavSample : public testing::TestWithParam<SampleCase> {};

TEST_P(PCMBlackBoxWavSample, ClampsAndTruncatesTowardZero) {
    const SampleCase c = GetParam();
    const std::vector<float> samples{c.input};
    const auto bytes = PCMBlackBox::wav(samples, 48000, 1).value();
    EXPECT_EQ(sampleAt(bytes, 0), c.written);
}

INSTANTIATE_TEST_SUITE_P(Values, PCMBlackBoxWavSample,
                         testing::Values(SampleCase{0.5f, 16383},      // 16383.5 truncated, not rounded
                                         SampleCase{-0.5f, -16383},
                                         SampleCase{1.0f, 32767},
                                         SampleCase{1.5f, 32767},
                                         SampleCase{-1.0f, -32767},
                                         SampleCase{-3.0f, -32767},
                                         SampleCase{0.0f, 0},
                                         SampleCase{std::numeric_limits<float>::quiet_NaN(), 32767},
                                         SampleCase{-std::numeric_limits<float>::infinity(), -32767}));

TEST(PCMBlackBoxWav, TheBoxWritesItsSnapshotOldestFirst) {
    PCMBlackBox box(2.0, 8000, 1); // capacity 16000
    std::vector<float> ramp(20000);
    for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<float>(i) / 20000.0f;
    box.append(std::span(ramp).first(10000));
    box.append(std::span(ramp).subspan(10000)); // wraps: the ring's start now holds the newest

    const auto bytes = box.wav().value();
    EXPECT_EQ(u32At(bytes, 24), 8000u);
    ASSERT_EQ(u32At(bytes, 40), 32000u);
    std::vector<std::int16_t> expected;
    std::vector<std::int16_t> written;
    for (std::size_t i = 0; i < 16000; ++i) {
        expected.push_back(PCMBlackBox::wavSample(ramp[4000 + i]));
        written.push_back(sampleAt(bytes, i));
    }
    EXPECT_EQ(written, expected);
}

TEST(PCMBlackBoxWav, AnEmptyBoxIsAHeaderOnlyFile) {
    const PCMBlackBox box(1.0, 48000, 2);
    const auto bytes = box.wav().value();
    EXPECT_EQ(bytes.size(), 44u);
    EXPECT_EQ(u32At(bytes, 40), 0u);
}

struct OutsideCase {
    std::int64_t sampleRate;
    std::int64_t channels;
    PCMBlackBox::WavFailure failure;
};

class PCMBlackBoxWavOutside : public testing::TestWithParam<OutsideCase> {};

TEST_P(PCMBlackBoxWavOutside, ValuesTheHeaderCannotHoldAreRefusedNotTruncated) {
    const OutsideCase c = GetParam();
    const std::vector<float> samples(4, 0.1f);
    const auto wav = PCMBlackBox::wav(samples, c.sampleRate, c.channels);
    ASSERT_FALSE(wav.has_value());
    EXPECT_EQ(wav.error(), c.failure);
}

using Failure = PCMBlackBox::WavFailure;
INSTANTIATE_TEST_SUITE_P(
    Limits, PCMBlackBoxWavOutside,
    testing::Values(OutsideCase{48000, 32768, {Failure::Case::channelCount, 32768}},
                    OutsideCase{48000, 0, {Failure::Case::channelCount, 0}},
                    OutsideCase{std::int64_t{1} << 32, 1, {Failure::Case::sampleRate, std::int64_t{1} << 32}},
                    OutsideCase{0, 2, {Failure::Case::sampleRate, 0}},
                    // fits its own field, but the byte rate (rate × 4) does not
                    OutsideCase{std::int64_t{1} << 31, 2, {Failure::Case::sampleRate, std::int64_t{1} << 31}}));

TEST(PCMBlackBoxWavOutsideLargest, TheLargestHeaderValuesStillFit) {
    const std::vector<float> samples(2, 0.0f);
    EXPECT_TRUE(PCMBlackBox::wav(samples, 65535, 32767).has_value());
    EXPECT_TRUE(PCMBlackBox::wav(samples, 0xFFFF'FFFF / 2, 1).has_value());
}

} // namespace
} // namespace zoranth
