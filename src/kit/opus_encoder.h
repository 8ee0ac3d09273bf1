// One stream's Opus encoder: 20 ms chunks of 48 kHz float audio in, one packet out
// each, at a bitrate that can change between packets. Used only from the sender
// thread; it has no locking.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <vector>

#include "kit/opus_codec.h"

namespace zoranth {

class OpusEncoder {
    struct Token {};
    // The library's state. Its own C name is this class's, so its type stays out of
    // this header and code that uses both names is not left ambiguous.
    struct Handle;

  public:
    using Failure = OpusCodec::Failure;

    // Fails with unsupportedChannels unless channels is 1 or 2, and with createFailed
    // when the library cannot make the encoder. The encoder is shared: its library
    // state must carry from packet to packet, so it is never copied.
    static std::expected<std::shared_ptr<OpusEncoder>, Failure> create(int channels,
                                                                       std::int32_t bitrate);

    OpusEncoder(Token, Handle* state, int channels, std::int32_t bitrate);
    OpusEncoder(const OpusEncoder&) = delete;
    OpusEncoder& operator=(const OpusEncoder&) = delete;

    // Encodes the first channels × 960 interleaved samples as the next packet of the
    // stream (later samples are ignored). Fewer samples than that is a caller error,
    // refused as encodeFailed(bad argument) rather than read past the end.
    std::expected<std::vector<std::uint8_t>, Failure> encode(std::span<const float> pcm);
    // The same without the copy: the packet stays in the encoder's own buffer and is
    // valid until the next encode, so a caller that frames it at once allocates nothing.
    std::expected<std::span<const std::uint8_t>, Failure> encodeInPlace(std::span<const float> pcm);

    // Takes effect from the next packet; the stream is not reset. Never fails: a value
    // the library refuses (zero or negative) leaves its previous target in force,
    // while bitrate() reports what was asked for.
    void setBitrate(std::int32_t bitrate);

    std::int32_t bitrate() const { return bitrate_; }
    int channels() const { return channels_; }

  private:
    struct Destroy {
        void operator()(Handle* state) const;
    };

    std::unique_ptr<Handle, Destroy> state_;
    int channels_;
    std::array<std::uint8_t, OpusCodec::maxPacketBytes> scratch_{};
    std::int32_t bitrate_;
};

}  // namespace zoranth
