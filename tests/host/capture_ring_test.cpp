#include "host/capture/capture_ring.h"

#include <gtest/gtest.h>

#include <limits>
#include <memory>

namespace {

using zoranth::CaptureRing;
using zoranth::HostError;

TEST(CaptureRing, StandardRingHas127SlotsOfTheRequestedShape) {
    auto made = CaptureRing::createStandard();
    ASSERT_TRUE(made.has_value());
    const std::shared_ptr<CaptureRing> ring = *made;
    EXPECT_EQ(ring->maxFramesPerSlot(), 4096u);
    EXPECT_EQ(ring->maxChannels(), 8u);
    ASSERT_NE(ring->pointer(), nullptr);

    sr_slot* slot = sr_ring_begin_write(ring->pointer());
    ASSERT_NE(slot, nullptr);
    EXPECT_NE(sr_slot_plane(ring->pointer(), slot, 7), nullptr);
    EXPECT_EQ(sr_slot_plane(ring->pointer(), slot, 8), nullptr);
    int stored = 0;
    for (; sr_ring_begin_write(ring->pointer()) != nullptr; ++stored) {
        sr_ring_commit_write(ring->pointer());
    }
    EXPECT_EQ(stored, 127);
}

TEST(CaptureRing, SharersKeepTheRingAliveAfterTheCreatorLetsGo) {
    std::shared_ptr<CaptureRing> pipelineSide;
    {
        auto made = CaptureRing::create(4, 16, 2);
        ASSERT_TRUE(made.has_value());
        pipelineSide = *made;
        sr_slot* slot = sr_ring_begin_write(pipelineSide->pointer());
        slot->host_time_ns = 42;
        sr_ring_commit_write(pipelineSide->pointer());
    }
    const sr_slot* slot = sr_ring_begin_read(pipelineSide->pointer());
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(slot->host_time_ns, 42u);
}

struct RefusedShape {
    std::uint32_t slots;
    std::uint32_t frames;
    std::uint32_t channels;
};

class CaptureRingRefusal : public testing::TestWithParam<RefusedShape> {};

TEST_P(CaptureRingRefusal, FailsWithTheAllocationError) {
    const auto made = CaptureRing::create(GetParam().slots, GetParam().frames, GetParam().channels);
    ASSERT_FALSE(made.has_value());
    EXPECT_EQ(made.error(), HostError{HostError::Case::ringAllocationFailed});
    EXPECT_EQ(made.error().description(), "could not allocate the capture ring buffer");
}

constexpr auto kMax32 = std::numeric_limits<std::uint32_t>::max();

INSTANTIATE_TEST_SUITE_P(Shapes, CaptureRingRefusal,
                         testing::Values(RefusedShape{128, 0, 8}, RefusedShape{128, 4096, 0},
                                         RefusedShape{2, kMax32, kMax32},
                                         RefusedShape{kMax32, 1, 1}));

}  // namespace
