#include "kit/frame_queue.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

namespace zoranth {
namespace {

// A frame whose first byte names it, so tests can tell which frame came out.
FrameQueue::Bytes frame(std::uint8_t tag, std::size_t size = 10) {
    return FrameQueue::share(std::vector<std::uint8_t>(size, tag));
}

std::uint8_t tagOf(const std::optional<FrameQueue::Bytes>& bytes) {
    return bytes && *bytes && !(*bytes)->empty() ? (**bytes)[0] : 0;
}

constexpr std::uint64_t never = std::numeric_limits<std::uint64_t>::max();

// --- budget ---

struct BudgetCase {
    double maxSeconds;
    double chunkSeconds;
    std::int64_t maxChunks;
};

class FrameQueueBudget : public testing::TestWithParam<BudgetCase> {};

TEST_P(FrameQueueBudget, RoundsTheRatioHalvesAwayFromZeroAndKeepsAtLeastOneChunk) {
    const BudgetCase c = GetParam();
    EXPECT_EQ(FrameQueue(c.maxSeconds, c.chunkSeconds).maxChunks(), c.maxChunks);
}

INSTANTIATE_TEST_SUITE_P(Ratios, FrameQueueBudget,
                         testing::Values(BudgetCase{2.0, 0.02, 100},  // 1500 ms delay + 0.5 s
                                         BudgetCase{5.0, 0.02, 250},  // 4500 ms delay + 0.5 s
                                         BudgetCase{0.375, 0.25, 2},  // 1.5
                                         BudgetCase{0.625, 0.25, 3},  // 2.5
                                         BudgetCase{0.01, 0.02, 1},   // 0.5 rounds up to 1
                                         BudgetCase{0.0625, 0.25, 1}  // 0.25 rounds to 0, kept at 1
                                         ));

TEST(FrameQueueBudgetDrops, TheOldestFramesGoFirstAndAreCountedWithTheirBytes) {
    FrameQueue queue(0.06, 0.02); // three chunks
    for (std::uint8_t tag = 1; tag <= 5; ++tag) queue.enqueue(frame(tag, tag * 100u), never);

    EXPECT_EQ(queue.count(), 3);
    EXPECT_FALSE(queue.isOverBudget());
    EXPECT_EQ(queue.droppedFrames(), 2);
    EXPECT_EQ(queue.droppedBytes(), 100 + 200);
    EXPECT_EQ(queue.byteCount(), 300 + 400 + 500);
    EXPECT_EQ(queue.expiredFrames(), 0);
    for (std::uint8_t tag = 3; tag <= 5; ++tag) EXPECT_EQ(tagOf(queue.dequeue(0)), tag);
    EXPECT_TRUE(queue.isEmpty());
    EXPECT_EQ(queue.byteCount(), 0);
}

TEST(FrameQueueBudgetDrops, TheHundredAndFirstFrameOfATwoSecondBudgetDropsOnlyTheFirst) {
    FrameQueue queue(2.0, 0.02);
    for (int i = 0; i < 100; ++i) queue.enqueue(frame(1), never);
    EXPECT_DOUBLE_EQ(queue.occupancy(), 1.0);
    EXPECT_DOUBLE_EQ(queue.queuedSeconds(), 2.0);

    queue.enqueue(frame(2), never);
    EXPECT_EQ(queue.droppedFrames(), 1);
    EXPECT_EQ(queue.count(), 100);
    EXPECT_FALSE(queue.isOverBudget());
    EXPECT_DOUBLE_EQ(queue.occupancy(), 1.0);
}

TEST(FrameQueueBudgetDrops, ABudgetOfOneChunkKeepsOnlyTheNewestFrame) {
    FrameQueue queue(0.01, 0.02);
    for (std::uint8_t tag = 1; tag <= 4; ++tag) {
        queue.enqueue(frame(tag), never);
        EXPECT_EQ(queue.count(), 1);
    }
    EXPECT_EQ(queue.droppedFrames(), 3);
    EXPECT_EQ(tagOf(queue.dequeue(0)), 4);
}

// The queue must not keep a taken-out frame alive in its consumed slot until the next
// compaction: with many guests that would pin seconds of audio per connection.
TEST(FrameQueueBudgetDrops, DroppedAndDequeuedFramesReleaseTheirBytesAtOnce) {
    FrameQueue queue(0.04, 0.02); // two chunks
    auto first = frame(1);
    std::weak_ptr<const std::vector<std::uint8_t>> dropped = first;
    auto second = frame(2);
    std::weak_ptr<const std::vector<std::uint8_t>> dequeued = second;
    queue.enqueue(std::move(first), never);
    queue.enqueue(std::move(second), never);
    queue.enqueue(frame(3), never);
    EXPECT_TRUE(dropped.expired());

    EXPECT_EQ(tagOf(queue.dequeue(0)), 2);
    EXPECT_EQ(queue.consumedSlots(), 2); // not compacted yet: the slots are still there
    EXPECT_TRUE(dequeued.expired());
}

// --- expiry ---

struct ExpiryCase {
    const char* name;
    std::int64_t nowMinusDeadline;
    bool returned;
};

class FrameQueueExpiry : public testing::TestWithParam<ExpiryCase> {};

TEST_P(FrameQueueExpiry, AFrameIsOnTimeStrictlyBeforeItsDeadline) {
    const ExpiryCase c = GetParam();
    constexpr std::uint64_t deadline = 5'000'000'000;
    FrameQueue queue(2.0, 0.02);
    queue.enqueue(frame(7, 300), deadline);

    const auto out = queue.dequeue(deadline + c.nowMinusDeadline);
    EXPECT_EQ(out.has_value(), c.returned);
    EXPECT_EQ(queue.expiredFrames(), c.returned ? 0 : 1);
    EXPECT_EQ(queue.expiredBytes(), c.returned ? 0 : 300);
    EXPECT_TRUE(queue.isEmpty());
    EXPECT_EQ(queue.byteCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(AroundTheDeadline, FrameQueueExpiry,
                         testing::Values(ExpiryCase{"OneNanosecondEarly", -1, true},
                                         ExpiryCase{"AtTheDeadline", 0, false},
                                         ExpiryCase{"Later", 1, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FrameQueueExpiryRun, ExpiredFramesAtTheFrontAreSkippedUntilAnOnTimeOne) {
    FrameQueue queue(2.0, 0.02);
    queue.enqueue(frame(1, 100), 10);
    queue.enqueue(frame(2, 200), 20);
    queue.enqueue(frame(3, 300), 30);
    queue.enqueue(frame(4, 400), 40);
    queue.enqueue(frame(5, 500), 50);

    EXPECT_EQ(tagOf(queue.dequeue(35)), 4);
    EXPECT_EQ(queue.expiredFrames(), 3);
    EXPECT_EQ(queue.expiredBytes(), 600);
    EXPECT_EQ(queue.droppedFrames(), 0);
    EXPECT_EQ(queue.count(), 1);
    EXPECT_EQ(queue.byteCount(), 500);
}

TEST(FrameQueueExpiryRun, NothingIsReturnedWhenEveryFrameHasExpired) {
    FrameQueue queue(2.0, 0.02);
    queue.enqueue(frame(1), 10);
    queue.enqueue(frame(2), 20);

    EXPECT_FALSE(queue.dequeue(20).has_value());
    EXPECT_EQ(queue.expiredFrames(), 2);
    EXPECT_TRUE(queue.isEmpty());
    EXPECT_FALSE(queue.dequeue(0).has_value());
    EXPECT_EQ(queue.expiredFrames(), 2);
}

// --- remove all ---

TEST(FrameQueueRemoveAll, EmptiesTheQueueWithoutTouchingTheLossCounters) {
    FrameQueue queue(0.2, 0.02); // ten chunks
    for (int i = 0; i < 12; ++i) queue.enqueue(frame(1, 50), i < 11 ? 1 : never); // 2 dropped
    ASSERT_TRUE(queue.dequeue(1).has_value());                                     // 9 expired on the way
    for (std::uint8_t tag = 2; tag <= 12; ++tag) queue.enqueue(frame(tag, 50), never); // 1 more dropped
    ASSERT_EQ(queue.count(), 10);

    queue.removeAll();

    EXPECT_EQ(queue.count(), 0);
    EXPECT_EQ(queue.byteCount(), 0);
    EXPECT_EQ(queue.consumedSlots(), 0);
    EXPECT_EQ(queue.droppedFrames(), 3);
    EXPECT_EQ(queue.droppedBytes(), 150);
    EXPECT_EQ(queue.expiredFrames(), 9);
    EXPECT_EQ(queue.expiredBytes(), 450);

    queue.enqueue(frame(42), never);
    EXPECT_EQ(tagOf(queue.dequeue(0)), 42);
}

// --- compaction ---

TEST(FrameQueueCompaction, ConsumedSlotsAreReclaimedInBatchesOfMoreThanSixtyFour) {
    FrameQueue queue(2.0, 0.02);
    for (int i = 0; i < 100; ++i) queue.enqueue(frame(static_cast<std::uint8_t>(i)), never);

    for (int i = 0; i < 64; ++i) ASSERT_EQ(tagOf(queue.dequeue(0)), i);
    EXPECT_EQ(queue.consumedSlots(), 64); // each removal only stepped the index
    EXPECT_EQ(tagOf(queue.dequeue(0)), 64);
    EXPECT_EQ(queue.consumedSlots(), 0); // the 65th triggered one batch
    EXPECT_EQ(queue.count(), 35);

    for (int i = 65; i < 100; ++i) ASSERT_EQ(tagOf(queue.dequeue(0)), i);
    EXPECT_EQ(queue.consumedSlots(), 0); // fully drained
}

TEST(FrameQueueCompaction, OverBudgetDropsAreCompactedLikeDequeues) {
    FrameQueue queue(0.02, 0.02); // one chunk: every enqueue drops the previous frame
    for (int i = 0; i < 64; ++i) queue.enqueue(frame(1), never);
    EXPECT_EQ(queue.consumedSlots(), 63);
    queue.enqueue(frame(1), never);
    queue.enqueue(frame(1), never);
    EXPECT_EQ(queue.consumedSlots(), 0);
    EXPECT_EQ(queue.count(), 1);
}

// A long mix of enqueues, drops, expiries and dequeues across many compactions must
// keep strict arrival order and exact byte accounting.
TEST(FrameQueueCompaction, OrderAndBytesSurviveManyCompactions) {
    FrameQueue queue(1.0, 0.02); // fifty chunks
    std::uint32_t nextIn = 0;
    std::uint32_t nextOut = 0;
    std::int64_t bytesIn = 0;
    std::int64_t bytesOut = 0;
    auto numbered = [](std::uint32_t n) {
        std::vector<std::uint8_t> bytes(8 + n % 5);
        for (int b = 0; b < 4; ++b) bytes[static_cast<std::size_t>(b)] = static_cast<std::uint8_t>(n >> (8 * b));
        return FrameQueue::share(std::move(bytes));
    };
    auto numberOf = [](const FrameQueue::Bytes& bytes) {
        std::uint32_t n = 0;
        for (int b = 0; b < 4; ++b) n |= std::uint32_t{(*bytes)[static_cast<std::size_t>(b)]} << (8 * b);
        return n;
    };

    for (int round = 0; round < 400; ++round) {
        const int burst = round % 7 == 0 ? 60 : 3; // some bursts overflow the budget
        for (int i = 0; i < burst; ++i, ++nextIn) {
            bytesIn += 8 + nextIn % 5;
            queue.enqueue(numbered(nextIn), nextIn);
        }
        // Frame n's deadline is n: at this clock, frames up to nextOut + 2 have expired.
        const std::uint64_t now = nextOut + 2;
        for (int i = 0; i < 2; ++i) {
            const auto out = queue.dequeue(now);
            if (!out) break;
            const std::uint32_t n = numberOf(*out);
            ASSERT_GT(n, now) << "an expired frame was returned";
            ASSERT_GE(n, nextOut) << "a frame came out of order";
            nextOut = n + 1;
            bytesOut += static_cast<std::int64_t>((*out)->size());
        }
        ASSERT_LE(queue.consumedSlots(), 64);
        ASSERT_EQ(bytesIn, bytesOut + queue.byteCount() + queue.droppedBytes() + queue.expiredBytes());
    }
}

// --- static helpers ---

struct DeadlineCase {
    std::uint64_t hostTimeNanos;
    std::int64_t frameCount;
    double sampleRate;
    std::uint32_t bufferDelayMs;
    std::uint64_t deadline;
};

class FrameQueuePlayoutDeadline : public testing::TestWithParam<DeadlineCase> {};

TEST_P(FrameQueuePlayoutDeadline, IsStartPlusDelayPlusTheChunksDuration) {
    const DeadlineCase c = GetParam();
    EXPECT_EQ(FrameQueue::playoutDeadlineNanos(c.hostTimeNanos, c.frameCount, c.sampleRate, c.bufferDelayMs),
              c.deadline);
}

INSTANTIATE_TEST_SUITE_P(
    Chunks, FrameQueuePlayoutDeadline,
    testing::Values(DeadlineCase{1'000'000'000, 960, 48000, 1500, 2'520'000'000},
                    DeadlineCase{1'000'000'000, 960, 0, 1500, 2'500'000'000},      // no rate: no duration
                    DeadlineCase{1'000'000'000, 960, -48000, 1500, 2'500'000'000}, // nor a negative one
                    DeadlineCase{0, 1, 3, 0, 333'333'333},                         // truncated toward zero
                    DeadlineCase{never - 10, 960, 48000, 65535, never},            // saturates, never wraps
                    DeadlineCase{never - 10, 0, 48000, 0, never - 10}));

TEST(FrameQueueUncompressedBytes, TruncatesTheFrameCountBeforeScaling) {
    EXPECT_EQ(FrameQueue::uncompressedBytes(1.5, 48000, 2, 2), 288'000);
    EXPECT_EQ(FrameQueue::uncompressedBytes(0.02, 48000, 2, 4), 7'680);
    EXPECT_EQ(FrameQueue::uncompressedBytes(0.5 / 48000 * 3, 48000, 2, 2), 4); // 1.5 frames → 1
}

} // namespace
} // namespace zoranth
