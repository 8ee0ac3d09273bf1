// One guest's outgoing audio: a time-budgeted first-in, first-out queue of encoded
// wire frames, each with the host-clock moment after which the guest can no longer play it.
// A plain value with no locking: only the owning connection's serial queue touches it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace zoranth {

class FrameQueue {
public:
    // One complete wire frame, immutable once built. Shared rather than owned so
    // that handing a frame to a guest's queue, taking it out again and keeping it
    // alive through an asynchronous socket write are reference-count changes, never
    // byte copies, and one frame can sit in several guests' queues at once.
    using Bytes = std::shared_ptr<const std::vector<std::uint8_t>>;

    struct Entry {
        std::uint64_t deadlineNanos = 0;
        Bytes bytes;
    };

    // Both values must be greater than 0.
    FrameQueue(double maxSeconds, double chunkSeconds);

    // Wraps a finished frame for queueing; the bytes are moved, not copied.
    static Bytes share(std::vector<std::uint8_t> frame);

    // Appends one frame, then drops the oldest frames while over budget. A null
    // frame is carried like an empty one rather than trusted to be dereferenced.
    void enqueue(Bytes bytes, std::uint64_t deadlineNanos);
    // The oldest frame still on time at nowNanos; expired frames met on the way are discarded.
    std::optional<Bytes> dequeue(std::uint64_t nowNanos);
    // Discards every queued frame without counting it as a loss.
    void removeAll();

    std::int64_t count() const { return static_cast<std::int64_t>(storage_.size()) - head_; }
    bool isEmpty() const { return count() == 0; }
    std::int64_t maxChunks() const { return maxChunks_; }
    double queuedSeconds() const { return chunkSeconds_ * static_cast<double>(count()); }
    double occupancy() const;
    bool isOverBudget() const { return count() > maxChunks_; }
    std::int64_t byteCount() const { return byteCount_; }
    double maxSeconds() const { return maxSeconds_; }
    double chunkSeconds() const { return chunkSeconds_; }
    std::int64_t droppedFrames() const { return droppedFrames_; }
    std::int64_t droppedBytes() const { return droppedBytes_; }
    std::int64_t expiredFrames() const { return expiredFrames_; }
    std::int64_t expiredBytes() const { return expiredBytes_; }
    // Slots already taken out but not yet reclaimed by compaction.
    std::int64_t consumedSlots() const { return head_; }

    // The moment the guest finishes playing a chunk whose first frame was captured at
    // hostTimeNanos: start + playout delay + the chunk's own duration. Saturates
    // instead of wrapping, so an absurd input never yields a deadline in the past.
    static std::uint64_t playoutDeadlineNanos(std::uint64_t hostTimeNanos, std::int64_t frameCount,
                                              double sampleRate, std::uint32_t bufferDelayMs);
    // Size of that much raw audio.
    static std::int64_t uncompressedBytes(double seconds, double sampleRate, std::int64_t channels,
                                          std::int64_t bytesPerSample);

private:
    // Consumed slots are reclaimed in batches of more than this many.
    static constexpr std::int64_t compactionThreshold = 64;

    Entry takeFront();
    void compact();

    std::vector<Entry> storage_;
    std::int64_t head_ = 0;
    double maxSeconds_;
    double chunkSeconds_;
    std::int64_t maxChunks_;
    std::int64_t byteCount_ = 0;
    std::int64_t droppedFrames_ = 0;
    std::int64_t droppedBytes_ = 0;
    std::int64_t expiredFrames_ = 0;
    std::int64_t expiredBytes_ = 0;
};

} // namespace zoranth
