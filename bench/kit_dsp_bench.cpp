// The sender thread's per-chunk signal work: resampling a 20 ms chunk to 48 kHz,
// cutting ring slots into chunks and metering a chunk. Figures are rates.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <span>
#include <vector>

#include "kit/chunk_assembler.h"
#include "kit/pcm_convert.h"
#include "kit/resampler.h"

namespace zoranth {
namespace {

constexpr double chunkSeconds = 0.020;

std::vector<float> tone(int frames, int channels, double rate) {
    std::vector<float> samples(static_cast<std::size_t>(frames) * channels);
    for (int i = 0; i < frames; ++i) {
        for (int c = 0; c < channels; ++c) {
            samples[static_cast<std::size_t>(i) * channels + c] =
                static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * 1000 * (c + 1) * i / rate));
        }
    }
    return samples;
}

// chunks/s, CPU time per chunk, and seconds of audio handled per second of CPU.
void reportPerChunk(benchmark::State& state) {
    const double chunks = static_cast<double>(state.iterations());
    state.counters["chunks/s"] = benchmark::Counter(chunks, benchmark::Counter::kIsRate);
    state.counters["time/chunk"] =
        benchmark::Counter(chunks, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["audio"] = benchmark::Counter(chunks * chunkSeconds, benchmark::Counter::kIsRate);
}

// One 20 ms chunk at the tap rate (range 0) and channel count (range 1) into a reused buffer.
void resampleChunk(benchmark::State& state) {
    const int rate = static_cast<int>(state.range(0));
    const int channels = static_cast<int>(state.range(1));
    const int frames = static_cast<int>(std::lround(rate * chunkSeconds));
    Resampler resampler(Resampler::Ratio::reducing(rate, 48000), channels);
    const auto input = tone(frames, channels, rate);
    std::vector<float> output;
    for (auto _ : state) {
        resampler.process(input, frames, output);
        benchmark::DoNotOptimize(output.data());
        benchmark::ClobberMemory();
    }
    reportPerChunk(state);
}
BENCHMARK(resampleChunk)->ArgNames({"rate", "ch"})->Args({96000, 2})->Args({96000, 1})->Args({44100, 2})->Args({48000, 2});

// The same at 96 kHz stereo through the overload that returns a fresh list each time.
void resampleChunkReturningList(benchmark::State& state) {
    Resampler resampler(Resampler::Ratio::half, 2);
    const auto input = tone(1920, 2, 96000);
    for (auto _ : state) {
        auto output = resampler.process(input, 1920);
        benchmark::DoNotOptimize(output.data());
    }
    reportPerChunk(state);
}
BENCHMARK(resampleChunkReturningList);

// One ring slot of `range(0)` frames, 48 kHz stereo, pushed and its chunks drained
// and handed back, as the sender thread does.
void assembleSlot(benchmark::State& state) {
    const int frames = static_cast<int>(state.range(0));
    const int channels = 2;
    ChunkAssembler assembler(48000, channels, 960);
    std::vector<std::vector<float>> planes(channels, std::vector<float>(frames, 0.25f));
    std::vector<std::span<const float>> views(planes.begin(), planes.end());
    std::uint64_t t = 1'000'000'000;
    std::int64_t framesPushed = 0;
    for (auto _ : state) {
        assembler.push(t + static_cast<std::uint64_t>(framesPushed * 1'000'000'000 / 48000), frames, views);
        framesPushed += frames;
        while (auto chunk = assembler.nextChunk()) {
            benchmark::DoNotOptimize(chunk->samples.data());
            assembler.recycle(std::move(*chunk));
        }
    }
    if (assembler.discontinuities() != 0) state.SkipWithError("slots were timed as gaps");
    state.counters["slots/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["frames/s"] = benchmark::Counter(static_cast<double>(framesPushed), benchmark::Counter::kIsRate);
}
BENCHMARK(assembleSlot)->ArgName("frames")->Arg(480)->Arg(512)->Arg(4096);

// Peak and RMS of one 48 kHz stereo chunk into reused level lists.
void meterChunk(benchmark::State& state) {
    const auto chunk = tone(960, 2, 48000);
    PCMConvert::Levels levels;
    for (auto _ : state) {
        PCMConvert::levels(chunk, 2, 960, levels);
        benchmark::DoNotOptimize(levels.rms.data());
    }
    reportPerChunk(state);
}
BENCHMARK(meterChunk);

}  // namespace
}  // namespace zoranth
