// Cuts the capture ring's variable-length, non-interleaved slots into fixed-size
// interleaved chunks stamped with the host time of their first frame, and notices
// gaps between slots. A plain value owned by one thread (the pipeline's sender).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace zoranth {

class ChunkAssembler {
public:
    struct Chunk {
        std::uint64_t hostTimeNanos = 0;  // host time of the first frame
        int frameCount = 0;               // always the assembler's framesPerChunk
        std::vector<float> samples;       // interleaved, frameCount × channels

        bool operator==(const Chunk&) const = default;
    };

    // A slot starting further than this from where the previous one ended is a gap.
    static constexpr std::uint64_t discontinuityToleranceNanos = 1'000'000;

    // All three must be > 0.
    ChunkAssembler(double sampleRate, int channels, int framesPerChunk);

    // Appends one slot of `frames` frames starting at host time `slotHostNanos`.
    // `planes` holds exactly `channels` planes of at least `frames` samples each.
    // Allocates nothing except the samples of chunks it completes (and not even
    // those once finished chunks are handed back through `recycle`).
    void push(std::uint64_t slotHostNanos, int frames, std::span<const std::span<const float>> planes);
    void push(std::uint64_t slotHostNanos, int frames, const std::vector<std::vector<float>>& planes);

    // Completes a partly filled chunk with silence and makes it ready.
    void flushPartialAsZeroPadded();

    // Removes and returns the oldest ready chunk.
    std::optional<Chunk> nextChunk();

    // Hands a consumed chunk's sample buffer back so the next chunk reuses it
    // instead of allocating; a caller that never recycles pays one allocation per chunk.
    void recycle(Chunk&& chunk);

    int pendingChunkCount() const { return static_cast<int>(ready_.size() - readyHead_); }
    int stagedFrames() const { return staged_; }
    int discontinuities() const { return discontinuities_; }
    std::int64_t framesEmitted() const { return framesEmitted_; }
    double sampleRate() const { return sampleRate_; }
    int channels() const { return channels_; }
    int framesPerChunk() const { return framesPerChunk_; }

private:
    template <typename PlaneAt>
    void pushPlanes(std::uint64_t slotHostNanos, int frames, PlaneAt planeAt);
    std::uint64_t nanosForFrames(std::int64_t frames) const;
    void emitStaging();
    std::vector<float> freshStaging();

    double sampleRate_;
    int channels_;
    int framesPerChunk_;
    std::vector<float> staging_;
    int staged_ = 0;
    std::uint64_t stagingStartNanos_ = 0;
    std::optional<std::uint64_t> expectedNextSlotNanos_;
    // Ready chunks live in [readyHead_, size): taking one only advances the head,
    // so the list keeps its capacity instead of reallocating per chunk.
    std::vector<Chunk> ready_;
    std::size_t readyHead_ = 0;
    std::vector<std::vector<float>> spareBuffers_;
    int discontinuities_ = 0;
    std::int64_t framesEmitted_ = 0;
};

}  // namespace zoranth
