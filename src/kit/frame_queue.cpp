#include "kit/frame_queue.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace zoranth {

namespace {

std::int64_t lengthOf(const FrameQueue::Bytes& bytes) {
    return bytes ? static_cast<std::int64_t>(bytes->size()) : 0;
}

// Budget in whole chunks, halves rounded away from zero, never below one chunk.
// The ceiling only keeps a nonsensical ratio from overflowing the conversion.
std::int64_t chunksFor(double maxSeconds, double chunkSeconds) {
    const double ratio = std::round(maxSeconds / chunkSeconds);
    if (!(ratio >= 1.0)) return 1;
    constexpr double ceiling = 4.0e18;
    return ratio >= ceiling ? static_cast<std::int64_t>(ceiling) : static_cast<std::int64_t>(ratio);
}

std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b) {
    const std::uint64_t sum = a + b;
    return sum < a ? std::numeric_limits<std::uint64_t>::max() : sum;
}

// Truncates a non-negative nanosecond count; negative or NaN durations add nothing.
std::uint64_t nanosFrom(double nanos) {
    if (!(nanos > 0.0)) return 0;
    constexpr double limit = 18446744073709551615.0; // 2^64, as a double
    return nanos >= limit ? std::numeric_limits<std::uint64_t>::max() : static_cast<std::uint64_t>(nanos);
}

} // namespace

FrameQueue::FrameQueue(double maxSeconds, double chunkSeconds)
    : maxSeconds_(maxSeconds), chunkSeconds_(chunkSeconds), maxChunks_(chunksFor(maxSeconds, chunkSeconds)) {
    // The live entries never exceed the budget plus the one just appended, and fewer
    // than the compaction threshold of consumed slots wait in front of them, so this
    // one reservation is all the storage the queue ever needs.
    constexpr std::int64_t reservationLimit = 1 << 16;
    storage_.reserve(static_cast<std::size_t>(std::min(maxChunks_ + 1 + compactionThreshold, reservationLimit)));
}

FrameQueue::Bytes FrameQueue::share(std::vector<std::uint8_t> frame) {
    return std::make_shared<const std::vector<std::uint8_t>>(std::move(frame));
}

double FrameQueue::occupancy() const {
    return chunkSeconds_ * static_cast<double>(count()) / maxSeconds_;
}

void FrameQueue::enqueue(Bytes bytes, std::uint64_t deadlineNanos) {
    byteCount_ += lengthOf(bytes);
    storage_.push_back(Entry{deadlineNanos, std::move(bytes)});
    // The oldest go first; the frame just appended survives because the budget is at least one.
    while (count() > maxChunks_) {
        const Entry dropped = takeFront();
        droppedFrames_ += 1;
        droppedBytes_ += lengthOf(dropped.bytes);
    }
    compact();
}

std::optional<FrameQueue::Bytes> FrameQueue::dequeue(std::uint64_t nowNanos) {
    while (!isEmpty()) {
        Entry front = takeFront();
        if (nowNanos < front.deadlineNanos) {
            compact();
            return std::move(front.bytes);
        }
        expiredFrames_ += 1;
        expiredBytes_ += lengthOf(front.bytes);
    }
    compact();
    return std::nullopt;
}

void FrameQueue::removeAll() {
    storage_.clear();
    head_ = 0;
    byteCount_ = 0;
}

// Moves the front entry out, leaving an empty slot behind, so the frame's bytes are
// released as soon as the caller lets go of them rather than at the next compaction.
FrameQueue::Entry FrameQueue::takeFront() {
    Entry front = std::exchange(storage_[static_cast<std::size_t>(head_)], Entry{});
    head_ += 1;
    byteCount_ -= lengthOf(front.bytes);
    return front;
}

// Consumed slots are reclaimed in batches, so taking a frame out is a slot reset and
// an index step instead of shifting every queued entry forward each time.
void FrameQueue::compact() {
    if (head_ == 0) return;
    if (head_ == static_cast<std::int64_t>(storage_.size())) {
        storage_.clear();
        head_ = 0;
    } else if (head_ > compactionThreshold) {
        storage_.erase(storage_.begin(), storage_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
    }
}

std::uint64_t FrameQueue::playoutDeadlineNanos(std::uint64_t hostTimeNanos, std::int64_t frameCount,
                                               double sampleRate, std::uint32_t bufferDelayMs) {
    std::uint64_t deadline = saturatingAdd(hostTimeNanos, std::uint64_t{bufferDelayMs} * 1'000'000u);
    if (sampleRate > 0.0) {
        deadline = saturatingAdd(deadline, nanosFrom(static_cast<double>(frameCount) / sampleRate * 1e9));
    }
    return deadline;
}

std::int64_t FrameQueue::uncompressedBytes(double seconds, double sampleRate, std::int64_t channels,
                                           std::int64_t bytesPerSample) {
    const double frames = std::trunc(seconds * sampleRate);
    if (!(std::fabs(frames) < 9.0e18)) return 0; // NaN, or more audio than any buffer could hold
    return static_cast<std::int64_t>(frames) * channels * bytesPerSample;
}

} // namespace zoranth
