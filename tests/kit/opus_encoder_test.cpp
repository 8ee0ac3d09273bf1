#include "kit/opus_encoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#include "kit/opus_decoder.h"

namespace zoranth {
namespace {

constexpr int kFrames = OpusCodec::frameSize;
constexpr double kRate = OpusCodec::sampleRate;

// One 20 ms chunk of a sine per channel, continuing in phase from chunk to chunk.
std::vector<float> toneChunk(int chunk, double hz, std::vector<double> amplitudes) {
    const auto channels = amplitudes.size();
    std::vector<float> pcm(kFrames * channels);
    for (int i = 0; i < kFrames; ++i) {
        const double t = (static_cast<double>(chunk) * kFrames + i) / kRate;
        const double s = std::sin(2 * std::numbers::pi * hz * t);
        for (std::size_t c = 0; c < channels; ++c) {
            pcm[i * channels + c] = static_cast<float>(amplitudes[c] * s);
        }
    }
    return pcm;
}

// Full-scale white noise: the hardest input to squeeze, so the largest packets.
std::vector<float> noiseChunk(int channels, unsigned& seed) {
    std::vector<float> pcm(static_cast<std::size_t>(kFrames) * channels);
    for (float& sample : pcm) {
        seed = seed * 1664525u + 1013904223u;
        sample = static_cast<float>((seed >> 8) / double(1 << 23) - 1.0);
    }
    return pcm;
}

// The amplitude of the component at `hz` (a single-bin DFT).
double amplitudeAt(const std::vector<double>& x, double hz) {
    const double coeff = 2 * std::cos(2 * std::numbers::pi * hz / kRate);
    double s1 = 0, s2 = 0;
    for (double v : x) {
        const double s = v + coeff * s1 - s2;
        s2 = s1;
        s1 = s;
    }
    const double power = s1 * s1 + s2 * s2 - coeff * s1 * s2;
    return 2 * std::sqrt(std::max(power, 0.0)) / static_cast<double>(x.size());
}

struct Tone {
    double hz = 0;
    double amplitude = 0;
};

// The strongest sine between 50 Hz and 8 kHz: a coarse scan one DFT bin apart,
// then a fine one around the winner.
Tone dominantTone(const std::vector<double>& x) {
    const double bin = kRate / static_cast<double>(x.size());
    Tone best;
    auto consider = [&](double hz) {
        const double a = amplitudeAt(x, hz);
        if (a > best.amplitude) {
            best = {hz, a};
        }
    };
    for (double hz = 50; hz < 8000; hz += bin) {
        consider(hz);
    }
    const double centre = best.hz;
    for (double hz = centre - bin; hz <= centre + bin; hz += bin / 20) {
        consider(hz);
    }
    return best;
}

double rms(const std::vector<double>& x) {
    double sum = 0;
    for (double v : x) {
        sum += v * v;
    }
    return std::sqrt(sum / static_cast<double>(x.size()));
}

// The share of the signal's power that is the sine at `hz`: 1 for a clean tone.
double toneShare(const std::vector<double>& x, double hz) {
    const double amplitude = amplitudeAt(x, hz);
    return amplitude * amplitude / 2 / (rms(x) * rms(x));
}

double decibels(double ratio) {
    return 20 * std::log10(ratio);
}

// Decoded audio, split into its channels.
struct Capture {
    std::vector<std::vector<double>> channels;

    void add(const std::vector<float>& pcm, std::size_t channelCount) {
        channels.resize(channelCount);
        for (std::size_t i = 0; i < pcm.size(); ++i) {
            channels[i % channelCount].push_back(pcm[i]);
        }
    }
};

// The codec needs a few packets to settle (look-ahead, band energies), so the
// analysis starts after it.
constexpr int kSettleChunks = 10;
constexpr int kAnalysedChunks = 10;

struct RoundTripCase {
    std::int32_t bitrate;
    std::vector<double> amplitudes;  // per channel; unequal, so a swap or a mix shows
};

class OpusRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(OpusRoundTrip, ToneComesBackAtItsPitchAndLevel) {
    const auto& param = GetParam();
    const int channels = static_cast<int>(param.amplitudes.size());
    auto encoder = OpusEncoder::create(channels, param.bitrate);
    auto decoder = OpusDecoder::create(channels);
    ASSERT_TRUE(encoder.has_value());
    ASSERT_TRUE(decoder.has_value());
    EXPECT_EQ((*encoder)->bitrate(), param.bitrate);

