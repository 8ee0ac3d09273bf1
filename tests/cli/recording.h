// Reading back what a terminal mode or a receiver wrote: a WAV file's samples, and the
// tone they carry.
#pragma once

#include <sndfile.h>

#include <cmath>
#include <cstddef>
#include <filesystem>
#include <numbers>
#include <optional>
#include <vector>

namespace zoranth {

// The file's samples and format, as a reader sees them.
struct Recording {
    SF_INFO info{};
    std::vector<float> samples;
};

inline std::optional<Recording> readRecording(const std::filesystem::path& path) {
    Recording recording;
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &recording.info);
    if (file == nullptr) {
        return std::nullopt;
    }
    recording.samples.resize(static_cast<std::size_t>(recording.info.frames) *
                             static_cast<std::size_t>(recording.info.channels));
    sf_readf_float(file, recording.samples.data(), recording.info.frames);
    sf_close(file);
    return recording;
}

// The strongest frequency of one channel between 50 and 2000 Hz, in 10 Hz steps.
inline double dominantFrequency(const std::vector<float>& interleaved, int channels, double rate) {
    double best = 0;
    double bestPower = -1;
    const std::size_t frames = interleaved.size() / static_cast<std::size_t>(channels);
    for (double frequency = 50; frequency <= 2000; frequency += 10) {
        const double coefficient = 2 * std::cos(2 * std::numbers::pi * frequency / rate);
        double s1 = 0;
        double s2 = 0;
        for (std::size_t i = 0; i < frames; ++i) {
            const double s0 =
                interleaved[i * static_cast<std::size_t>(channels)] + coefficient * s1 - s2;
            s2 = s1;
            s1 = s0;
        }
        const double power = s1 * s1 + s2 * s2 - coefficient * s1 * s2;
        if (power > bestPower) {
            bestPower = power;
            best = frequency;
        }
    }
    return best;
}

}  // namespace zoranth
