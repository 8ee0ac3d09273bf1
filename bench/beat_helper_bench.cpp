// What handing audio to the beat helper costs the sender thread: building one
// record from a 960-frame stereo block, and a whole feed (record, hand-over to the
// writer queue, written into a real pipe to a child that drains it). Each block
// lasts 20 ms; `audio_seconds` is how many seconds of such blocks one second of
// caller time covers, and `refused` the share of blocks the back-pressure dropped
// (kept at 0 by letting the writer catch up with the clock stopped).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "host/beats/beat_helper.h"
#include "host/host_log.h"

namespace {

constexpr std::size_t kBlock = 960;
constexpr int kChannels = 2;
constexpr double kBlockSeconds = 0.02;

std::vector<float> block() {
    std::vector<float> samples(kBlock * kChannels);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<float>(i % 97) / 97.0f - 0.5f;
    }
    return samples;
}

void BM_BeatHelperRecord(benchmark::State& state) {
    const auto samples = block();
    std::uint64_t time = 0;
    for (auto _ : state) {
        auto record = zoranth::BeatHelper::record(samples, kChannels, kBlock, time += 20'000'000);
        benchmark::DoNotOptimize(record.data());
    }
    state.counters["audio_seconds"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * kBlockSeconds, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_BeatHelperRecord);

// A helper that announces readiness and throws its input away: the pipe and the
// writer queue are real, the analysis is not.
void BM_BeatHelperFeed(benchmark::State& state) {
    zoranth::HostLog::setWritesFile(false);
    const auto script = std::filesystem::temp_directory_path() /
                        ("zoranth-bench-helper-" + std::to_string(::getpid()) + ".sh");
    std::ofstream(script) << "echo 'L Beat This! ready'\nexec cat >/dev/null\n";
    // The helper is started as "<interpreter> -u <script>"; sh takes -u too.
    auto started = zoranth::BeatHelper::start({"/bin/sh", script.string()});
    if (!started) {
        state.SkipWithError("the helper did not start");
        return;
    }
    auto helper = *started;
    while (!helper->status().ready) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const auto samples = block();
    std::uint64_t time = 0;
    for (auto _ : state) {
        helper->feed(samples, kChannels, kBlock, time += 20'000'000);
        // Live audio never outruns the helper like this loop does: let the writer
        // catch up off the clock, so that the figure is the cost of accepted blocks.
        if (helper->status().pending > 100) {
            state.PauseTiming();
            while (helper->status().pending > 10) {
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            }
            state.ResumeTiming();
        }
    }
    const auto status = helper->status();
    state.counters["audio_seconds"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * kBlockSeconds, benchmark::Counter::kIsRate);
    state.counters["refused"] =
        static_cast<double>(status.dropped) / static_cast<double>(state.iterations());
    helper.reset();
    std::filesystem::remove(script);
}
BENCHMARK(BM_BeatHelperFeed);

}  // namespace
