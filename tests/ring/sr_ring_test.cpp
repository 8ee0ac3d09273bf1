#include "ring/sr_ring.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "ring/sr_ring_testing.h"

namespace {

struct RingDeleter {
    void operator()(sr_ring* ring) const { sr_ring_destroy(ring); }
};
using Ring = std::unique_ptr<sr_ring, RingDeleter>;

Ring makeRing(uint32_t slots, uint32_t frames, uint32_t channels) {
    return Ring(sr_ring_create(slots, frames, channels));
}

// Writes one slot whose header and first sample carry `tag`; false when the ring is full.
bool writeTagged(sr_ring* ring, uint64_t tag) {
    sr_slot* slot = sr_ring_begin_write(ring);
    if (slot == nullptr) {
        return false;
    }
    slot->host_time_ns = tag;
    slot->frames = 1;
    slot->channels = 1;
    slot->flags = 0;
    sr_slot_plane(ring, slot, 0)[0] = static_cast<float>(tag % 1000);
    sr_ring_commit_write(ring);
    return true;
}

// Reads one slot and returns its tag, checking that its sample agrees with it.
uint64_t readTagged(sr_ring* ring) {
    const sr_slot* slot = sr_ring_begin_read(ring);
    EXPECT_NE(slot, nullptr);
    if (slot == nullptr) {
        return std::numeric_limits<uint64_t>::max();
    }
    const uint64_t tag = slot->host_time_ns;
    EXPECT_EQ(sr_slot_plane_const(ring, slot, 0)[0], static_cast<float>(tag % 1000));
    sr_ring_commit_read(ring);
    return tag;
}

uint32_t fillUntilFull(sr_ring* ring) {
    uint32_t filled = 0;
    while (writeTagged(ring, filled)) {
        ++filled;
    }
    return filled;
}

// --- creation -------------------------------------------------------------------------

struct CapacityCase {
    uint32_t requested;
    uint32_t fillable;
};

class RingCapacity : public testing::TestWithParam<CapacityCase> {};

TEST_P(RingCapacity, HoldsOneSlotFewerThanThePowerOfTwoAtOrAboveTheRequest) {
    const Ring ring = makeRing(GetParam().requested, 4, 1);
    ASSERT_NE(ring, nullptr);
    EXPECT_EQ(fillUntilFull(ring.get()), GetParam().fillable);
    EXPECT_EQ(sr_ring_depth(ring.get()), GetParam().fillable);
}

INSTANTIATE_TEST_SUITE_P(SlotCounts, RingCapacity,
                         testing::Values(CapacityCase{0, 1}, CapacityCase{1, 1}, CapacityCase{2, 1},
                                         CapacityCase{3, 3}, CapacityCase{100, 127},
                                         CapacityCase{128, 127}, CapacityCase{129, 255}));

struct StrideCase {
    uint32_t frames;
    uint32_t channels;
    std::ptrdiff_t stride;
};

class RingStride : public testing::TestWithParam<StrideCase> {};

TEST_P(RingStride, SlotsAreHeaderPlusPlanesRoundedUpToWholeLines) {
    const Ring ring = makeRing(4, GetParam().frames, GetParam().channels);
    ASSERT_NE(ring, nullptr);
    auto* first = reinterpret_cast<unsigned char*>(sr_ring_begin_write(ring.get()));
    sr_ring_commit_write(ring.get());
    auto* second = reinterpret_cast<unsigned char*>(sr_ring_begin_write(ring.get()));
    EXPECT_EQ(second - first, GetParam().stride);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(first) % 128, 0u);
}

INSTANTIATE_TEST_SUITE_P(Shapes, RingStride,
                         testing::Values(StrideCase{4096, 8, 131200}, StrideCase{1, 1, 128},
                                         StrideCase{26, 1, 128}, StrideCase{27, 1, 256},
                                         StrideCase{480, 2, 3840 + 128}));

struct RejectCase {
    const char* why;
    uint32_t slots;
    uint32_t frames;
    uint32_t channels;
};

class RingRejects : public testing::TestWithParam<RejectCase> {};

TEST_P(RingRejects, CreationReturnsNull) {
    const RejectCase& c = GetParam();
    EXPECT_EQ(sr_ring_create(c.slots, c.frames, c.channels), nullptr) << c.why;
}

constexpr uint32_t kMax32 = std::numeric_limits<uint32_t>::max();

INSTANTIATE_TEST_SUITE_P(
    Arguments, RingRejects,
    testing::Values(RejectCase{"no frames", 128, 0, 8}, RejectCase{"no channels", 128, 4096, 0},
                    RejectCase{"slot bytes overflow 64 bits", 2, kMax32, kMax32},
                    RejectCase{"slot count above 2^31", SR_RING_MAX_SLOTS + 1, 1, 1},
                    RejectCase{"largest slot count", kMax32, 1, 1},
                    RejectCase{"ring bytes overflow 64 bits", SR_RING_MAX_SLOTS, kMax32, 2}));

