#include "kit/chunk_assembler.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace zoranth {

namespace {

// Enough for the chunks one drain of the ring usually yields, so the ready list
// and the spare pool do not grow in steady running.
constexpr std::size_t reservedChunks = 16;

[[noreturn]] void preconditionFailure(const char* what) {
    std::fprintf(stderr, "ChunkAssembler: precondition failed: %s\n", what);
    std::abort();
}

}  // namespace

ChunkAssembler::ChunkAssembler(double sampleRate, int channels, int framesPerChunk)
    : sampleRate_(sampleRate), channels_(channels), framesPerChunk_(framesPerChunk) {
    if (!(sampleRate > 0) || channels <= 0 || framesPerChunk <= 0) {
        preconditionFailure("sampleRate, channels and framesPerChunk must be > 0");
    }
    staging_.assign(static_cast<std::size_t>(channels_) * framesPerChunk_, 0.0f);
    ready_.reserve(reservedChunks);
    spareBuffers_.reserve(reservedChunks);
}

void ChunkAssembler::push(std::uint64_t slotHostNanos, int frames,
                          std::span<const std::span<const float>> planes) {
    if (frames <= 0) return;
    if (planes.size() != static_cast<std::size_t>(channels_)) {
        preconditionFailure("push needs exactly one plane per channel");
    }
    for (const auto& plane : planes) {
        if (plane.size() < static_cast<std::size_t>(frames)) preconditionFailure("a plane is shorter than the slot");
    }
    pushPlanes(slotHostNanos, frames, [planes](int c) { return planes[c].data(); });
}

void ChunkAssembler::push(std::uint64_t slotHostNanos, int frames, const std::vector<std::vector<float>>& planes) {
    if (frames <= 0) return;
    if (planes.size() != static_cast<std::size_t>(channels_)) {
        preconditionFailure("push needs exactly one plane per channel");
    }
    for (const auto& plane : planes) {
        if (plane.size() < static_cast<std::size_t>(frames)) preconditionFailure("a plane is shorter than the slot");
    }
    pushPlanes(slotHostNanos, frames, [&planes](int c) { return planes[c].data(); });
}

template <typename PlaneAt>
void ChunkAssembler::pushPlanes(std::uint64_t t, int n, PlaneAt planeAt) {
    if (expectedNextSlotNanos_) {
        const std::uint64_t expected = *expectedNextSlotNanos_;
        const std::uint64_t distance = t > expected ? t - expected : expected - t;
        if (distance > discontinuityToleranceNanos) {
            // Samples on either side of a gap never share a chunk.
            ++discontinuities_;
            flushPartialAsZeroPadded();
        }
    }

    int i = 0;
    while (i < n) {
        if (staged_ == 0) stagingStartNanos_ = t + nanosForFrames(i);
        const int k = std::min(n - i, framesPerChunk_ - staged_);
        float* out = staging_.data() + static_cast<std::size_t>(staged_) * channels_;
        for (int c = 0; c < channels_; ++c) {
            const float* in = planeAt(c) + i;
            for (int j = 0; j < k; ++j) out[static_cast<std::size_t>(j) * channels_ + c] = in[j];
        }
        staged_ += k;
        i += k;
        if (staged_ == framesPerChunk_) emitStaging();
    }

    expectedNextSlotNanos_ = t + nanosForFrames(n);
}

std::uint64_t ChunkAssembler::nanosForFrames(std::int64_t frames) const {
    return static_cast<std::uint64_t>(std::llround(static_cast<double>(frames) / sampleRate_ * 1e9));
}

void ChunkAssembler::flushPartialAsZeroPadded() {
    if (staged_ <= 0) return;
    std::fill(staging_.begin() + static_cast<std::ptrdiff_t>(staged_) * channels_, staging_.end(), 0.0f);
    emitStaging();
}

void ChunkAssembler::emitStaging() {
    if (readyHead_ > 0 && readyHead_ * 2 >= ready_.size()) {
        // Drop the taken chunks at the front without giving up capacity.
        ready_.erase(ready_.begin(), ready_.begin() + static_cast<std::ptrdiff_t>(readyHead_));
        readyHead_ = 0;
    }
    ready_.push_back(Chunk{stagingStartNanos_, framesPerChunk_, std::move(staging_)});
    framesEmitted_ += framesPerChunk_;
    staged_ = 0;
    staging_ = freshStaging();
}

std::vector<float> ChunkAssembler::freshStaging() {
    const std::size_t size = static_cast<std::size_t>(channels_) * framesPerChunk_;
    if (spareBuffers_.empty()) return std::vector<float>(size, 0.0f);
    std::vector<float> buffer = std::move(spareBuffers_.back());
    spareBuffers_.pop_back();
    buffer.assign(size, 0.0f);
    return buffer;
}

std::optional<ChunkAssembler::Chunk> ChunkAssembler::nextChunk() {
    if (readyHead_ == ready_.size()) return std::nullopt;
    Chunk chunk = std::move(ready_[readyHead_++]);
    if (readyHead_ == ready_.size()) {
        ready_.clear();
        readyHead_ = 0;
    }
    return chunk;
}

void ChunkAssembler::recycle(Chunk&& chunk) {
    const std::size_t size = static_cast<std::size_t>(channels_) * framesPerChunk_;
    if (chunk.samples.capacity() < size || spareBuffers_.size() >= spareBuffers_.capacity()) return;
    spareBuffers_.push_back(std::move(chunk.samples));
}

}  // namespace zoranth
