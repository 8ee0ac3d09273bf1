#include "host/capture/tap_format.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace {

using zoranth::TapFormat;

struct TextCase {
    TapFormat format;
    std::string text;
};

class TapFormatText : public testing::TestWithParam<TextCase> {};

TEST_P(TapFormatText, IsOneLine) {
    EXPECT_EQ(GetParam().format.text(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, TapFormatText,
    testing::Values(
        TextCase{{48000, 2, true, true, 32}, "48000 Hz, 2 ch, Float32, non-interleaved"},
        TextCase{{48000, 2, false, true, 32}, "48000 Hz, 2 ch, Float32, interleaved"},
        TextCase{{44100.9, 1, false, false, 16}, "44100 Hz, 1 ch, Int16, interleaved"},
        TextCase{{96000, 8, false, false, 24}, "96000 Hz, 8 ch, Int24, interleaved"},
        TextCase{{-0.5, 2, false, true, 32}, "0 Hz, 2 ch, Float32, interleaved"},
        TextCase{{1e12, 2, false, true, 32}, "1000000000000 Hz, 2 ch, Float32, interleaved"}));

TEST(TapFormatFromDescription, ReadsRateChannelsBitsAndTheTwoFlags) {
    const auto linuxCapture = TapFormat::from({.sampleRate = 48000,
                                               .formatFlags = TapFormat::formatFlagIsFloat,
                                               .channelsPerFrame = 2,
                                               .bitsPerChannel = 32});
    ASSERT_TRUE(linuxCapture.has_value());
    EXPECT_EQ(*linuxCapture, (TapFormat{48000, 2, false, true, 32}));
    EXPECT_EQ(linuxCapture->text(), "48000 Hz, 2 ch, Float32, interleaved");

    // Flag word as a tap reports it: float, packed, non-interleaved; other bits ignored.
    const auto tap = TapFormat::from({.sampleRate = 44100,
                                      .formatFlags = 1 | 8 | 32,
                                      .channelsPerFrame = 6,
                                      .bitsPerChannel = 32});
    ASSERT_TRUE(tap.has_value());
    EXPECT_EQ(*tap, (TapFormat{44100, 6, true, true, 32}));

    const auto integer = TapFormat::from(
        {.sampleRate = 22050, .formatFlags = 4 | 8, .channelsPerFrame = 1, .bitsPerChannel = 16});
    ASSERT_TRUE(integer.has_value());
    EXPECT_EQ(*integer, (TapFormat{22050, 1, false, false, 16}));
}

class TapFormatUnusableRate : public testing::TestWithParam<double> {};

TEST_P(TapFormatUnusableRate, YieldsNoFormat) {
    EXPECT_FALSE(TapFormat::from({.sampleRate = GetParam(),
                                  .formatFlags = TapFormat::formatFlagIsFloat,
                                  .channelsPerFrame = 2,
                                  .bitsPerChannel = 32})
                     .has_value());
}

INSTANTIATE_TEST_SUITE_P(Rates, TapFormatUnusableRate,
                         testing::Values(0.0, -0.0, -48000.0,
                                         std::numeric_limits<double>::quiet_NaN()));

}  // namespace
