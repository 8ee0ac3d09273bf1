// The Opus constants shared by the host's encoders and the playback side's
// decoder, the bitrate ladder with its user-facing words, and the codec's failures.
// Plain values and pure functions: callable from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace zoranth {

struct OpusCodec {
    OpusCodec() = delete;

    static constexpr int frameSize = 960;  // 20 ms at 48 kHz
    static constexpr int sampleRate = 48000;
    static constexpr int maxPacketBytes = 4000;
    // Bits per second, best first.
    static constexpr std::array<std::int32_t, 5> ladder{256000, 192000, 128000, 96000, 64000};

    // "128 kbps": the bitrate in whole kilobits per second.
    static std::string label(std::int32_t bitrate);
    // How a listener would describe music at this bitrate.
    static std::string qualityNote(std::int32_t bitrate);

    struct Failure {
        enum class Case {
            createFailed,
            encodeFailed,
            decodeFailed,
            unsupportedChannels,
            unexpectedFrameCount,
        };

        Case kind;
        std::int32_t code = 0;  // the library's error code, for the three library cases
        int channels = 0;       // unsupportedChannels
        int expected = 0;       // unexpectedFrameCount
        int got = 0;            // unexpectedFrameCount

        static Failure createFailed(std::int32_t code) { return {Case::createFailed, code}; }
        static Failure encodeFailed(std::int32_t code) { return {Case::encodeFailed, code}; }
        static Failure decodeFailed(std::int32_t code) { return {Case::decodeFailed, code}; }
        static Failure unsupportedChannels(int channels) {
            return {Case::unsupportedChannels, 0, channels};
        }
        static Failure unexpectedFrameCount(int expected, int got) {
            return {Case::unexpectedFrameCount, 0, 0, expected, got};
        }

        // "opus init failed (allocation failed)", "opus supports 1 or 2 channels, not 3", …
        std::string description() const;

        // Unused payload fields stay zero, so this is "same case, same payload".
        friend bool operator==(const Failure&, const Failure&) = default;
    };

    // "bad argument", "invalid packet", …; "code -42" for codes the library does not name.
    static std::string errorName(std::int32_t code);
};

}  // namespace zoranth
