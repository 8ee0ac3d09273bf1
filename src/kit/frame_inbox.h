// A guest's incoming audio on its way from the sender thread to the guest's own queue: a
// fixed ring of frames with one producer and one consumer, so the hand-off neither locks
// nor allocates. The producer (one thread at a time) pushes; the consumer (one thread at a
// time) pops. A full inbox refuses the frame; the caller finds another way for it.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "kit/frame_queue.h"

namespace zoranth {

class FrameInbox {
  public:
    struct Entry {
        FrameQueue::Bytes bytes;
        std::uint64_t deadlineNanos = 0;
        double now = 0;            // wall-clock seconds when it was handed over
        std::uint32_t format = 0;  // the stream formats announced before it
    };

    // 1.28 s of chunks: far more than a guest's queue waits for between two runs.
    static constexpr std::size_t capacity = 64;

    // Producer only. False when full. The slot taken was emptied by the consumer, so the
    // producer only ever adds a reference and never frees a frame.
    bool push(const FrameQueue::Bytes& bytes, std::uint64_t deadlineNanos, double now,
              std::uint32_t format) {
        const std::size_t tail = tail_.load(std::memory_order_relaxed);
        if (tail - head_.load(std::memory_order_acquire) == capacity) {
            return false;
        }
        Entry& slot = slots_[tail % capacity];
        slot.bytes = bytes;
        slot.deadlineNanos = deadlineNanos;
        slot.now = now;
        slot.format = format;
        tail_.store(tail + 1, std::memory_order_release);
        return true;
    }

    // Consumer only: the oldest entry, left in place; null when empty.
    const Entry* front() const {
        const std::size_t head = head_.load(std::memory_order_relaxed);
        if (head == tail_.load(std::memory_order_acquire)) {
            return nullptr;
        }
        return &slots_[head % capacity];
    }

    // Consumer only.
    std::optional<Entry> pop() {
        const std::size_t head = head_.load(std::memory_order_relaxed);
        if (head == tail_.load(std::memory_order_acquire)) {
            return std::nullopt;
        }
        Entry entry = std::move(slots_[head % capacity]);
        slots_[head % capacity].bytes = nullptr;
        head_.store(head + 1, std::memory_order_release);
        return entry;
    }

  private:
    std::array<Entry, capacity> slots_{};
    alignas(64) std::atomic<std::size_t> head_{0};
    alignas(64) std::atomic<std::size_t> tail_{0};
};

}  // namespace zoranth
