// A guest's buffer depth: how far ahead of its playout time the newest chunk is.
#include "guestsim/buffer_depth.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace {

using zoranth::AudioChunkHeader;
using zoranth::BufferDepth;

constexpr std::uint64_t ms = 1'000'000ULL;
constexpr std::uint64_t start = 50'000 * ms;

AudioChunkHeader chunk(std::uint32_t seq, std::uint16_t delayMs) {
    return {seq, start + seq * 20 * ms, 960, delayMs};
}

struct Case {
    const char* name;
    std::vector<AudioChunkHeader> chunks;
    std::uint64_t hostNow;
    std::optional<std::uint16_t> depthMs;
};

TEST(BufferDepth, NewestChunksPlayoutTimeLessTheHostClock) {
    const std::vector<Case> cases{
        {"nothing received", {}, start, std::nullopt},
        // Loopback: the chunk arrives one chunk and a few ms after its first frame.
        {"just arrived", {chunk(0, 1500)}, start + 27 * ms, 1473},
        {"whole milliseconds, rounded down", {chunk(0, 1500)}, start + 27 * ms + 900'000, 1472},
        {"the newest of several",
         {chunk(0, 400), chunk(1, 400), chunk(2, 400)},
         start + 60 * ms,
         380},
        {"due now", {chunk(0, 300)}, start + 300 * ms, 0},
        {"already past its playout time", {chunk(0, 300)}, start + 900 * ms, 0},
        {"a host clock behind the chunk's time", {chunk(0, 200)}, start - 30 * ms, 230},
        {"the longest delay the wire carries", {chunk(0, 65535)}, start - 10'000 * ms, 65535},
        {"a shorter delay from the host", {chunk(0, 1500), chunk(1, 300)}, start + 20 * ms, 300},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        BufferDepth depth;
        for (const auto& header : c.chunks) {
            depth.chunk(header);
        }
        EXPECT_EQ(depth.millisAt(c.hostNow), c.depthMs);
    }
}

TEST(BufferDepth, ANewConnectionStartsEmpty) {
    BufferDepth depth;
    depth.chunk(chunk(0, 1500));
    depth.clear();
    EXPECT_EQ(depth.millisAt(start), std::nullopt);
    depth.chunk(chunk(1, 300));
    EXPECT_EQ(depth.millisAt(start + 20 * ms), 300);
}

}  // namespace