    Capture decoded;
    std::size_t packetBytes = 0;
    for (int chunk = 0; chunk < kSettleChunks + kAnalysedChunks; ++chunk) {
        auto packet = (*encoder)->encode(toneChunk(chunk, 440, param.amplitudes));
        ASSERT_TRUE(packet.has_value()) << packet.error().description();
        ASSERT_GE(packet->size(), 1u);
        ASSERT_LE(packet->size(), static_cast<std::size_t>(OpusCodec::maxPacketBytes));
        auto pcm = (*decoder)->decode(*packet);
        ASSERT_TRUE(pcm.has_value()) << pcm.error().description();
        ASSERT_EQ(pcm->size(), static_cast<std::size_t>(kFrames * channels));
        if (chunk >= kSettleChunks) {
            decoded.add(*pcm, channels);
            packetBytes += packet->size();
        }
    }

    for (int c = 0; c < channels; ++c) {
        const auto& x = decoded.channels[c];
        const Tone tone = dominantTone(x);
        EXPECT_NEAR(tone.hz, 440, 2) << "channel " << c;
        const double expectedRms = param.amplitudes[c] / std::numbers::sqrt2;
        EXPECT_NEAR(decibels(rms(x) / expectedRms), 0, 1) << "channel " << c;
        // Nearly all of what comes back is the tone, not noise or another pitch.
        EXPECT_GT(toneShare(x, tone.hz), 0.99) << "channel " << c;
    }
    // The stream runs near its target rate, so the bitrate reached the library.
    const double bytesPerChunk = param.bitrate / 8.0 * kFrames / kRate;
    EXPECT_NEAR(static_cast<double>(packetBytes) / kAnalysedChunks, bytesPerChunk,
                0.3 * bytesPerChunk);
}

INSTANTIATE_TEST_SUITE_P(
    EveryTier, OpusRoundTrip,
    ::testing::Values(RoundTripCase{256000, {0.5, 0.25}}, RoundTripCase{192000, {0.5, 0.25}},
                      RoundTripCase{128000, {0.5, 0.25}}, RoundTripCase{96000, {0.5, 0.25}},
                      RoundTripCase{64000, {0.5, 0.25}}, RoundTripCase{128000, {0.5}}),
    [](const auto& info) {
        return std::to_string(info.param.bitrate / 1000) + "k" +
               (info.param.amplitudes.size() == 1 ? "Mono" : "Stereo");
    });

TEST(OpusEncoderCreate, RefusesChannelCountsOtherThanOneOrTwo) {
    for (int channels : {0, 3, 8, -1}) {
        auto encoder = OpusEncoder::create(channels, 128000);
        ASSERT_FALSE(encoder.has_value()) << channels;
        EXPECT_EQ(encoder.error(), OpusCodec::Failure::unsupportedChannels(channels));
    }
}

TEST(OpusEncoderStream, StateCarriesFromPacketToPacket) {
    auto continuing = *OpusEncoder::create(2, 128000);
    auto fresh = *OpusEncoder::create(2, 128000);
    ASSERT_TRUE(continuing->encode(toneChunk(0, 440, {0.5, 0.5})).has_value());
    const auto next = continuing->encode(toneChunk(1, 440, {0.5, 0.5}));
    const auto first = fresh->encode(toneChunk(1, 440, {0.5, 0.5}));
    ASSERT_TRUE(next.has_value() && first.has_value());
    EXPECT_NE(*next, *first);

    // A stream stitched from fresh encoders does not decode as the tone: the packets
    // are only meaningful as one encoder's continuing stream.
    auto decoder = *OpusDecoder::create(2);
    Capture decoded;
    for (int chunk = 0; chunk < kSettleChunks + kAnalysedChunks; ++chunk) {
        auto packet = (*OpusEncoder::create(2, 128000))->encode(toneChunk(chunk, 440, {0.5, 0.5}));
        auto pcm = decoder->decode(*packet);
        ASSERT_TRUE(pcm.has_value());
        if (chunk >= kSettleChunks) {
            decoded.add(*pcm, 2);
        }
    }
    EXPECT_LT(toneShare(decoded.channels[0], 440), 0.9);
}

TEST(OpusEncoderStream, BitrateChangesTakeEffectWithoutBreakingTheStream) {
    // Down the ladder one tier at a time, as quality steering moves, then straight
    // back to the top. 450 Hz fits exactly 9 periods into a chunk, so every decoded
    // chunk can be judged on its own: a reset or a new encoder at a change leaves
    // one chunk of about 0.93.
    const std::vector<std::int32_t> bitrates{256000, 256000, 192000, 128000, 96000, 64000, 256000};
    constexpr int kChunksPerStretch = 10;
    auto encoder = *OpusEncoder::create(2, bitrates.front());
    auto decoder = *OpusDecoder::create(2);
    int chunk = 0;
    for (std::size_t stretch = 0; stretch < bitrates.size(); ++stretch) {
        encoder->setBitrate(bitrates[stretch]);
        EXPECT_EQ(encoder->bitrate(), bitrates[stretch]);
        std::size_t settledBytes = 0;
        for (int i = 0; i < kChunksPerStretch; ++i, ++chunk) {
            auto packet = encoder->encode(toneChunk(chunk, 450, {0.5, 0.5}));
            ASSERT_TRUE(packet.has_value());
            auto pcm = decoder->decode(*packet);
            ASSERT_TRUE(pcm.has_value());
            if (i >= kChunksPerStretch / 2) {
                settledBytes += packet->size();
            }
            if (chunk >= kSettleChunks) {
                Capture decoded;
                decoded.add(*pcm, 2);
                EXPECT_GT(toneShare(decoded.channels[0], 450), 0.99)
                    << "chunk " << chunk << " at " << bitrates[stretch];
            }
        }
        const double target = bitrates[stretch] / 8.0 * kFrames / kRate;
        EXPECT_NEAR(settledBytes / (kChunksPerStretch / 2.0), target, 0.3 * target)
            << bitrates[stretch];
    }
}

TEST(OpusEncoderStream, RefusedBitrateIsReportedButLeavesTheOldTarget) {
    auto encoder = *OpusEncoder::create(2, 64000);
    encoder->setBitrate(0);
    EXPECT_EQ(encoder->bitrate(), 0);
    std::size_t bytes = 0;
    for (int chunk = 0; chunk < 10; ++chunk) {
        auto packet = encoder->encode(toneChunk(chunk, 440, {0.5, 0.5}));
        ASSERT_TRUE(packet.has_value()) << packet.error().description();
        bytes += packet->size();
    }
    EXPECT_NEAR(bytes / 10.0, 160, 50);  // still 64 kbit/s
}

TEST(OpusEncoderInput, PacketsStayWithinTheBufferEvenForNoiseAtTheTopRate) {
    auto encoder = *OpusEncoder::create(2, 256000);
    encoder->setBitrate(10'000'000);  // the library clamps this to its own maximum
    unsigned seed = 1;
    for (int chunk = 0; chunk < 20; ++chunk) {
        auto packet = encoder->encode(noiseChunk(2, seed));
        ASSERT_TRUE(packet.has_value());
        EXPECT_LE(packet->size(), static_cast<std::size_t>(OpusCodec::maxPacketBytes));
    }
}

TEST(OpusEncoderInput, ShortInputIsRefusedNotOverread) {
    auto encoder = *OpusEncoder::create(2, 128000);
    std::vector<float> pcm = toneChunk(0, 440, {0.5, 0.5});
    pcm.pop_back();
    auto packet = encoder->encode(pcm);
    ASSERT_FALSE(packet.has_value());
    EXPECT_EQ(packet.error(), OpusCodec::Failure::encodeFailed(-1));
    EXPECT_EQ(packet.error().description(), "opus encode failed (bad argument)");
    EXPECT_FALSE(encoder->encode({}).has_value());
}

TEST(OpusEncoderInput, SamplesBeyondOneChunkAreIgnored) {
    auto exact = *OpusEncoder::create(2, 128000);
    auto padded = *OpusEncoder::create(2, 128000);
    for (int chunk = 0; chunk < 3; ++chunk) {
        std::vector<float> pcm = toneChunk(chunk, 440, {0.5, 0.5});
        std::vector<float> longer = pcm;
        longer.resize(pcm.size() + 500, 0.9f);
        EXPECT_EQ(*exact->encode(pcm), *padded->encode(longer)) << chunk;
    }
}

}  // namespace
}  // namespace zoranth