TEST(RingLifetime, DestroyingNullDoesNothing) {
    sr_ring_destroy(nullptr);
}

// --- queueing -------------------------------------------------------------------------

TEST(RingQueue, EmptyRingHasNothingToRead) {
    const Ring ring = makeRing(8, 16, 2);
    EXPECT_EQ(sr_ring_begin_read(ring.get()), nullptr);
    EXPECT_EQ(sr_ring_depth(ring.get()), 0u);
    EXPECT_EQ(sr_ring_writes(ring.get()), 0u);
}

TEST(RingQueue, FreshSlotsAreZeroFilled) {
    const Ring ring = makeRing(2, 16, 2);
    const sr_slot* slot = sr_ring_begin_write(ring.get());
    const auto* bytes = reinterpret_cast<const unsigned char*>(slot);
    EXPECT_EQ(std::vector<unsigned char>(bytes, bytes + 24 + 2 * 16 * 4),
              std::vector<unsigned char>(24 + 2 * 16 * 4, 0));
}

TEST(RingQueue, DeliversSlotsInOrderWithTheirContents) {
    const Ring ring = makeRing(8, 16, 2);
    for (uint64_t tag = 1; tag <= 5; ++tag) {
        ASSERT_TRUE(writeTagged(ring.get(), tag));
    }
    EXPECT_EQ(sr_ring_writes(ring.get()), 5u);
    for (uint64_t tag = 1; tag <= 5; ++tag) {
        EXPECT_EQ(readTagged(ring.get()), tag);
        EXPECT_EQ(sr_ring_depth(ring.get()), 5 - tag);
    }
    EXPECT_EQ(sr_ring_begin_read(ring.get()), nullptr);
}

TEST(RingQueue, FullRingRefusesWritesWithoutOverwritingAndFreesASlotPerRead) {
    const Ring ring = makeRing(128, 4, 1);
    ASSERT_EQ(fillUntilFull(ring.get()), 127u);
    EXPECT_EQ(sr_ring_begin_write(ring.get()), nullptr);
    EXPECT_EQ(sr_ring_begin_write(ring.get()), nullptr);

    EXPECT_EQ(readTagged(ring.get()), 0u);
    ASSERT_TRUE(writeTagged(ring.get(), 1000));
    EXPECT_EQ(sr_ring_begin_write(ring.get()), nullptr);

    for (uint64_t tag = 1; tag < 127; ++tag) {
        ASSERT_EQ(readTagged(ring.get()), tag);
    }
    EXPECT_EQ(readTagged(ring.get()), 1000u);
    EXPECT_EQ(sr_ring_begin_read(ring.get()), nullptr);
}

TEST(RingQueue, SlotAddressesCycleThroughTheRing) {
    const Ring ring = makeRing(4, 4, 1);
    std::vector<const void*> seen;
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 4; ++i) {
            seen.push_back(sr_ring_begin_write(ring.get()));
            sr_ring_commit_write(ring.get());
            sr_ring_commit_read(ring.get());
        }
    }
    for (size_t i = 4; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i], seen[i - 4]) << i;
        EXPECT_NE(seen[i], seen[i - 1]) << i;
    }
}

// --- planes ---------------------------------------------------------------------------

TEST(RingPlanes, PlanesFollowTheHeaderBackToBackAndEndAtTheChannelCount) {
    const uint32_t frames = 100;
    const uint32_t channels = 3;
    const Ring ring = makeRing(4, frames, channels);
    sr_slot* slot = sr_ring_begin_write(ring.get());
    auto* base = reinterpret_cast<unsigned char*>(slot);
    for (uint32_t plane = 0; plane < channels; ++plane) {
        EXPECT_EQ(reinterpret_cast<unsigned char*>(sr_slot_plane(ring.get(), slot, plane)),
                  base + 24 + plane * frames * 4)
            << plane;
    }
    EXPECT_EQ(sr_slot_plane(ring.get(), slot, channels), nullptr);
    EXPECT_EQ(sr_slot_plane(ring.get(), slot, kMax32), nullptr);
}

