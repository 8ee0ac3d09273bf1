// The rave's sink over a real broadcast server on loopback: every produced chunk reaches
// each guest in the encoding of its tier, and the built-in tracker's beats reach every guest.
#include <gtest/gtest.h>

#include <boost/asio/ip/address.hpp>

#include "../kit/beat_click_track.h"
#include "host/host_log.h"
#include "host/session/broadcast_sink.h"
#include "protocol/frame_encoder.h"
#include "protocol/mach_clock.h"
#include "support/test_guest.h"
#include "support/server_fixtures.h"

namespace zoranth {
namespace {

// Keeps the suite out of the user's host log.
class BroadcastSinkTest : public QuietHostLog {
  protected:

    void SetUp() override {
        server_ = std::make_shared<BroadcastServer>(BroadcastSink::helloFor(1, 1500), "Sink Test");
        auto started = server_->start({0, boost::asio::ip::make_address("127.0.0.1"), false});
        ASSERT_TRUE(started) << started.error().text();
        sink_ = BroadcastSink::create(server_, nullptr, HostLog::line);
    }
    void TearDown() override { server_->stop(); }

    // A connected guest past its hello, once the server counts it.
    TestGuest joinedGuest() {
        auto guest = TestGuest::connect(server_->port());
        EXPECT_TRUE(guest) << guest.error();
        EXPECT_TRUE(guest->prove());
        const auto hello = guest->nextMessage();
        EXPECT_TRUE(hello && hello->is<Hello>());
        return std::move(*guest);
    }

    void produce(const TierFrames& frames, std::span<const float> pcm,
                 std::uint64_t hostTimeNanos) {
        const ChunkAssembler::Chunk chunk{};
        sink_->pipelineDidProduce(frames, chunk, pcm, hostTimeNanos,
                                  MachClock::nowNanos() + 2'000'000'000);
    }

    std::shared_ptr<BroadcastServer> server_;
    std::shared_ptr<BroadcastSink> sink_;
};

TEST_F(BroadcastSinkTest, EachGuestGetsTheFrameOfItsTier) {
    TestGuest first = joinedGuest();
    TestGuest second = joinedGuest();
    server_->setBitrates({{2, 64000}});
    const std::vector<float> silence(960, 0.0f);
    auto frameFor = [](std::uint32_t seq) {
        return FrameQueue::share(
            FrameEncoder::encode(Message::Audio{{seq, 1000, 960, 1500}, {0xAB}}));
    };
    TierFrames frames;
    frames[QualityTier::medium] = frameFor(7);
    frames[QualityTier::minimum] = frameFor(8);
    produce(frames, silence, 1000);

    for (auto [guest, seq] : {std::pair{&first, 7u}, std::pair{&second, 8u}}) {
        const auto audio = guest->nextMessage();
        ASSERT_TRUE(audio && audio->is<Message::Audio>());
        EXPECT_EQ(audio->as<Message::Audio>()->header.seq, seq);
    }
}

TEST_F(BroadcastSinkTest, BuiltInTrackerBeatsGoToEveryGuest) {
    TestGuest guest = joinedGuest();
    const double rate = 48000;
    std::vector<float> music = BeatClickTrack::silence(rate, 12);
    BeatClickTrack::addClicks(music, rate, 0.25, 12, 120, 4);
    const std::uint64_t start = 5'000'000'000;
    for (std::size_t first = 0; first + 960 <= music.size(); first += 960) {
        const auto at = start + static_cast<std::uint64_t>(first / rate * 1e9);
        produce({}, std::span(music).subspan(first, 960), at);
    }
    ASSERT_GT(sink_->beatsSent(), 0);

    std::vector<Beat> beats;
    while (const auto message = guest.nextMessage(std::chrono::milliseconds(500))) {
        if (const Beat* beat = message->as<Beat>()) {
            beats.push_back(*beat);
        }
    }
    ASSERT_EQ(static_cast<std::int64_t>(beats.size()), sink_->beatsSent());
    for (const Beat& beat : beats) {
        EXPECT_NEAR(beat.bpmCenti, 12000, 100);
        EXPECT_GT(beat.hostTimeNanos, start);
    }
}

TEST_F(BroadcastSinkTest, WithoutABeatHelperThereIsNoCanary) {
    EXPECT_FALSE(sink_->captureCanary());
}

struct WireBeatCase {
    const char* name;
    BeatTracker::Beat beat;
    std::uint16_t bpmCenti;
    std::uint8_t confidence;
    bool isDownbeat;
};

TEST(BroadcastSink, TurnsTrackedBeatsIntoWireBeats) {
    const WireBeatCase cases[] = {
        {"rounded tempo and confidence", {1000, 1, 128.004, 0.5}, 12800, 128, true},
        {"no bar phase yet", {1000, 0, 90.0, 1.0}, 9000, 255, false},
        {"limits", {1000, 3, 900.0, 2.0}, 65535, 255, false},
        {"nothing below zero", {1000, 2, -5.0, -1.0}, 0, 0, false},
    };
    for (const auto& c : cases) {
        const Beat wire = BroadcastSink::wireBeat(c.beat);
        EXPECT_EQ(wire.bpmCenti, c.bpmCenti) << c.name;
        EXPECT_EQ(wire.confidence, c.confidence) << c.name;
        EXPECT_EQ(wire.isDownbeat, c.isDownbeat) << c.name;
        EXPECT_EQ(wire.beatInBar, c.beat.beatInBar) << c.name;
        EXPECT_EQ(wire.hostTimeNanos, 1000u) << c.name;
    }
}

TEST(BroadcastSink, ReportsATrackerWithoutATempo) {
    const BeatTracker tracker(48000);
    EXPECT_EQ(BroadcastSink::beatReport(tracker, 0),
              "beats: no tempo  confidence 0.00  bar not yet  sent 0");
}

}  // namespace
}  // namespace zoranth
