// The playback side's Opus decoder, used by tests and tools: one packet of the
// host's stream in, 960 interleaved float frames out, with concealment of lost
// packets. One thread at a time; it has no locking.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <vector>

#include "kit/opus_codec.h"

namespace zoranth {

class OpusDecoder {
    struct Token {};
    // The library's state. Its own C name is this class's, so its type stays out of
    // this header and code that uses both names is not left ambiguous.
    struct Handle;

  public:
    using Failure = OpusCodec::Failure;

    // Fails with unsupportedChannels unless channels is 1 or 2, and with createFailed
    // when the library cannot make the decoder.
    static std::expected<std::shared_ptr<OpusDecoder>, Failure> create(int channels);

    OpusDecoder(Token, Handle* state, int channels);
    OpusDecoder(const OpusDecoder&) = delete;
    OpusDecoder& operator=(const OpusDecoder&) = delete;

    // The packet's channels × 960 interleaved samples. An empty packet stands for a
    // lost one and is concealed from what came before. A packet the library cannot
    // read fails with decodeFailed; one that holds other than 960 frames (the host
    // never sends such) fails with unexpectedFrameCount and what it did hold.
    std::expected<std::vector<float>, Failure> decode(std::span<const std::uint8_t> packet);

    // Fills in for one lost 20 ms packet.
    std::expected<std::vector<float>, Failure> concealLoss() { return decode({}); }

    // Forgets the stream so far, as a new decoder would (for a restarted stream).
    void reset();

    int channels() const { return channels_; }

  private:
    struct Destroy {
        void operator()(Handle* state) const;
    };

    // The longest packet Opus allows is 120 ms; decoding into room for that lets a
    // wrong-length packet be reported by its length instead of as a short buffer.
    static constexpr int maxPacketFrames = OpusCodec::sampleRate / 1000 * 120;

    std::unique_ptr<Handle, Destroy> state_;
    int channels_;
    std::vector<float> scratch_;
};

}  // namespace zoranth
