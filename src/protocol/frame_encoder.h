// Turns a Message into the bytes of one frame: the 8-byte header (magic,
// version, type, little-endian payload length) and the payload. Stateless pure
// functions, callable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "protocol/byte_coding.h"
#include "protocol/wire_format.h"

namespace zoranth {

struct FrameEncoder {
    FrameEncoder() = delete;

    // One complete frame for any message. An unknown message is framed with its
    // type byte, its length and that many zero bytes.
    static std::vector<std::uint8_t> encode(const Message& message);

    // The audio frame, byte for byte what encode gives, built with one
    // exact-size allocation: it runs for every guest fifty times a second.
    // The packet must fit a frame (at most maxPayload - 18 bytes).
    static std::vector<std::uint8_t> encodeAudioFrame(const AudioChunkHeader& header,
                                                      std::span<const std::uint8_t> packet);

    // Appends the 8 header bytes; `length` must lie in 0...65535.
    static void writeHeader(MessageType type, std::size_t length, ByteWriter& into);

    // The UTF-8 device name cut to at most 63 bytes without splitting a
    // character. A longer name loses its last multi-byte character even when
    // the cut fell right after it, and the result stays valid UTF-8.
    static std::vector<std::uint8_t> truncatedNameBytes(std::string_view name);
};

}  // namespace zoranth
