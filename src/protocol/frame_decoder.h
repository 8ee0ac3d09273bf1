// Turns received byte chunks back into messages, one at a time, however the
// network split the stream. Unsynchronised: each reader owns its decoder and
// uses it from one thread or serial queue only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "protocol/wire_format.h"

namespace zoranth {

class FrameDecoder {
  public:
    struct Failure {
        enum class Case {
            badMagic,               // magic: the four bytes read big-endian
            unsupportedVersion,     // version
            payloadLengthMismatch,  // type, expected, got (the header's length)
            malformedPayload,       // type
            audioBeforeHello,
            bufferOverflow,  // vocabulary only: nothing here raises it
        };

        Case kind = Case::bufferOverflow;
        std::uint32_t magic = 0;
        std::uint8_t version = 0;
        MessageType type = MessageType::bye;
        int expected = 0;
        std::uint16_t got = 0;

        static Failure badMagic(std::uint32_t magic);
        static Failure unsupportedVersion(std::uint8_t version);
        static Failure payloadLengthMismatch(MessageType type, int expected, std::uint16_t got);
        static Failure malformedPayload(MessageType type);
        static Failure audioBeforeHello();
        static Failure bufferOverflow();

        // The case name and its values, for log lines: "unsupportedVersion(3)".
        std::string text() const;
        friend bool operator==(const Failure&, const Failure&) = default;
    };

    // A negative or zero capacity reserves nothing. A guest connection reserves
    // 65536 bytes, one maximum frame.
    explicit FrameDecoder(std::ptrdiff_t reservingCapacity);

    // Adds received bytes; never fails and never decodes.
    void append(std::span<const std::uint8_t> bytes);

    // The next complete message, or nothing until more bytes arrive. A failure
    // is final: the decoder never resynchronises, so every later call fails the
    // same way and the reader abandons the stream.
    std::expected<std::optional<Message>, Failure> next();

    // Bytes received but not yet consumed.
    std::size_t bufferedByteCount() const { return buffer_.size() - readIndex_; }
    // Bytes held, consumed ones included: consumed bytes are discarded only
    // when everything is consumed or more than 32 KiB of them pile up front.
    std::size_t storedByteCount() const { return buffer_.size(); }
    std::size_t capacity() const { return buffer_.capacity(); }

    // The latest hello on this stream, absent until the first.
    const std::optional<Hello>& streamFormat() const { return streamFormat_; }

  private:
    struct ParsedHeader {
        std::uint8_t typeByte = 0;
        std::optional<MessageType> type;  // absent for an unknown type byte
        std::uint16_t length = 0;
    };
    struct NeedHeader {};
    struct NeedPayload {
        ParsedHeader header;
    };
    using State = std::variant<NeedHeader, NeedPayload>;

    static constexpr std::size_t compactionThreshold = 32768;

    std::expected<ParsedHeader, Failure> parseHeader() const;
    std::expected<Message, Failure> decodePayload(const ParsedHeader& header,
                                                  std::span<const std::uint8_t> payload);
    void compact();

    std::vector<std::uint8_t> buffer_;
    std::size_t readIndex_ = 0;
    State state_ = NeedHeader{};
    std::optional<Hello> streamFormat_;
};

}  // namespace zoranth
