// Who gets on the stream: native guests once they prove themselves, no more guests than
// the room takes, and no more unproven connections from one address than its limit.
#include "host/net/broadcast_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "host/host_log.h"
#include "protocol/mach_clock.h"
#include "support/eventually.h"
#include "support/server_fixtures.h"
#include "support/test_guest.h"

namespace {

using namespace std::chrono_literals;
using zoranth::BroadcastServer;
using zoranth::FrameQueue;
using zoranth::GuestAdmission;
using zoranth::Hello;
using zoranth::MachClock;
using zoranth::Message;
using zoranth::eventually;
using zoranth::QualityTier;
using zoranth::RecordedLog;
using zoranth::TestGuest;
using zoranth::TierFrames;

constexpr Hello stereo{48000, 2, 16, 960, 1500};

TierFrames chunk(std::uint32_t seq) {
    TierFrames frames;
    frames[QualityTier::medium] = FrameQueue::share(zoranth::testAudioFrame(seq, 200));
    return frames;
}


std::size_t countContaining(const std::vector<std::string>& lines, std::string_view fragment) {
    std::size_t count = 0;
    for (const auto& line : lines) {
        count += line.find(fragment) != std::string::npos ? 1 : 0;
    }
    return count;
}

class GuestAdmissionTest : public zoranth::QuietHostLog {
  protected:
    void start(GuestAdmission::Limits limits) {
        server_ = std::make_shared<BroadcastServer>(stereo, "Door Rave", log_.sink());
        server_->setAdmissionLimits(limits);
        ASSERT_TRUE(server_->start({0, boost::asio::ip::make_address("127.0.0.1"), false}));
    }
    void TearDown() override {
        if (server_) {
            server_->stop();
        }
    }

    // Connections that send nothing, past the door and their hello.
    std::vector<TestGuest> silent(int count) {
        std::vector<TestGuest> connections;
        for (int i = 0; i < count; ++i) {
            auto connection = TestGuest::connect(server_->port());
            EXPECT_TRUE(connection) << connection.error();
            connections.push_back(std::move(*connection));
        }
        return connections;
    }

    RecordedLog log_;
    std::shared_ptr<BroadcastServer> server_;
};

TEST_F(GuestAdmissionTest, AGuestIsOnTheStreamOnlyOnceItAsksTheTime) {
    GuestAdmission::Limits limits;
    limits.proofLimit = 600ms;
    start(limits);
    auto quiet = TestGuest::connect(server_->port());
    ASSERT_TRUE(quiet);
    EXPECT_EQ(quiet->nextMessage(), Message(stereo));
    ASSERT_TRUE(eventually([&] { return server_->unprovenCount() == 1; }));
    EXPECT_EQ(server_->guestCount(), 0u);
    EXPECT_TRUE(server_->tiersWanted().empty()) << "nothing is encoded for it";
    server_->broadcast(chunk(1), MachClock::nowNanos() + 10'000'000'000ULL, 0);

    auto talking = TestGuest::connect(server_->port());
    ASSERT_TRUE(talking && talking->prove());
    EXPECT_EQ(talking->nextMessage(), Message(stereo));
    ASSERT_TRUE(eventually([&] { return server_->guestCount() == 1; }));
    server_->broadcast(chunk(2), MachClock::nowNanos() + 10'000'000'000ULL, 0);
    const auto audio = talking->nextMessage();
    ASSERT_TRUE(audio && audio->is<Message::Audio>());
    EXPECT_EQ(audio->as<Message::Audio>()->header.seq, 2u);

    // The silent one heard no audio, and goes once its time is up.
    const auto rest = quiet->readUntilClosed(3s);
    ASSERT_TRUE(rest) << "still open";
    EXPECT_TRUE(rest->empty());
    EXPECT_TRUE(log_.waitFor(BroadcastServer::category, "client 1 connected"));
    EXPECT_TRUE(log_.waitFor(BroadcastServer::category,
                             "closed 1 connection from 127.0.0.1: it sent nothing in 600 ms "
                             "after its hello",
                             GuestAdmission::burstWindow + 3s));
    EXPECT_TRUE(eventually([&] { return server_->unprovenCount() == 0; }));
    EXPECT_EQ(server_->guestCount(), 1u);
}

TEST_F(GuestAdmissionTest, ABurstFromOneAddressIsRefusedBeyondItsLimitInOneLine) {
    GuestAdmission::Limits limits;
    limits.maxUnprovenPerAddress = 4;
    start(limits);
    std::vector<TestGuest> burst = silent(10);
    int closed = 0;
    for (TestGuest& connection : burst) {
        const auto read = connection.next(1s);
        closed += read.kind == TestGuest::Read::Case::closed ? 1 : 0;
    }
    EXPECT_EQ(closed, 6);
    ASSERT_TRUE(log_.waitFor(BroadcastServer::category, "refused 6 connections from 127.0.0.1",
                             GuestAdmission::burstWindow + 3s));
    EXPECT_EQ(countContaining(log_.lines(BroadcastServer::category), "refused"), 1u);
    EXPECT_EQ(server_->refusals().total, 6);

    // A guest that proves itself frees its place for the next.
    burst.clear();
    ASSERT_TRUE(eventually([&] { return server_->unprovenCount() == 0; }));
    auto guest = TestGuest::connect(server_->port());
    ASSERT_TRUE(guest && guest->prove());
}

TEST_F(GuestAdmissionTest, ConnectionsClosedForSilenceAreToldInOneLinePerBurst) {
    GuestAdmission::Limits limits;
    limits.proofLimit = 300ms;
    start(limits);
    std::vector<TestGuest> burst = silent(12);
    for (TestGuest& connection : burst) {
        ASSERT_TRUE(connection.readUntilClosed(3s)) << "still open";
    }
    ASSERT_TRUE(log_.waitFor(BroadcastServer::category,
                             "closed 12 connections from 127.0.0.1: they sent nothing in 300 ms "
                             "after their hello",
                             GuestAdmission::burstWindow + 3s));
    EXPECT_EQ(countContaining(log_.lines(BroadcastServer::category), "sent nothing"), 1u);
    EXPECT_EQ(countContaining(log_.lines(zoranth::GuestConnection::category), "sent nothing"), 0u);
}

TEST_F(GuestAdmissionTest, ARoomThatIsFullTurnsTheNextGuestAway) {
    GuestAdmission::Limits limits;
    limits.maxGuests = 2;
    start(limits);
    std::vector<TestGuest> guests;
    for (int i = 0; i < 2; ++i) {
        auto guest = TestGuest::connect(server_->port());
        ASSERT_TRUE(guest && guest->prove());
        guests.push_back(std::move(*guest));
    }
    auto third = TestGuest::connect(server_->port());
    ASSERT_TRUE(third);
    EXPECT_FALSE(third->prove()) << "closed instead of answered";
    ASSERT_TRUE(log_.waitFor(BroadcastServer::category,
                             "refused 1 connection from 127.0.0.1: the rave has its 2 guests",
                             GuestAdmission::burstWindow + 3s));
    EXPECT_EQ(server_->guestCount(), 2u);
    ASSERT_TRUE(server_->refusals().latest);

    guests.pop_back();
    ASSERT_TRUE(eventually([&] { return server_->guestCount() == 1; }));
    auto next = TestGuest::connect(server_->port());
    ASSERT_TRUE(next && next->prove()) << "a place that came free is taken";
}

}  // namespace
