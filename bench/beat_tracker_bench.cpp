// What the built-in beat tracker costs the sender thread, in µs: per 960-frame stereo
// block in steady state (analyses included, one every 25 blocks), and per analysis
// alone. Each block lasts 20 ms; `audio_seconds` is how many seconds of such blocks one
// second of tracker time covers (for the analysis: were every block to carry one), the
// inverse of the tracker's share of the block's budget.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

#include "kit/beat_tracker.h"

namespace {

constexpr double kRate = 48000;
constexpr std::size_t kBlock = 960;
constexpr int kChannels = 2;
constexpr double kBlockSeconds = kBlock / kRate;

// Stereo 120 BPM clicks over a low hum, `seconds` long, so analyses find a tempo.
std::vector<float> music(double seconds) {
    const auto frames = static_cast<std::size_t>(seconds * kRate);
    std::vector<float> pcm(frames * kChannels);
    for (std::size_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / kRate;
        const double sinceClick = std::fmod(t, 0.5);
        const double click =
            std::exp(-sinceClick / 0.008) * std::sin(2 * std::numbers::pi * 1200 * sinceClick);
        const double hum = 0.05 * std::sin(2 * std::numbers::pi * 55 * t);
        pcm[kChannels * i] = pcm[kChannels * i + 1] = static_cast<float>(0.3 * click + hum);
    }
    return pcm;
}

std::uint64_t nanosAt(std::size_t frame) {
    return static_cast<std::uint64_t>(static_cast<double>(frame) / kRate * 1e9);
}

void BM_BeatTrackerSteadyBlock(benchmark::State& state) {
    const std::vector<float> pcm = music(20);
    const std::size_t blocks = pcm.size() / (kBlock * kChannels);
    zoranth::BeatTracker tracker(kRate);
    std::size_t frame = 0;
    // Past the warm-up, so every 25th block runs an analysis.
    for (std::size_t b = 0; b < 500; ++b, frame += kBlock)
        tracker.process(
            std::span(pcm).subspan((b % blocks) * kBlock * kChannels, kBlock * kChannels),
            kChannels, kBlock, nanosAt(frame));
    std::size_t b = 500;
    for (auto _ : state) {
        auto beats = tracker.process(
            std::span(pcm).subspan((b % blocks) * kBlock * kChannels, kBlock * kChannels),
            kChannels, kBlock, nanosAt(frame));
        benchmark::DoNotOptimize(beats);
        ++b;
        frame += kBlock;
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["audio_seconds"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * kBlockSeconds, benchmark::Counter::kIsRate);
    state.counters["tempo_found"] = tracker.bpm() ? 1 : 0;
}
BENCHMARK(BM_BeatTrackerSteadyBlock)->Unit(benchmark::kMicrosecond);

void BM_BeatTrackerAnalysis(benchmark::State& state) {
    const std::vector<float> pcm = music(12);
    // Stop one frame short of the hop that closes the 1000th: the next frame analyses.
    const std::size_t upTo = 1000 * 480 - 1;
    zoranth::BeatTracker ready(kRate);
    ready.process(pcm, kChannels, upTo, 0);
    const std::span<const float> lastFrame = std::span(pcm).subspan(upTo * kChannels, kChannels);
    for (auto _ : state) {
        state.PauseTiming();
        zoranth::BeatTracker tracker = ready;
        state.ResumeTiming();
        auto beats = tracker.process(lastFrame, kChannels, 1, nanosAt(upTo));
        benchmark::DoNotOptimize(beats);
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["audio_seconds"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * kBlockSeconds, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_BeatTrackerAnalysis)->Unit(benchmark::kMicrosecond);

}  // namespace
