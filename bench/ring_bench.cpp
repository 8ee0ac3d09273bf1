// Capture ring throughput: slots per second from one producer thread to one consumer
// thread, and what one 480-frame stereo delivery costs the realtime producer.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "host/capture/capture_ring.h"

namespace {

constexpr std::uint32_t kFrames = 480;
constexpr std::uint32_t kChannels = 2;

// What the capture callback does with one interleaved float delivery: count it, take a
// slot, split the channels into planes and publish, or count an overrun.
bool produce(sr_ring* ring, const float* interleaved, std::uint64_t hostTime) {
    sr_ring_note_call(ring);
    sr_ring_note_shape(ring, 1, kFrames * kChannels * sizeof(float), kChannels);
    sr_slot* slot = sr_ring_begin_write(ring);
    if (slot == nullptr) {
        sr_ring_note_overrun(ring);
        return false;
    }
    slot->host_time_ns = hostTime;
    slot->frames = kFrames;
    slot->channels = kChannels;
    slot->flags = 0;
    float* left = sr_slot_plane(ring, slot, 0);
    float* right = sr_slot_plane(ring, slot, 1);
    for (std::uint32_t f = 0; f < kFrames; ++f) {
        left[f] = interleaved[2 * f];
        right[f] = interleaved[2 * f + 1];
    }
    sr_ring_commit_write(ring);
    return true;
}

std::vector<float> delivery() {
    std::vector<float> samples(kFrames * kChannels);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<float>(i) / static_cast<float>(samples.size());
    }
    return samples;
}

// Items per second is slots through the ring; the producer waits for room so that every
// slot is counted once, and either side yields its core while it waits.
void BM_RingSlotsThroughTwoThreads(benchmark::State& state) {
    auto ring = zoranth::CaptureRing::createStandard();
    if (!ring) {
        state.SkipWithError("no ring");
        return;
    }
    sr_ring* r = (*ring)->pointer();
    const std::vector<float> samples = delivery();
    constexpr std::uint64_t kBatch = 1 << 16;
    float sink = 0;
    for (auto _ : state) {
        std::thread producer([&] {
            for (std::uint64_t i = 0; i < kBatch;) {
                if (produce(r, samples.data(), i)) {
                    ++i;
                } else {
                    std::this_thread::yield();
                }
            }
        });
        for (std::uint64_t i = 0; i < kBatch;) {
            const sr_slot* slot = sr_ring_begin_read(r);
            if (slot == nullptr) {
                std::this_thread::yield();
                continue;
            }
            sink += sr_slot_plane_const(r, slot, 1)[slot->frames - 1];
            sr_ring_commit_read(r);
            ++i;
        }
        producer.join();
    }
    benchmark::DoNotOptimize(sink);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kBatch));
    state.SetBytesProcessed(
        static_cast<std::int64_t>(state.iterations() * kBatch * kFrames * kChannels * 4));
}
BENCHMARK(BM_RingSlotsThroughTwoThreads)->UseRealTime()->Unit(benchmark::kMillisecond);

// Time per iteration is the producer's cost of one 480-frame stereo write; the slot is
// released right away on the same thread so the ring never fills.
void BM_ProducerWrite480Stereo(benchmark::State& state) {
    auto ring = zoranth::CaptureRing::createStandard();
    if (!ring) {
        state.SkipWithError("no ring");
        return;
    }
    sr_ring* r = (*ring)->pointer();
    const std::vector<float> samples = delivery();
    std::uint64_t hostTime = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(produce(r, samples.data(), hostTime++));
        sr_ring_begin_read(r);
        sr_ring_commit_read(r);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_ProducerWrite480Stereo);

}  // namespace
