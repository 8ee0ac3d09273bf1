// The capture pipeline's two costs.
//
// pipelineDelay: how long a chunk waits between the arrival of the ring slot that completes
// it and the sink call, with all five tier streams encoding, while a producer thread
// delivers 480-frame slots at the real 10 ms pace. Reported as p50 and p99 in milliseconds
// and as a share of one 20 ms chunk (p99_of_chunk).
//
// pipelineCpu: the sender thread's work per chunk (two slots drained from the ring,
// resampling, metering, black box, one Opus encode and one wire frame per tier stream, the
// sink call) for 0, 1 and 5 tiers: however many guests there are, no more than five. Reported
// as time per chunk and as chunks per second (items); one chunk lasts 20 ms, so the
// pipeline's share of one processor is 2 / items_per_second × 100.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <numbers>
#include <thread>
#include <vector>

#include "host/capture/capture_pipeline.h"
#include "protocol/mach_clock.h"

namespace zoranth {
namespace {

constexpr std::uint32_t slotFrames = 480;
constexpr int channels = 2;
constexpr std::uint64_t slotNanos = 10'000'000;

// Music-like test audio: a chord with a little noise, so the encoder has real work.
float sample(std::int64_t frame, int channel) {
    const double t = static_cast<double>(frame) / 48000.0;
    double x = 0.2 * std::sin(2 * std::numbers::pi * 220 * t) +
               0.15 * std::sin(2 * std::numbers::pi * 277.2 * t + channel) +
               0.1 * std::sin(2 * std::numbers::pi * 329.6 * t) +
               0.05 * std::sin(2 * std::numbers::pi * 3520 * t);
    const auto noise = static_cast<std::uint32_t>(frame * 2654435761u + channel * 97u);
    x += 0.01 * (static_cast<double>(noise % 2001) / 1000.0 - 1.0);
    return static_cast<float>(x);
}

// Writes one slot; `arrival`, when given, gets the moment the slot is handed over.
void writeSlot(sr_ring* ring, std::int64_t slot, std::uint64_t hostNanos,
               std::atomic<std::uint64_t>* arrival = nullptr) {
    sr_slot* target = sr_ring_begin_write(ring);
    if (target == nullptr) {
        sr_ring_note_overrun(ring);
        return;
    }
    target->host_time_ns = hostNanos;
    target->frames = slotFrames;
    target->channels = channels;
    target->flags = 0;
    for (int c = 0; c < channels; ++c) {
        float* plane = sr_slot_plane(ring, target, static_cast<std::uint32_t>(c));
        for (std::uint32_t j = 0; j < slotFrames; ++j) {
            plane[j] = sample(slot * slotFrames + j, c);
        }
    }
    sr_ring_note_call(ring);
    if (arrival != nullptr) {
        arrival->store(MachClock::nowNanos(), std::memory_order_release);
    }
    sr_ring_commit_write(ring);
}

TierSet tiers(int count) {
    TierSet set;
    for (int tier = 0; tier < count; ++tier) {
        set.insert(QualityTier::allCases[static_cast<std::size_t>(tier)]);
    }
    return set;
}

// Notes when each chunk reaches the sink.
class TimingSink : public CapturePipeline::Sink {
  public:
    TimingSink(std::uint64_t startNanos, const std::vector<std::atomic<std::uint64_t>>& arrivals)
        : startNanos_(startNanos), arrivals_(arrivals) {}

    void pipelineDidProduce(const TierFrames& frames, const ChunkAssembler::Chunk& chunk,
                            std::span<const float>, std::uint64_t, std::uint64_t) override {
        const std::uint64_t now = MachClock::nowNanos();
        // The chunk's second slot completed it.
        const std::size_t slot = (chunk.hostTimeNanos - startNanos_) / slotNanos + 1;
        if (slot < arrivals_.size()) {
            const std::uint64_t arrived = arrivals_[slot].load(std::memory_order_acquire);
            if (arrived != 0) {
                delays.push_back(static_cast<double>(now - arrived) / 1e6);
            }
        }
        for (const QualityTier tier : QualityTier::allCases) {
            packetsSeen += frames[tier] ? 1 : 0;
        }
    }

