// Feeds arbitrary bytes to the frame decoder in appends of varying sizes and
// checks what must hold for any input: the decoder neither crashes nor reads out
// of bounds, a failure is final and repeats identically, every decoded message
// re-encodes to a frame of the size it was consumed from and decodes back to
// itself, and no byte is lost or invented.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <source_location>
#include <vector>

#include "protocol/frame_decoder.h"
#include "protocol/frame_encoder.h"

namespace {

using zoranth::FrameDecoder;
using zoranth::FrameEncoder;
using zoranth::Hello;
using zoranth::Message;

void require(bool condition, std::source_location where = std::source_location::current()) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken at line %u\n", static_cast<unsigned>(where.line()));
        std::abort();
    }
}

// Decodes the message's own encoding on a fresh stream (after the current
// format when it is audio) and requires the same message back.
void requireRoundTrip(const Message& message, const std::optional<Hello>& format,
                      std::size_t consumed) {
    const auto bytes = FrameEncoder::encode(message);
    require(bytes.size() == consumed);
    if (const auto* audio = message.as<Message::Audio>()) {
        require(FrameEncoder::encodeAudioFrame(audio->header, audio->packet) == bytes);
    }

    FrameDecoder again(0);
    if (message.is<Message::Audio>()) {
        require(format.has_value());
        again.append(FrameEncoder::encode(*format));
        require(again.next().value().has_value());
    }
    again.append(bytes);
    const auto decoded = again.next();
    require(decoded.has_value() && decoded->has_value() && **decoded == message);
    require(again.bufferedByteCount() == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Piece sizes come from the end of the input, stream bytes from the front.
    FuzzedDataProvider input(data, size);
    FrameDecoder decoder(input.ConsumeBool() ? 65536 : 0);
    // Bytes appended and not yet part of a returned message. The decoder may
    // already have read the header of the frame it waits for.
    std::size_t unreturned = 0;

    while (input.remaining_bytes() > 0) {
        const auto pieceSize = input.ConsumeIntegralInRange<std::size_t>(1, 2048);
        const auto piece = input.ConsumeBytes<std::uint8_t>(pieceSize);
        decoder.append(piece);
        unreturned += piece.size();
        const auto buffered = decoder.bufferedByteCount();
        require(buffered == unreturned || buffered + 8 == unreturned);

        for (;;) {
            const auto before = decoder.bufferedByteCount();
            const auto formatBefore = decoder.streamFormat();
            auto result = decoder.next();
            if (!result) {
                const auto failure = result.error();
                // Only the header of the frame that failed may have been read.
                const auto stuckAt = decoder.bufferedByteCount();
                require(stuckAt == before || stuckAt + 8 == before);
                require(decoder.streamFormat() == formatBefore);
                decoder.append(FrameEncoder::encode(Message::Bye{}));
                for (int i = 0; i < 2; ++i) {
                    const auto repeated = decoder.next();
                    require(!repeated && repeated.error() == failure);
                    require(decoder.bufferedByteCount() == stuckAt + 8);
                }
                return 0;
            }
            if (!*result) {
                break;
            }
            const Message& message = **result;
            const std::size_t consumed = unreturned - decoder.bufferedByteCount();
            unreturned = decoder.bufferedByteCount();
            require(!message.is<Message::Audio>() || formatBefore.has_value());
            if (const auto* hello = message.as<Hello>()) {
                require(hello->isValid() && decoder.streamFormat() == *hello);
            } else {
                require(decoder.streamFormat() == formatBefore);
            }
            requireRoundTrip(message, formatBefore, consumed);
        }
    }
    return 0;
}
