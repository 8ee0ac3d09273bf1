#include "kit/pcm_black_box.h"

#include <algorithm>
#include <cmath>

namespace zoranth {

namespace {

constexpr std::size_t headerBytes = 44;
constexpr std::int64_t u32Max = 0xFFFF'FFFF;

std::size_t capacityFor(double seconds, std::int64_t sampleRate, std::int64_t channels) {
    const double frames = std::floor(seconds * static_cast<double>(sampleRate));
    // A negative or NaN duration holds nothing but the one-frame minimum.
    const double wholeFrames = frames > 0.0 ? std::min(frames, 9.0e15) : 0.0;
    const auto samples = static_cast<std::int64_t>(wholeFrames) * channels;
    return static_cast<std::size_t>(std::max(samples, channels));
}

void putText(std::vector<std::uint8_t>& out, const char (&text)[5]) {
    out.insert(out.end(), text, text + 4);
}

void putU16(std::vector<std::uint8_t>& out, std::uint32_t value) {
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void putU32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    putU16(out, value & 0xFFFF);
    putU16(out, value >> 16);
}

} // namespace

std::string PCMBlackBox::WavFailure::description() const {
    switch (kind) {
        case Case::channelCount: return "a WAV file cannot hold " + std::to_string(value) + " channels";
        case Case::sampleRate: return "a WAV file cannot hold a sample rate of " + std::to_string(value) + " Hz";
        case Case::dataLength: return "a WAV file cannot hold " + std::to_string(value) + " bytes of audio";
    }
    return "a WAV file cannot hold this audio";
}

PCMBlackBox::PCMBlackBox(double seconds, std::int64_t sampleRate, std::int64_t channels)
    : sampleRate_(sampleRate),
      channels_(std::max<std::int64_t>(channels, 1)),
      samples_(capacityFor(seconds, sampleRate, channels_), 0.0f) {}

void PCMBlackBox::append(std::span<const float> samples) {
    const std::size_t capacity = samples_.size();
    if (samples.size() > capacity) samples = samples.last(capacity);

    // At most two copies: up to the end of the ring, then from its start.
    const auto first = static_cast<std::ptrdiff_t>(std::min(samples.size(), capacity - head_));
    std::copy(samples.begin(), samples.begin() + first, samples_.begin() + static_cast<std::ptrdiff_t>(head_));
    std::copy(samples.begin() + first, samples.end(), samples_.begin());

    head_ = (head_ + samples.size()) % capacity;
    filled_ = std::min(filled_ + samples.size(), capacity);
}

std::vector<float> PCMBlackBox::snapshot() const {
    if (filled_ < samples_.size()) {
        return {samples_.begin(), samples_.begin() + static_cast<std::ptrdiff_t>(filled_)};
    }
    std::vector<float> ordered;
    ordered.reserve(samples_.size());
    ordered.insert(ordered.end(), samples_.begin() + static_cast<std::ptrdiff_t>(head_), samples_.end());
    ordered.insert(ordered.end(), samples_.begin(), samples_.begin() + static_cast<std::ptrdiff_t>(head_));
    return ordered;
}

double PCMBlackBox::seconds() const {
    if (sampleRate_ <= 0) return 0.0;
    const auto frames = static_cast<std::int64_t>(filled_) / channels_;
    return static_cast<double>(frames) / static_cast<double>(sampleRate_);
}

std::expected<std::vector<std::uint8_t>, PCMBlackBox::WavFailure> PCMBlackBox::wav() const {
    return wav(snapshot(), sampleRate_, channels_);
}

std::int16_t PCMBlackBox::wavSample(float x) {
    if (x >= 1.0f || std::isnan(x)) return 32767;
    return static_cast<std::int16_t>(std::max(x, -1.0f) * 32767.0f);
}

std::expected<std::vector<std::uint8_t>, PCMBlackBox::WavFailure> PCMBlackBox::wav(
    std::span<const float> interleaved, std::int64_t sampleRate, std::int64_t channels) {
    if (channels < 1 || channels >= 32768) return std::unexpected(WavFailure{WavFailure::Case::channelCount, channels});
    // The byte rate (rate × block align) shares the rate's 32-bit field width.
    if (sampleRate < 1 || sampleRate > u32Max || sampleRate * channels * 2 > u32Max) {
        return std::unexpected(WavFailure{WavFailure::Case::sampleRate, sampleRate});
    }
    const auto dataLength = static_cast<std::int64_t>(interleaved.size()) * 2;
    if (dataLength > u32Max - 36) return std::unexpected(WavFailure{WavFailure::Case::dataLength, dataLength});

    std::vector<std::uint8_t> out;
    out.reserve(headerBytes + static_cast<std::size_t>(dataLength));
    putText(out, "RIFF");
    putU32(out, static_cast<std::uint32_t>(36 + dataLength));
    putText(out, "WAVE");
    putText(out, "fmt ");
    putU32(out, 16);
    putU16(out, 1); // integer PCM
    putU16(out, static_cast<std::uint32_t>(channels));
    putU32(out, static_cast<std::uint32_t>(sampleRate));
    putU32(out, static_cast<std::uint32_t>(sampleRate * channels * 2));
    putU16(out, static_cast<std::uint32_t>(channels * 2));
    putU16(out, 16); // bits per sample
    putText(out, "data");
    putU32(out, static_cast<std::uint32_t>(dataLength));
    for (float x : interleaved) putU16(out, static_cast<std::uint16_t>(wavSample(x)));
    return out;
}

} // namespace zoranth
