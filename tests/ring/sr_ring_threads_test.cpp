// One producer thread and one consumer thread moving millions of slots through a small
// ring; every slot's header and samples are checked on the consumer side. Run under
// ThreadSanitizer this also proves that the index ordering publishes the slot contents.
#include "ring/sr_ring.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

namespace {

constexpr uint32_t kFrames = 12;
constexpr uint32_t kChannels = 3;
constexpr uint64_t kDeliveries = 2'000'000;
// A loaded machine or a sanitizer may not get through every delivery; the test then
// checks whatever did get through.
constexpr auto kTimeBudget = std::chrono::seconds(20);

float sampleFor(uint64_t delivery, uint32_t plane, uint32_t frame) {
    return static_cast<float>((delivery * 7 + plane * 131 + frame) & 0xFFFFFF);
}

uint32_t framesFor(uint64_t delivery) {
    return 1 + static_cast<uint32_t>(delivery % kFrames);
}

// The capture callback's calling order; `retryWhenFull` makes the producer wait for room
// instead of dropping, so that every delivery must arrive.
bool deliver(sr_ring* ring, uint64_t delivery, bool retryWhenFull) {
    sr_ring_note_call(ring);
    sr_ring_note_shape(ring, kChannels, framesFor(delivery) * 4, 1);
    sr_slot* slot = sr_ring_begin_write(ring);
    while (slot == nullptr && retryWhenFull) {
        std::this_thread::yield();
        slot = sr_ring_begin_write(ring);
    }
    if (slot == nullptr) {
        sr_ring_note_overrun(ring);
        return false;
    }
    slot->host_time_ns = delivery;
    slot->frames = framesFor(delivery);
    slot->channels = kChannels;
    slot->flags = 0;
    for (uint32_t plane = 0; plane < kChannels; ++plane) {
        float* samples = sr_slot_plane(ring, slot, plane);
        for (uint32_t f = 0; f < slot->frames; ++f) {
            samples[f] = sampleFor(delivery, plane, f);
        }
    }
    sr_ring_commit_write(ring);
    return true;
}

struct Outcome {
    uint64_t attempted = 0;
    uint64_t stored = 0;
    uint64_t read = 0;
    uint64_t badSlots = 0;
    uint64_t outOfOrder = 0;
};

Outcome runPair(sr_ring* ring, bool retryWhenFull) {
    Outcome outcome;
    std::atomic<bool> producerDone{false};
    const auto deadline = std::chrono::steady_clock::now() + kTimeBudget;

    std::thread producer([&] {
        uint64_t delivery = 0;
        for (; delivery < kDeliveries; ++delivery) {
            if (delivery % 4096 == 0 && std::chrono::steady_clock::now() > deadline) {
                break;
            }
            outcome.stored += deliver(ring, delivery, retryWhenFull) ? 1 : 0;
        }
        outcome.attempted = delivery;
        producerDone.store(true, std::memory_order_release);
    });

    int64_t previous = -1;
    for (;;) {
        const bool finished = producerDone.load(std::memory_order_acquire);
        const sr_slot* slot = sr_ring_begin_read(ring);
        if (slot == nullptr) {
            if (finished) {
                break;
            }
            std::this_thread::yield();
            continue;
        }
        const uint64_t delivery = slot->host_time_ns;
        const bool expectedNext = retryWhenFull ? static_cast<int64_t>(delivery) == previous + 1
                                                : static_cast<int64_t>(delivery) > previous;
        outcome.outOfOrder += expectedNext ? 0 : 1;
        previous = static_cast<int64_t>(delivery);
        bool intact = slot->frames == framesFor(delivery) && slot->channels == kChannels;
        for (uint32_t plane = 0; intact && plane < kChannels; ++plane) {
            const float* samples = sr_slot_plane_const(ring, slot, plane);
            for (uint32_t f = 0; f < slot->frames; ++f) {
                intact = intact && samples[f] == sampleFor(delivery, plane, f);
            }
        }
        outcome.badSlots += intact ? 0 : 1;
        ++outcome.read;
        sr_ring_commit_read(ring);
    }
    producer.join();
    return outcome;
}

class RingTwoThreads : public testing::TestWithParam<bool> {};

TEST_P(RingTwoThreads, ConsumerReceivesEveryStoredSlotIntactAndInOrder) {
    const bool retryWhenFull = GetParam();
    sr_ring* ring = sr_ring_create(16, kFrames, kChannels);
    ASSERT_NE(ring, nullptr);

    const Outcome outcome = runPair(ring, retryWhenFull);

    EXPECT_GT(outcome.stored, 0u);
    EXPECT_EQ(outcome.badSlots, 0u);
    EXPECT_EQ(outcome.outOfOrder, 0u);
    EXPECT_EQ(outcome.read, outcome.stored);
    EXPECT_EQ(sr_ring_writes(ring), outcome.stored);
    EXPECT_EQ(sr_ring_calls(ring), outcome.attempted);
    EXPECT_EQ(sr_ring_overruns(ring), outcome.attempted - outcome.stored);
    EXPECT_EQ(sr_ring_depth(ring), 0u);
    if (retryWhenFull) {
        EXPECT_EQ(outcome.stored, outcome.attempted);
    }
    sr_ring_destroy(ring);
}

INSTANTIATE_TEST_SUITE_P(Producers, RingTwoThreads, testing::Values(true, false),
                         [](const testing::TestParamInfo<bool>& info) {
                             return info.param ? "WaitingForRoom" : "DroppingWhenFull";
                         });

}  // namespace
