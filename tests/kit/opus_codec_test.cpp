#include "kit/opus_codec.h"

#include <gtest/gtest.h>

namespace zoranth {
namespace {

using Failure = OpusCodec::Failure;

TEST(OpusCodecFailure, ReadsAsTheSystemWordsIt) {
    const struct {
        Failure failure;
        const char* text;
    } cases[] = {
        {Failure::createFailed(-1), "opus init failed (bad argument)"},
        {Failure::encodeFailed(-2), "opus encode failed (buffer too small)"},
        {Failure::decodeFailed(-3), "opus decode failed (internal error)"},
        {Failure::decodeFailed(-4), "opus decode failed (invalid packet)"},
        {Failure::createFailed(-5), "opus init failed (unimplemented)"},
        {Failure::encodeFailed(-6), "opus encode failed (invalid state)"},
        {Failure::createFailed(-7), "opus init failed (allocation failed)"},
        {Failure::createFailed(-8), "opus init failed (code -8)"},
        {Failure::createFailed(-42), "opus init failed (code -42)"},
        {Failure::encodeFailed(0), "opus encode failed (code 0)"},
        {Failure::decodeFailed(7), "opus decode failed (code 7)"},
        {Failure::unsupportedChannels(3), "opus supports 1 or 2 channels, not 3"},
        {Failure::unsupportedChannels(0), "opus supports 1 or 2 channels, not 0"},
        {Failure::unexpectedFrameCount(960, 480), "opus decoded 480 frames, expected 960"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.failure.description(), c.text);
    }
}

TEST(OpusCodecFailure, EqualOnlyWithTheSameCaseAndPayload) {
    EXPECT_EQ(Failure::decodeFailed(-4), Failure::decodeFailed(-4));
    EXPECT_EQ(Failure::unexpectedFrameCount(960, 480), Failure::unexpectedFrameCount(960, 480));
    EXPECT_NE(Failure::decodeFailed(-4), Failure::decodeFailed(-2));
    EXPECT_NE(Failure::createFailed(-1), Failure::encodeFailed(-1));
    EXPECT_NE(Failure::unexpectedFrameCount(960, 480), Failure::unexpectedFrameCount(480, 960));
}

TEST(OpusCodecWords, LabelIsWholeKilobits) {
    const struct {
        std::int32_t bitrate;
        const char* label;
    } cases[] = {
        {256000, "256 kbps"}, {128000, "128 kbps"}, {96000, "96 kbps"},
        {95999, "95 kbps"},   {999, "0 kbps"},      {0, "0 kbps"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(OpusCodec::label(c.bitrate), c.label) << c.bitrate;
    }
}

TEST(OpusCodecWords, QualityNoteChangesAtEachThreshold) {
    const struct {
        std::int32_t bitrate;
        const char* note;
    } cases[] = {
        {510000, "transparent"},
        {192000, "transparent"},
        {191999, "excellent"},
        {128000, "excellent"},
        {127999, "very good"},
        {96000, "very good"},
        {95999, "good — slightly softened"},
        {64000, "good — slightly softened"},
        {63999, "compressed but musical"},
        {0, "compressed but musical"},
        {-1, "compressed but musical"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(OpusCodec::qualityNote(c.bitrate), c.note) << c.bitrate;
    }
}

}  // namespace
}  // namespace zoranth
