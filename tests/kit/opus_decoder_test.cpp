#include "kit/opus_decoder.h"

#include <gtest/gtest.h>
#include <opus.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "kit/opus_encoder.h"

namespace zoranth {
namespace {

using Failure = OpusCodec::Failure;
using Packet = std::vector<std::uint8_t>;

constexpr int kFrames = OpusCodec::frameSize;

// Interleaved stereo 440 Hz at half scale, `frames` long, from sample `start` on.
std::vector<float> stereoTone(int start, int frames) {
    std::vector<float> pcm(2 * static_cast<std::size_t>(frames));
    for (int i = 0; i < frames; ++i) {
        const double t = static_cast<double>(start + i) / OpusCodec::sampleRate;
        pcm[2 * i] = pcm[2 * i + 1] =
            static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * 440 * t));
    }
    return pcm;
}

double rms(const std::vector<float>& pcm) {
    double sum = 0;
    for (float v : pcm) {
        sum += static_cast<double>(v) * v;
    }
    return std::sqrt(sum / static_cast<double>(pcm.size()));
}

// A packet of another duration than the host's chunks, straight from the library.
Packet packetOfFrames(int frames) {
    int error = 0;
    ::OpusEncoder* raw =
        opus_encoder_create(OpusCodec::sampleRate, 2, OPUS_APPLICATION_AUDIO, &error);
    Packet packet(OpusCodec::maxPacketBytes);
    const int size = opus_encode_float(raw, stereoTone(0, frames).data(), frames, packet.data(),
                                       static_cast<opus_int32>(packet.size()));
    opus_encoder_destroy(raw);
    packet.resize(size > 0 ? size : 0);
    return packet;
}

// The first packets of a 128 kbit/s stereo stream of the tone.
std::vector<Packet> toneStream(int chunks) {
    auto encoder = *OpusEncoder::create(2, 128000);
    std::vector<Packet> packets;
    for (int chunk = 0; chunk < chunks; ++chunk) {
        packets.push_back(*encoder->encode(stereoTone(chunk * kFrames, kFrames)));
    }
    return packets;
}

TEST(OpusDecoderCreate, RefusesChannelCountsOtherThanOneOrTwo) {
    for (int channels : {0, 3, -2}) {
        auto decoder = OpusDecoder::create(channels);
        ASSERT_FALSE(decoder.has_value()) << channels;
        EXPECT_EQ(decoder.error(), Failure::unsupportedChannels(channels));
    }
}

TEST(OpusDecoderPackets, RefusesWhatIsNotOneChunkAndKeepsGoing) {
    const struct {
        const char* what;
        Packet packet;
        Failure failure;
    } cases[] = {
        // Frame-count byte of zero after a "several frames" header.
        {"no frames", {0x03, 0x00}, Failure::decodeFailed(-4)},
        // "Two equal frames" cannot split an odd number of bytes.
        {"uneven halves", {0x01, 0xaa, 0xbb, 0xcc}, Failure::decodeFailed(-4)},
        {"2.5 ms", packetOfFrames(120), Failure::unexpectedFrameCount(960, 120)},
        {"10 ms", packetOfFrames(480), Failure::unexpectedFrameCount(960, 480)},
        {"40 ms", packetOfFrames(1920), Failure::unexpectedFrameCount(960, 1920)},
        {"60 ms", packetOfFrames(2880), Failure::unexpectedFrameCount(960, 2880)},
    };
    const std::vector<Packet> good = toneStream(1);
    for (const auto& c : cases) {
        auto decoder = *OpusDecoder::create(2);
        ASSERT_FALSE(c.packet.empty()) << c.what;
        auto pcm = decoder->decode(c.packet);
        ASSERT_FALSE(pcm.has_value()) << c.what;
        EXPECT_EQ(pcm.error(), c.failure) << c.what << ": " << pcm.error().description();
        EXPECT_TRUE(decoder->decode(good[0]).has_value()) << c.what;
    }
}

TEST(OpusDecoderLoss, FreshDecoderConcealsWithSilence) {
    auto decoder = *OpusDecoder::create(2);
    for (auto pcm : {decoder->concealLoss(), decoder->decode({})}) {
        ASSERT_TRUE(pcm.has_value());
        EXPECT_EQ(pcm->size(), 2u * kFrames);
        EXPECT_EQ(rms(*pcm), 0);
    }
}

TEST(OpusDecoderLoss, LostPacketIsBridgedFromWhatCameBefore) {
    auto decoder = *OpusDecoder::create(2);
    const std::vector<Packet> packets = toneStream(12);
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(decoder->decode(packets[i]).has_value());
    }
    auto bridged = decoder->concealLoss();
    ASSERT_TRUE(bridged.has_value());
    ASSERT_EQ(bridged->size(), 2u * kFrames);
    EXPECT_GT(rms(*bridged), 0.1);
    auto resumed = decoder->decode(packets[11]);
    ASSERT_TRUE(resumed.has_value());
    EXPECT_NEAR(rms(*resumed), 0.5 / std::numbers::sqrt2, 0.1);
}

TEST(OpusDecoderLoss, ResetForgetsTheStream) {
    auto decoder = *OpusDecoder::create(2);
    const std::vector<Packet> packets = toneStream(10);
    for (const auto& packet : packets) {
        ASSERT_TRUE(decoder->decode(packet).has_value());
    }
    decoder->reset();
    auto concealed = decoder->concealLoss();
    ASSERT_TRUE(concealed.has_value());
    EXPECT_EQ(rms(*concealed), 0);
    // A restarted stream decodes as it would on a new decoder.
    auto fresh = *OpusDecoder::create(2);
    for (const auto& packet : packets) {
        EXPECT_EQ(*decoder->decode(packet), *fresh->decode(packet));
    }
}

}  // namespace
}  // namespace zoranth
