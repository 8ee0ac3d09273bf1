#include "kit/chunk_assembler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "support/alloc_counter.h"

namespace zoranth {
namespace {

// Every sample names its channel and its frame in the whole stream, so a chunk shows
// at a glance whether frames were lost, repeated or put in the wrong channel.
float sampleFor(int channel, std::int64_t streamFrame) {
    return static_cast<float>(channel * 100000 + streamFrame + 1);
}

std::vector<std::vector<float>> planesFor(int channels, std::int64_t firstFrame, int frames) {
    std::vector<std::vector<float>> planes(channels, std::vector<float>(frames));
    for (int c = 0; c < channels; ++c) {
        for (int j = 0; j < frames; ++j) planes[c][j] = sampleFor(c, firstFrame + j);
    }
    return planes;
}

std::uint64_t nanosFor(std::int64_t frames, double rate) {
    return static_cast<std::uint64_t>(std::llround(static_cast<double>(frames) / rate * 1e9));
}

std::vector<ChunkAssembler::Chunk> drain(ChunkAssembler& assembler) {
    std::vector<ChunkAssembler::Chunk> chunks;
    while (auto chunk = assembler.nextChunk()) chunks.push_back(std::move(*chunk));
    return chunks;
}

constexpr std::uint64_t t0 = 5'000'000'000;

// --- Chunking a steady stream -------------------------------------------------

TEST(ChunkAssemblerStream, TwoSlotsOf512MakeOneChunkAtTheFirstSlotsTime) {
    ChunkAssembler assembler(48000, 2, 960);
    assembler.push(t0, 512, planesFor(2, 0, 512));
    assembler.push(t0 + 10'666'667, 512, planesFor(2, 512, 512));

    EXPECT_EQ(assembler.pendingChunkCount(), 1);
    EXPECT_EQ(assembler.stagedFrames(), 64);
    EXPECT_EQ(assembler.framesEmitted(), 960);
    EXPECT_EQ(assembler.discontinuities(), 0);

    const auto chunk = assembler.nextChunk();
    ASSERT_TRUE(chunk);
    EXPECT_EQ(chunk->hostTimeNanos, t0);
    EXPECT_EQ(chunk->frameCount, 960);
    ASSERT_EQ(chunk->samples.size(), 1920u);
    for (int frame : {0, 511, 512, 959}) {
        EXPECT_EQ(chunk->samples[frame * 2], sampleFor(0, frame)) << frame;
        EXPECT_EQ(chunk->samples[frame * 2 + 1], sampleFor(1, frame)) << frame;
    }
    EXPECT_FALSE(assembler.nextChunk());
}

struct StreamCase {
    double rate;
    int channels;
    std::vector<int> slotSizes;  // cycled
};

class ChunkAssemblerStreamTest : public testing::TestWithParam<StreamCase> {};

// Chunks are exactly 960 frames, carry every frame once in order, and start at the
// host time of the slot holding their first frame plus that frame's offset in it.
TEST_P(ChunkAssemblerStreamTest, ChunksAreExactAndTimedAcrossSlotBoundaries) {
    const StreamCase& param = GetParam();
    const int framesPerChunk = 960;
    ChunkAssembler assembler(param.rate, param.channels, framesPerChunk);

    std::vector<std::uint64_t> slotStart;
    std::vector<std::int64_t> slotFirstFrame;
    std::int64_t frame = 0;
    for (int s = 0; frame < 30 * framesPerChunk; ++s) {
        const int n = param.slotSizes[s % param.slotSizes.size()];
        const std::uint64_t t = t0 + nanosFor(frame, param.rate);
        const auto planes = planesFor(param.channels, frame, n);
        std::vector<std::span<const float>> views(planes.begin(), planes.end());
        assembler.push(t, n, views);
        slotStart.push_back(t);
        slotFirstFrame.push_back(frame);
        frame += n;
    }

    const auto chunks = drain(assembler);
    ASSERT_EQ(static_cast<std::int64_t>(chunks.size()), frame / framesPerChunk);
    EXPECT_EQ(assembler.stagedFrames(), frame % framesPerChunk);
    EXPECT_EQ(assembler.framesEmitted(), static_cast<std::int64_t>(chunks.size()) * framesPerChunk);
    EXPECT_EQ(assembler.discontinuities(), 0);

    std::size_t slot = 0;
    for (std::size_t k = 0; k < chunks.size(); ++k) {
        const std::int64_t first = static_cast<std::int64_t>(k) * framesPerChunk;
        while (slot + 1 < slotFirstFrame.size() && slotFirstFrame[slot + 1] <= first) ++slot;
        const auto& chunk = chunks[k];
        EXPECT_EQ(chunk.frameCount, framesPerChunk);
        EXPECT_EQ(chunk.hostTimeNanos, slotStart[slot] + nanosFor(first - slotFirstFrame[slot], param.rate))
            << "chunk " << k;
        ASSERT_EQ(chunk.samples.size(), static_cast<std::size_t>(framesPerChunk * param.channels));
        for (int j = 0; j < framesPerChunk; ++j) {
            for (int c = 0; c < param.channels; ++c) {
                ASSERT_EQ(chunk.samples[j * param.channels + c], sampleFor(c, first + j))
                    << "chunk " << k << " frame " << j << " channel " << c;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Slots, ChunkAssemblerStreamTest,
    testing::Values(StreamCase{48000, 2, {512}}, StreamCase{48000, 2, {480, 512, 4096, 1, 960}},
                    StreamCase{48000, 1, {4096}}, StreamCase{96000, 8, {1024, 333}},
                    StreamCase{44100, 2, {441, 470}}));

// --- Gaps between slots -------------------------------------------------------

struct GapCase {
    std::int64_t lateness;  // nanoseconds after the expected start; negative is early
    bool isGap;
};

class ChunkAssemblerGapTest : public testing::TestWithParam<GapCase> {};

TEST_P(ChunkAssemblerGapTest, OnlyASlotMoreThanOneMillisecondOffIsAGap) {
    const GapCase& param = GetParam();
    ChunkAssembler assembler(48000, 2, 960);
    assembler.push(t0, 512, planesFor(2, 0, 512));
    const std::uint64_t secondStart = t0 + 10'666'667 + param.lateness;
    assembler.push(secondStart, 512, planesFor(2, 512, 512));

    EXPECT_EQ(assembler.discontinuities(), param.isGap ? 1 : 0);
    const auto first = assembler.nextChunk();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->hostTimeNanos, t0);
    if (!param.isGap) {
        EXPECT_EQ(first->samples[512 * 2], sampleFor(0, 512));
        EXPECT_EQ(assembler.stagedFrames(), 64);
        return;
    }
    // The frames before the gap leave padded with silence; the late slot starts afresh.
    EXPECT_EQ(first->samples[511 * 2 + 1], sampleFor(1, 511));
    for (std::size_t i = 512 * 2; i < first->samples.size(); ++i) ASSERT_EQ(first->samples[i], 0.0f) << i;
    EXPECT_EQ(assembler.framesEmitted(), 960);
    EXPECT_EQ(assembler.stagedFrames(), 512);

    assembler.push(secondStart + 10'666'667, 512, planesFor(2, 1024, 512));
    const auto second = assembler.nextChunk();
    ASSERT_TRUE(second);
    EXPECT_EQ(second->hostTimeNanos, secondStart);
    EXPECT_EQ(second->samples[0], sampleFor(0, 512));
    EXPECT_EQ(assembler.discontinuities(), 1);
}

INSTANTIATE_TEST_SUITE_P(Lateness, ChunkAssemblerGapTest,
                         testing::Values(GapCase{0, false}, GapCase{1'000'000, false}, GapCase{-1'000'000, false},
                                         GapCase{1'000'001, true}, GapCase{2'000'000, true},
                                         GapCase{-2'000'000, true}));

TEST(ChunkAssemblerGap, AnEmptySlotIsIgnoredAndMovesNoExpectation) {
    ChunkAssembler assembler(48000, 1, 960);
    assembler.push(t0, 480, planesFor(1, 0, 480));
    assembler.push(t0 + 999'000'000, 0, std::vector<std::vector<float>>(1));
    assembler.push(t0 + 10'000'000, 480, planesFor(1, 480, 480));

    EXPECT_EQ(assembler.discontinuities(), 0);
    const auto chunk = assembler.nextChunk();
    ASSERT_TRUE(chunk);
    EXPECT_EQ(chunk->samples[959], sampleFor(0, 959));
}

// --- Flushing -----------------------------------------------------------------

TEST(ChunkAssemblerFlush, NothingStagedAddsNoChunk) {
    ChunkAssembler assembler(48000, 2, 960);
    assembler.flushPartialAsZeroPadded();
    assembler.push(t0, 960, planesFor(2, 0, 960));
    (void)assembler.nextChunk();
    assembler.flushPartialAsZeroPadded();

    EXPECT_EQ(assembler.pendingChunkCount(), 0);
    EXPECT_EQ(assembler.framesEmitted(), 960);
}

TEST(ChunkAssemblerFlush, PartialChunkIsPaddedAndKeepsItsStartTime) {
    ChunkAssembler assembler(96000, 2, 960);
    assembler.push(t0, 1000, planesFor(2, 0, 1000));  // one chunk, then 40 frames staged
    assembler.flushPartialAsZeroPadded();

    const auto chunks = drain(assembler);
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_EQ(chunks[1].hostTimeNanos, t0 + 10'000'000);  // 960 frames at 96 kHz
    EXPECT_EQ(chunks[1].samples[39 * 2 + 1], sampleFor(1, 999));
    for (std::size_t i = 40 * 2; i < chunks[1].samples.size(); ++i) ASSERT_EQ(chunks[1].samples[i], 0.0f);
    EXPECT_EQ(assembler.framesEmitted(), 1920);
    EXPECT_EQ(assembler.stagedFrames(), 0);

    // The buffer of a padded chunk must not leak stale samples into the next chunk.
    assembler.push(t0 + 20'000'000, 10, planesFor(2, 5000, 10));
    assembler.flushPartialAsZeroPadded();
    const auto next = assembler.nextChunk();
    ASSERT_TRUE(next);
    for (std::size_t i = 10 * 2; i < next->samples.size(); ++i) ASSERT_EQ(next->samples[i], 0.0f);
}

// --- Allocation on the hot path -----------------------------------------------

TEST(ChunkAssemblerAllocation, PushAllocatesOnlyTheChunksItCompletes) {
    ChunkAssembler assembler(48000, 2, 960);
    const auto planes = planesFor(2, 0, 4096);
    std::vector<std::span<const float>> views(planes.begin(), planes.end());
    std::uint64_t t = t0;

    {
        AllocCounter counter;
        assembler.push(t, 500, views);
        EXPECT_EQ(counter.allocations(), 0u) << "a push that completes no chunk allocates nothing";
    }
    t += nanosFor(500, 48000);

    AllocCounter counter;
    int chunks = 0;
    for (int slot = 0; slot < 100; ++slot, t += nanosFor(512, 48000)) {
        assembler.push(t, 512, views);
        chunks += assembler.pendingChunkCount();
        while (assembler.nextChunk()) {
        }
    }
    EXPECT_GT(chunks, 0);
    EXPECT_LE(counter.allocations(), static_cast<std::uint64_t>(chunks));
}

TEST(ChunkAssemblerAllocation, RecycledChunksMakeSteadyRunningAllocationFree) {
    ChunkAssembler assembler(48000, 2, 960);
    const auto planes = planesFor(2, 0, 4096);
    std::vector<std::span<const float>> views(planes.begin(), planes.end());
    std::uint64_t t = t0;
    auto runSlots = [&](int count, int frames) {
        for (int slot = 0; slot < count; ++slot, t += nanosFor(frames, 48000)) {
            assembler.push(t, frames, views);
            while (auto chunk = assembler.nextChunk()) assembler.recycle(std::move(*chunk));
        }
    };
    runSlots(10, 4096);  // warm up: the pool fills

    AllocCounter counter;
    runSlots(200, 512);
    runSlots(20, 4096);
    EXPECT_EQ(counter.allocations(), 0u);
}

// --- Contract -----------------------------------------------------------------

TEST(ChunkAssemblerContractDeathTest, RejectsMalformedInput) {
    EXPECT_DEATH(ChunkAssembler(48000, 0, 960), "precondition");
    EXPECT_DEATH(ChunkAssembler(48000, 2, 0), "precondition");
    EXPECT_DEATH(ChunkAssembler(0, 2, 960), "precondition");
    EXPECT_DEATH(
        {
            ChunkAssembler assembler(48000, 2, 960);
            assembler.push(t0, 10, planesFor(1, 0, 10));
        },
        "one plane per channel");
    EXPECT_DEATH(
        {
            ChunkAssembler assembler(48000, 2, 960);
            assembler.push(t0, 10, planesFor(2, 0, 9));
        },
        "shorter than the slot");
}

}  // namespace
}  // namespace zoranth
