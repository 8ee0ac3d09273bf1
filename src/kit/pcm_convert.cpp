#include "kit/pcm_convert.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>

namespace zoranth {

namespace {

[[noreturn]] void preconditionFailure(const char* what) {
    std::fprintf(stderr, "PCMConvert: precondition failed: %s\n", what);
    std::abort();
}

// Peak and RMS per channel over `samples`; a trailing partial frame counts towards
// its channels' sums but not towards the frame count the RMS divides by.
void meter(std::span<const float> samples, int channels, PCMConvert::Levels& levels) {
    const std::size_t stride = static_cast<std::size_t>(channels);
    const std::size_t frames = samples.size() / stride;
    levels.peak.assign(stride, 0.0f);
    levels.rms.assign(stride, 0.0f);
    for (std::size_t c = 0; c < stride; ++c) {
        float peak = 0.0f;
        double sumOfSquares = 0.0;
        for (std::size_t j = c; j < samples.size(); j += stride) {
            const float s = samples[j];
            const float magnitude = std::fabs(s);
            if (magnitude > peak) peak = magnitude;  // NaN never compares greater
            sumOfSquares += static_cast<double>(s) * s;
        }
        levels.peak[c] = peak;
        if (frames > 0) levels.rms[c] = static_cast<float>(std::sqrt(sumOfSquares / static_cast<double>(frames)));
    }
}

}  // namespace

std::int16_t PCMConvert::f32ToI16(float x) {
    if (std::isnan(x)) return 0;
    if (x <= -1.0f) return -32767;
    return static_cast<std::int16_t>(std::round(std::min(x, 1.0f) * 32767.0f));
}

PCMConvert::Levels PCMConvert::convert(std::span<const float> interleaved, int channels,
                                       std::span<std::int16_t> destination) {
    if (channels <= 0) preconditionFailure("channels must be > 0");
    if (destination.size() < interleaved.size()) preconditionFailure("destination has no room for every sample");
    std::transform(interleaved.begin(), interleaved.end(), destination.begin(), f32ToI16);
    Levels result;
    meter(interleaved, channels, result);
    return result;
}

PCMConvert::Levels PCMConvert::levels(std::span<const float> interleaved, int channels, int frames) {
    Levels result;
    levels(interleaved, channels, frames, result);
    return result;
}

void PCMConvert::levels(std::span<const float> interleaved, int channels, int frames, Levels& levels) {
    if (channels <= 0) preconditionFailure("channels must be > 0");
    const std::size_t wanted = static_cast<std::size_t>(std::max(frames, 0)) * static_cast<std::size_t>(channels);
    meter(interleaved.first(std::min(interleaved.size(), wanted)), channels, levels);
}

float PCMConvert::dbFS(float level, float floor) {
    if (!(level > 0.0f)) return floor;
    return std::max(20.0f * std::log10(level), floor);
}

}  // namespace zoranth
