// Per-frame cost of a guest's audio queue at the sizes a rave uses: ~300-byte Opus
// frames, budgets for 1500 ms and 4500 ms playout delays (2.0 s and 5.0 s of audio).
// Figures are frames per second and the inverse, time per frame.
#include "kit/frame_queue.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

namespace zoranth {
namespace {

constexpr double chunkSeconds = 0.02;
constexpr std::size_t frameBytes = 300;
constexpr std::uint64_t farFuture = ~std::uint64_t{0};

double budgetFor(const benchmark::State& state) {
    return static_cast<double>(state.range(0)) / 1000.0 + 0.5;
}

std::vector<FrameQueue::Bytes> framePool() {
    std::vector<FrameQueue::Bytes> pool;
    for (int i = 0; i < 64; ++i) pool.push_back(FrameQueue::share(std::vector<std::uint8_t>(frameBytes, 0x5A)));
    return pool;
}

void reportFrames(benchmark::State& state, std::int64_t framesPerIteration) {
    const auto frames = static_cast<double>(state.iterations() * framesPerIteration);
    state.SetItemsProcessed(state.iterations() * framesPerIteration);
    state.counters["frames/s"] = benchmark::Counter(frames, benchmark::Counter::kIsRate);
    state.counters["s/frame"] = benchmark::Counter(frames, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// A guest that keeps up: the queue holds a few frames, each new frame goes in and the oldest comes out.
void BM_KeepingUp(benchmark::State& state) {
    FrameQueue queue(budgetFor(state), chunkSeconds);
    const auto pool = framePool();
    for (int i = 0; i < 5; ++i) queue.enqueue(pool[0], farFuture);
    std::size_t next = 0;
    for (auto _ : state) {
        queue.enqueue(pool[next++ % pool.size()], farFuture);
        benchmark::DoNotOptimize(queue.dequeue(0));
    }
    reportFrames(state, 1);
}
BENCHMARK(BM_KeepingUp)->Arg(1500)->Arg(4500);

// The same, but each frame is built and wrapped first, as the server receives it
// from the pipeline: the per-frame cost including the frame's own allocation.
void BM_KeepingUpWithFreshFrames(benchmark::State& state) {
    FrameQueue queue(budgetFor(state), chunkSeconds);
    for (auto _ : state) {
        queue.enqueue(FrameQueue::share(std::vector<std::uint8_t>(frameBytes, 0x5A)), farFuture);
        benchmark::DoNotOptimize(queue.dequeue(0));
    }
    reportFrames(state, 1);
}
BENCHMARK(BM_KeepingUpWithFreshFrames)->Arg(1500)->Arg(4500);

// A congested guest: the queue sits at its budget, so every enqueue drops the oldest
// frame, and one frame in four still leaves.
void BM_CongestedDrops(benchmark::State& state) {
    FrameQueue queue(budgetFor(state), chunkSeconds);
    const auto pool = framePool();
    while (queue.count() < queue.maxChunks()) queue.enqueue(pool[0], farFuture);
    std::size_t next = 0;
    for (auto _ : state) {
        for (int i = 0; i < 4; ++i) queue.enqueue(pool[next++ % pool.size()], farFuture);
        benchmark::DoNotOptimize(queue.dequeue(0));
    }
    reportFrames(state, 4);
}
BENCHMARK(BM_CongestedDrops)->Arg(1500)->Arg(4500);

// A late guest: every other frame has already expired when it reaches the front.
void BM_LateExpiries(benchmark::State& state) {
    FrameQueue queue(budgetFor(state), chunkSeconds);
    const auto pool = framePool();
    std::size_t next = 0;
    for (auto _ : state) {
        queue.enqueue(pool[next++ % pool.size()], 1); // already due
        queue.enqueue(pool[next++ % pool.size()], farFuture);
        benchmark::DoNotOptimize(queue.dequeue(1));
    }
    reportFrames(state, 2);
}
BENCHMARK(BM_LateExpiries)->Arg(1500)->Arg(4500);

} // namespace
} // namespace zoranth
