// What a guest checks in the audio it receives: gaps, order and 20 ms chunk times.
#include "guestsim/stream_checker.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using zoranth::AudioChunkHeader;
using zoranth::StreamChecker;

constexpr std::uint64_t start = 1'000'000'000ULL;

struct Chunk {
    std::uint32_t seq;
    std::int64_t timeOffsetNanos = 0;  // beyond seq * 20 ms after `start`
};

AudioChunkHeader header(const Chunk& chunk, std::uint32_t firstSeq) {
    const std::uint64_t steps = static_cast<std::uint32_t>(chunk.seq - firstSeq);
    return {chunk.seq,
            static_cast<std::uint64_t>(static_cast<std::int64_t>(start + steps * 20'000'000ULL) +
                                       chunk.timeOffsetNanos),
            960, 1500};
}

struct Case {
    const char* name;
    std::vector<Chunk> chunks;
    std::int64_t gaps, missing, outOfOrder, timeStepErrors;
};

TEST(StreamChecker, CountsWhatWentWrongInOneRun) {
    const std::vector<Case> cases{
        {"in order", {{0}, {1}, {2}, {3}}, 0, 0, 0, 0},
        {"three missing", {{0}, {1}, {5}, {6}}, 1, 3, 0, 0},
        {"two gaps", {{0}, {2}, {3}, {6}}, 2, 3, 0, 0},
        {"a repeat", {{0}, {1}, {1}, {2}}, 0, 0, 1, 0},
        {"a late chunk", {{0}, {2}, {1}, {3}}, 1, 1, 1, 0},
        {"a chunk 5 ms late", {{0}, {1, 5'000'000}, {2}}, 0, 0, 0, 2},
        {"rounding within tolerance", {{0}, {1, 90'000}, {2, 40'000}}, 0, 0, 0, 0},
        {"a gap keeps time", {{0}, {4, 20'000'000}}, 1, 3, 0, 1},
        {"wraps around", {{0xFFFF'FFFEu}, {0xFFFF'FFFFu}, {0}, {1}}, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StreamChecker checker;
        checker.connected();
        checker.hello();
        for (const Chunk& chunk : c.chunks) {
            checker.chunk(header(chunk, c.chunks.front().seq));
        }
        const auto& counts = checker.counts();
        EXPECT_EQ(counts.chunks, static_cast<std::int64_t>(c.chunks.size()));
        EXPECT_EQ(counts.gaps, c.gaps);
        EXPECT_EQ(counts.missing, c.missing);
        EXPECT_EQ(counts.outOfOrder, c.outOfOrder);
        EXPECT_EQ(counts.timeStepErrors, c.timeStepErrors);
        EXPECT_EQ(counts.firstSeq, c.chunks.front().seq);
        EXPECT_EQ(counts.lastSeq, c.chunks.back().seq);
    }
}

TEST(StreamChecker, ANewConnectionOrFormatStartsANewRun) {
    StreamChecker checker;
    checker.connected();
    checker.hello();
    checker.chunk(header({10}, 0));
    checker.chunk(header({11}, 0));
    // Back after a while: later chunks, at later times, and nothing counted against it.
    checker.connected();
    checker.hello();
    checker.chunk(header({50}, 0));
    // The host discards audio queued in the old format when the format changes.
    checker.hello();
    checker.chunk(header({60}, 0));
    checker.chunk(header({61}, 0));
    // A repeat of what the last connection received is still out of order.
    checker.chunk(header({61}, 0));

    const auto& counts = checker.counts();
    EXPECT_EQ(counts.chunks, 6);
    EXPECT_EQ(counts.gaps, 0);
    EXPECT_EQ(counts.timeStepErrors, 0);
    EXPECT_EQ(counts.formatChanges, 1);
    EXPECT_EQ(counts.outOfOrder, 1);
}

}  // namespace
