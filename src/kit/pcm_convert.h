// Float-to-16-bit sample conversion and per-channel peak and RMS meters over
// interleaved audio. Stateless; any thread may call it.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace zoranth {

struct PCMConvert {
    PCMConvert() = delete;

    // Per-channel levels, one entry per channel.
    struct Levels {
        std::vector<float> peak;
        std::vector<float> rms;

        bool operator==(const Levels&) const = default;
    };

    // NaN → 0; at or below −1 → −32767; else min(x, 1) × 32767 rounded half away
    // from zero, so the result is symmetric and never −32768.
    static std::int16_t f32ToI16(float x);

    // Converts every sample into `destination` (room for all of them) and meters
    // them on the way. channels > 0.
    static Levels convert(std::span<const float> interleaved, int channels, std::span<std::int16_t> destination);

    // Meters the first min(size, channels × frames) samples. channels > 0.
    static Levels levels(std::span<const float> interleaved, int channels, int frames);
    // The same into `levels`, whose lists keep their capacity from call to call.
    static void levels(std::span<const float> interleaved, int channels, int frames, Levels& levels);

    // 20 log10 x, never below `floor`; `floor` for silence.
    static float dbFS(float level, float floor);
};

}  // namespace zoranth
