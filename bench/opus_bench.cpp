// How many guests one core can keep encoded: each guest costs one Opus encode of a
// 20 ms stereo chunk every 20 ms, at its tier's bitrate.
#include <benchmark/benchmark.h>

#include <time.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

#include "kit/opus_encoder.h"

namespace {

using zoranth::OpusCodec;

// One second of something music-like (a chord, a pulsing bass and a little noise),
// so the encoder has the kind of work a rave gives it rather than a pure tone.
std::vector<std::vector<float>> musicLikeChunks() {
    constexpr int kChunks = 50;
    std::vector<std::vector<float>> chunks(kChunks);
    std::uint32_t seed = 12345;
    for (int c = 0; c < kChunks; ++c) {
        auto& pcm = chunks[c];
        pcm.resize(2 * OpusCodec::frameSize);
        for (int i = 0; i < OpusCodec::frameSize; ++i) {
            const double t =
                static_cast<double>(c * OpusCodec::frameSize + i) / OpusCodec::sampleRate;
            const double pulse = 0.5 + 0.5 * std::sin(2 * std::numbers::pi * 2 * t);
            double chord = 0;
            for (double hz : {261.63, 329.63, 392.0, 523.25, 1046.5}) {
                chord += 0.08 * std::sin(2 * std::numbers::pi * hz * t);
            }
            const double bass = 0.3 * pulse * std::sin(2 * std::numbers::pi * 55 * t);
            seed = seed * 1664525u + 1013904223u;
            const double noise = 0.05 * ((seed >> 8) / double(1 << 23) - 1.0);
            pcm[2 * i] = static_cast<float>(chord + bass + noise);
            pcm[2 * i + 1] = static_cast<float>(0.9 * chord + bass - noise);
        }
    }
    return chunks;
}

double threadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void opusEncodeStereoChunk(benchmark::State& state) {
    const auto bitrate = static_cast<std::int32_t>(state.range(0));
    const auto chunks = musicLikeChunks();
    auto encoder = zoranth::OpusEncoder::create(2, bitrate);
    if (!encoder) {
        state.SkipWithError(encoder.error().description().c_str());
        return;
    }
    std::size_t next = 0;
    std::size_t bytes = 0;
    const double cpuStart = threadCpuSeconds();
    for (auto _ : state) {
        auto packet = (*encoder)->encode(chunks[next]);
        benchmark::DoNotOptimize(packet);
        bytes += packet ? packet->size() : 0;
        next = (next + 1) % chunks.size();
    }
    // CPU time, not wall time: on a busy machine the encoder's own cost is what
    // says how many guests a core can carry.
    const double cpuPerChunk =
        (threadCpuSeconds() - cpuStart) / static_cast<double>(state.iterations());
    const double chunkSeconds = static_cast<double>(OpusCodec::frameSize) / OpusCodec::sampleRate;
    state.counters["ns_per_chunk"] = cpuPerChunk * 1e9;
    state.counters["guests_per_core"] = chunkSeconds / cpuPerChunk;
    state.counters["bytes_per_packet"] =
        static_cast<double>(bytes) / static_cast<double>(state.iterations());
}

BENCHMARK(opusEncodeStereoChunk)->ArgName("bitrate")->Arg(256000)->Arg(128000)->Arg(64000);

}  // namespace
