#include "host/capture/tap_session.h"

#include <gtest/gtest.h>

#include <cctype>
#include <numeric>
#include <ostream>
#include <vector>

namespace zoranth {
namespace {

// The capture callback, driven directly with synthetic deliveries into a real ring.
class TapCallbackTest : public testing::Test {
  protected:
    void makeRing(std::uint32_t slots, std::uint32_t channels, std::uint32_t captured) {
        ring = *CaptureRing::create(slots, 4096, channels);
        target = {ring->pointer(), ring->maxFramesPerSlot(), ring->maxChannels(), captured};
    }

    void deliver(const std::vector<float>* samples, std::uint32_t frames, std::uint32_t channels,
                 std::uint64_t time = 7) {
        const CaptureDelivery delivery{samples ? samples->data() : nullptr, frames, channels,
                                       frames * channels * 4, time};
        TapSession::deliverToRing(&target, delivery);
    }

    std::vector<float> plane(const sr_slot* slot, std::uint32_t index) const {
        const float* data = sr_slot_plane_const(ring->pointer(), slot, index);
        return {data, data + slot->frames};
    }

    std::shared_ptr<CaptureRing> ring;
    TapSession::RingTarget target;
};

std::vector<float> counting(std::size_t count) {
    std::vector<float> values(count);
    std::iota(values.begin(), values.end(), 1.0f);
    return values;
}

TEST_F(TapCallbackTest, InterleavedStereoIsSplitIntoPlanes) {
    makeRing(8, 8, 2);
    const auto samples = counting(512 * 2);
    deliver(&samples, 512, 2, 123456789);

    const sr_slot* slot = sr_ring_begin_read(ring->pointer());
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(slot->host_time_ns, 123456789u);
    EXPECT_EQ(slot->frames, 512u);
    EXPECT_EQ(slot->channels, 2u);
    EXPECT_EQ(slot->flags, 0u);
    const auto left = plane(slot, 0);
    const auto right = plane(slot, 1);
    for (std::size_t j = 0; j < 512; ++j) {
        ASSERT_EQ(left[j], samples[2 * j]);
        ASSERT_EQ(right[j], samples[2 * j + 1]);
    }
    EXPECT_EQ(sr_ring_calls(ring->pointer()), 1u);
    EXPECT_EQ(sr_ring_last_buffers(ring->pointer()), 1u);
    EXPECT_EQ(sr_ring_last_bytes(ring->pointer()), 4096u);
    EXPECT_EQ(sr_ring_last_channels(ring->pointer()), 2u);
}

struct ChannelCase {
    const char* name;
    std::uint32_t deliveredChannels;
    std::uint32_t captured;  // C
    std::uint32_t ringChannels;
    std::vector<std::uint32_t> sourceOfPlane;  // which delivered channel each plane holds
};

void PrintTo(const ChannelCase& c, std::ostream* out) {
    *out << c.name;
}

class TapCallbackChannels : public TapCallbackTest,
                            public testing::WithParamInterface<ChannelCase> {};

TEST_P(TapCallbackChannels, PlanesTakeTheirChannelOrRepeatTheLastOne) {
    const ChannelCase& c = GetParam();
    makeRing(8, c.ringChannels, c.captured);
    const auto samples = counting(100 * c.deliveredChannels);
    deliver(&samples, 100, c.deliveredChannels);

    const sr_slot* slot = sr_ring_begin_read(ring->pointer());
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(slot->channels, c.captured);
    ASSERT_EQ(c.sourceOfPlane.size(), std::min(c.captured, c.ringChannels));
    for (std::uint32_t i = 0; i < c.sourceOfPlane.size(); ++i) {
        const auto values = plane(slot, i);
        for (std::size_t j = 0; j < 100; ++j) {
            ASSERT_EQ(values[j], samples[j * c.deliveredChannels + c.sourceOfPlane[i]])
                << "plane " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TapCallbackChannels,
    testing::Values(
        ChannelCase{"mono delivery fills both planes", 1, 2, 8, {0, 0}},
        ChannelCase{"wider delivery than the format keeps the first channels", 6, 2, 8, {0, 1}},
        ChannelCase{"narrower delivery repeats its last channel", 2, 4, 8, {0, 1, 1, 1}},
        ChannelCase{"planes the ring cannot hold are skipped", 3, 3, 2, {0, 1}}),
    [](const auto& info) {
        std::string name;
        for (const char* p = info.param.name; *p; ++p) {
            name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
        }
        return name;
    });

TEST_F(TapCallbackTest, SilentDeliveryOverwritesWhatTheSlotHeldBefore) {
    makeRing(2, 2, 2);  // one usable slot, so the next write reuses its memory
    const auto samples = counting(300 * 2);
    deliver(&samples, 300, 2);
    sr_ring_commit_read(ring->pointer());

    deliver(nullptr, 300, 2);
    const sr_slot* slot = sr_ring_begin_read(ring->pointer());
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(slot->frames, 300u);
    for (std::uint32_t i = 0; i < 2; ++i) {
        for (const float value : plane(slot, i)) {
            ASSERT_EQ(value, 0.0f);
        }
    }
}

TEST_F(TapCallbackTest, DeliveriesThatDoNotFitAreCountedAsOverruns) {
    makeRing(8, 2, 2);
    const auto big = counting(4097 * 2);
    deliver(&big, 4097, 2);
    const std::vector<float> none;
    deliver(&none, 0, 2);

    EXPECT_EQ(sr_ring_overruns(ring->pointer()), 2u);
    EXPECT_EQ(sr_ring_writes(ring->pointer()), 0u);
    EXPECT_EQ(sr_ring_calls(ring->pointer()), 2u);
}

TEST_F(TapCallbackTest, AFullRingDropsNewDeliveriesAndKeepsWhatIsQueued) {
    makeRing(4, 2, 2);  // three usable slots
    for (int i = 0; i < 5; ++i) {
        const std::vector<float> samples(20, static_cast<float>(i + 1));
        deliver(&samples, 10, 2, static_cast<std::uint64_t>(i));
    }
    EXPECT_EQ(sr_ring_writes(ring->pointer()), 3u);
    EXPECT_EQ(sr_ring_overruns(ring->pointer()), 2u);
    for (std::uint64_t i = 0; i < 3; ++i) {
        const sr_slot* slot = sr_ring_begin_read(ring->pointer());
        ASSERT_NE(slot, nullptr);
        EXPECT_EQ(slot->host_time_ns, i);
        EXPECT_EQ(plane(slot, 0)[0], static_cast<float>(i + 1));
        sr_ring_commit_read(ring->pointer());
    }
}

TEST(TapSessionIdle, ANewSessionIsIdleAndStopIsHarmless) {
    auto session = TapSession::create();
    session->stop();
    session->stop();
    EXPECT_FALSE(session->isRunning());
    EXPECT_FALSE(session->format());
    EXPECT_FALSE(session->liveFormat());
    EXPECT_FALSE(session->isTapMuted());
    EXPECT_FALSE(session->setTapMuted(true));
    EXPECT_FALSE(session->refresh());
    EXPECT_EQ(session->refreshes(), 0);
    EXPECT_EQ(session->bufferFrameSize(), 0u);
    EXPECT_EQ(session->diagnostics(), "");
}

TEST(TapSessionText, OutputDeviceAndFailuresReadAsTheUserSeesThem) {
    PulseOutputDevice headphones;
    headphones.index = 3;
    headphones.description = "External Headphones";
    headphones.rate = 48000;
    EXPECT_EQ(TapSession::describe(std::optional(headphones)), "External Headphones, 48000 Hz");
    headphones.description.clear();
    EXPECT_EQ(TapSession::describe(std::optional(headphones)), "device 3, 48000 Hz");
    EXPECT_EQ(TapSession::describe(std::optional<PulseOutputDevice>()), "device 0, 0 Hz");

    EXPECT_EQ(TapSession::describe(TapSession::Failure(HostError{HostError::Case::alreadyRunning})),
              "capture is already running");
    EXPECT_EQ(
        TapSession::describe(TapSession::Failure(SoundServerError{8, "pa_stream_connect_record"})),
        SoundServerError({8, "pa_stream_connect_record"}).description());
}

// The outage watch over a run of polls, each with the connection as polled and the time.
TEST(TapSessionOutageWatch, TellsEachLossItsMinuteAndItsEndOnce) {
    using Notice = TapSession::OutageWatch::Notice;
    using Kind = Notice::Kind;
    TapSession::Connection live;
    TapSession::Connection lost{
        true, 1, 100.0, std::nullopt, "Connection terminated", "Connection refused", 3};
    TapSession::Connection back = lost;
    back.lost = false;
    back.backAfter = 72.5;
    TapSession::Connection secondLoss{true, 2, 300.0, std::nullopt, "Entity killed", "", 1};
    TapSession::Connection cameAndWent = secondLoss;
    cameAndWent.losses = 3;
    cameAndWent.lost = false;
    cameAndWent.backAfter = 0.2;

    struct Poll {
        TapSession::Connection connection;
        double now;
        std::vector<Notice> told;
    };
    const std::vector<Poll> polls = {
        {live, 50.0, {}},
        {lost, 100.1, {{Kind::lost, 0, "Connection terminated"}}},
        {lost, 159.9, {}},
        {lost, 160.0, {{Kind::stillLost, 60.0, "Connection refused"}}},
        {lost, 170.0, {}},
        {back, 172.6, {{Kind::back, 72.5, ""}}},
        {back, 180.0, {}},
        {secondLoss, 300.5, {{Kind::lost, 0, "Entity killed"}}},
        // A loss that came and went between two polls is told whole, in order.
        {cameAndWent, 301.0, {{Kind::lost, 0, "Entity killed"}, {Kind::back, 0.2, ""}}},
        {cameAndWent, 400.0, {}},
    };
    TapSession::OutageWatch watch;
    for (const Poll& poll : polls) {
        EXPECT_EQ(watch.update(poll.connection, poll.now), poll.told) << "at " << poll.now;
    }
}

}  // namespace
}  // namespace zoranth