    std::vector<double> delays;  // milliseconds
    std::int64_t packetsSeen = 0;

  private:
    std::uint64_t startNanos_;
    const std::vector<std::atomic<std::uint64_t>>& arrivals_;
};

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1));
    return values[index];
}

void pipelineDelay(benchmark::State& state) {
    const int tierCount = static_cast<int>(state.range(0));
    constexpr int slots = 400;  // four seconds
    for (auto _ : state) {
        auto ring = *CaptureRing::createStandard();
        const auto pipeline =
            CapturePipeline::create(ring, TapFormat{48000, channels, false, true, 32}, 960);
        const std::uint64_t start = MachClock::nowNanos();
        std::vector<std::atomic<std::uint64_t>> arrivals(slots);
        const auto sink = std::make_shared<TimingSink>(start, arrivals);
        sink->delays.reserve(slots);
        pipeline->setSink(sink);
        const TierSet wanted = tiers(tierCount);
        pipeline->setTiersWanted([wanted] { return wanted; });
        pipeline->setDiagnosticLog([](std::string_view) {});
        if (!pipeline->start()) {
            state.SkipWithError("the pipeline did not start");
            return;
        }
        std::thread producer([&] {
            auto next = std::chrono::steady_clock::now();
            for (int slot = 0; slot < slots; ++slot) {
                std::this_thread::sleep_until(next);
                writeSlot(ring->pointer(), slot,
                          start + static_cast<std::uint64_t>(slot) * slotNanos,
                          &arrivals[static_cast<std::size_t>(slot)]);
                next += std::chrono::nanoseconds(slotNanos);
            }
        });
        producer.join();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        pipeline->stop();

        const double p50 = percentile(sink->delays, 0.50);
        const double p99 = percentile(sink->delays, 0.99);
        state.counters["p50_ms"] = p50;
        state.counters["p99_ms"] = p99;
        state.counters["p99_of_chunk"] = p99 / 20.0;
        state.counters["chunks"] = static_cast<double>(sink->delays.size());
        state.counters["overruns"] = static_cast<double>(sr_ring_overruns(ring->pointer()));
        if (sink->packetsSeen != static_cast<std::int64_t>(sink->delays.size()) * tierCount) {
            state.SkipWithError("a tier missed a frame");
        }
    }
}

void pipelineCpu(benchmark::State& state) {
    const int tierCount = static_cast<int>(state.range(0));
    auto ring = *CaptureRing::createStandard();
    const auto pipeline =
        CapturePipeline::create(ring, TapFormat{48000, channels, false, true, 32}, 960);
    const std::vector<std::atomic<std::uint64_t>> noArrivals;
    const auto sink = std::make_shared<TimingSink>(0, noArrivals);
    pipeline->setSink(sink);
    const TierSet wanted = tiers(tierCount);
    pipeline->setTiersWanted([wanted] { return wanted; });
    pipeline->setDiagnosticLog([](std::string_view) {});

    std::int64_t slot = 0;
    for (auto _ : state) {
        state.PauseTiming();
        for (int half = 0; half < 2; ++half, ++slot) {
            writeSlot(ring->pointer(), slot, static_cast<std::uint64_t>(slot) * slotNanos + 1);
        }
        state.ResumeTiming();
        pipeline->drainRing();
        pipeline->emitReadyChunks();
    }
    if (sink->packetsSeen != state.iterations() * tierCount) {
        state.SkipWithError("a tier missed a frame");
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["encoded_kB_per_chunk"] =
        benchmark::Counter(static_cast<double>(pipeline->stats().encodedBytes) / 1000.0 /
                           static_cast<double>(std::max<std::int64_t>(state.iterations(), 1)));
}

BENCHMARK(pipelineDelay)->Arg(5)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(pipelineCpu)->Arg(0)->Arg(1)->Arg(5)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace zoranth
