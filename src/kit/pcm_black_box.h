// The most recent stretch of the stream's interleaved PCM, kept in a fixed ring so that
// when capture misbehaves the host can save exactly what the guests heard as a WAV file.
// A plain value: its owner guards it (the pipeline appends on its sender thread and saves under a lock).
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

namespace zoranth {

class PCMBlackBox {
public:
    // Why a WAV file could not hold the given audio: each header field has a fixed width.
    struct WavFailure {
        enum class Case { channelCount, sampleRate, dataLength };

        Case kind;
        std::int64_t value; // the offending channel count, rate, or data length in bytes

        std::string description() const;
        bool operator==(const WavFailure&) const = default;
    };

    // Allocates the whole ring once, zero-filled: channels × ⌊seconds × sampleRate⌋
    // samples, at least one frame. A channel count below 1 is taken as 1.
    PCMBlackBox(double seconds, std::int64_t sampleRate, std::int64_t channels);

    // Interleaved samples; only the newest capacity() survive. Never allocates.
    void append(std::span<const float> samples);
    // Everything held, oldest sample first.
    std::vector<float> snapshot() const;
    // Whole frames held, in seconds of audio.
    double seconds() const;
    // The snapshot as a complete 16-bit WAV file.
    std::expected<std::vector<std::uint8_t>, WavFailure> wav() const;

    static std::expected<std::vector<std::uint8_t>, WavFailure> wav(std::span<const float> interleaved,
                                                                     std::int64_t sampleRate,
                                                                     std::int64_t channels);
    // The file's sample conversion: truncates where the stream's own float-to-int16 rounds.
    static std::int16_t wavSample(float x);

    std::int64_t sampleRate() const { return sampleRate_; }
    std::int64_t channels() const { return channels_; }
    std::size_t capacity() const { return samples_.size(); }
    std::size_t filled() const { return filled_; }

private:
    std::int64_t sampleRate_;
    std::int64_t channels_;
    std::vector<float> samples_;
    std::size_t head_ = 0;
    std::size_t filled_ = 0;
};

} // namespace zoranth