TEST(RingPlanes, ConsumerSeesEveryPlaneAsTheProducerWroteIt) {
    const uint32_t frames = 64;
    const uint32_t channels = 8;
    const Ring ring = makeRing(4, frames, channels);
    sr_slot* slot = sr_ring_begin_write(ring.get());
    slot->host_time_ns = 123456789012345ull;
    slot->frames = frames;
    slot->channels = channels;
    slot->flags = 0;
    for (uint32_t plane = 0; plane < channels; ++plane) {
        float* samples = sr_slot_plane(ring.get(), slot, plane);
        for (uint32_t f = 0; f < frames; ++f) {
            samples[f] = static_cast<float>(plane * 1000 + f);
        }
    }
    sr_ring_commit_write(ring.get());

    const sr_slot* read = sr_ring_begin_read(ring.get());
    ASSERT_EQ(static_cast<const void*>(read), static_cast<const void*>(slot));
    EXPECT_EQ(read->host_time_ns, 123456789012345ull);
    EXPECT_EQ(read->frames, frames);
    EXPECT_EQ(read->channels, channels);
    for (uint32_t plane = 0; plane < channels; ++plane) {
        const float* samples = sr_slot_plane_const(ring.get(), read, plane);
        ASSERT_NE(samples, nullptr);
        for (uint32_t f = 0; f < frames; ++f) {
            ASSERT_EQ(samples[f], static_cast<float>(plane * 1000 + f)) << plane << "/" << f;
        }
    }
    EXPECT_EQ(sr_slot_plane_const(ring.get(), read, channels), nullptr);
}

// --- counters -------------------------------------------------------------------------

TEST(RingCounters, CountCallsOverrunsAndTheLatestShape) {
    const Ring ring = makeRing(2, 480, 2);
    EXPECT_EQ(sr_ring_calls(ring.get()), 0u);
    EXPECT_EQ(sr_ring_overruns(ring.get()), 0u);
    EXPECT_EQ(sr_ring_last_buffers(ring.get()), 0u);

    // Three deliveries into a ring that holds one: the first is stored, the rest dropped.
    const uint32_t shapes[][3] = {{1, 3840, 2}, {2, 1920, 1}, {1, 7680, 2}};
    for (const auto& shape : shapes) {
        sr_ring_note_call(ring.get());
        sr_ring_note_shape(ring.get(), shape[0], shape[1], shape[2]);
        if (sr_ring_begin_write(ring.get()) != nullptr) {
            sr_ring_commit_write(ring.get());
        } else {
            sr_ring_note_overrun(ring.get());
        }
    }
    EXPECT_EQ(sr_ring_calls(ring.get()), 3u);
    EXPECT_EQ(sr_ring_overruns(ring.get()), 2u);
    EXPECT_EQ(sr_ring_writes(ring.get()), 1u);
    EXPECT_EQ(sr_ring_last_buffers(ring.get()), 1u);
    EXPECT_EQ(sr_ring_last_bytes(ring.get()), 7680u);
    EXPECT_EQ(sr_ring_last_channels(ring.get()), 2u);

    // Reading never resets what the producer counted.
    sr_ring_begin_read(ring.get());
    sr_ring_commit_read(ring.get());
    EXPECT_EQ(sr_ring_overruns(ring.get()), 2u);
    EXPECT_EQ(sr_ring_writes(ring.get()), 1u);
}

// --- index wrap-around ----------------------------------------------------------------

class RingWrap : public testing::TestWithParam<uint64_t> {};

TEST_P(RingWrap, DepthFullnessAndOrderHoldAcrossTheBoundary) {
    const uint64_t start = GetParam();
    const Ring ring = makeRing(8, 4, 1);
    sr_ring_testing_start_at(ring.get(), start);

    for (uint64_t i = 0; i < 7; ++i) {
        ASSERT_TRUE(writeTagged(ring.get(), i)) << i;
    }
    EXPECT_EQ(sr_ring_begin_write(ring.get()), nullptr);
    EXPECT_EQ(sr_ring_depth(ring.get()), 7u);
    for (uint64_t i = 0; i < 7; ++i) {
        ASSERT_EQ(readTagged(ring.get()), i);
    }
    for (uint64_t i = 7; i < 12; ++i) {
        ASSERT_TRUE(writeTagged(ring.get(), i)) << i;
    }
    EXPECT_EQ(sr_ring_writes(ring.get()), start + 12);
    EXPECT_EQ(sr_ring_depth(ring.get()), 5u);
    for (uint64_t i = 7; i < 12; ++i) {
        ASSERT_EQ(readTagged(ring.get()), i);
    }
    EXPECT_EQ(sr_ring_begin_read(ring.get()), nullptr);
    EXPECT_EQ(sr_ring_depth(ring.get()), 0u);
}

INSTANTIATE_TEST_SUITE_P(StartIndices, RingWrap,
                         testing::Values(uint64_t{0}, (uint64_t{1} << 32) - 3,
                                         std::numeric_limits<uint64_t>::max() - 3));

TEST(RingWrap, DepthIsTheLow32BitsOfTheIndexDifference) {
    const Ring ring = makeRing(8, 4, 1);
    sr_ring_testing_start_at(ring.get(), uint64_t{1} << 32);
    for (uint64_t i = 0; i < 5; ++i) {
        ASSERT_TRUE(writeTagged(ring.get(), i));
    }
    EXPECT_EQ(sr_ring_writes(ring.get()), (uint64_t{1} << 32) + 5);
    EXPECT_EQ(sr_ring_depth(ring.get()), 5u);
}

}  // namespace
