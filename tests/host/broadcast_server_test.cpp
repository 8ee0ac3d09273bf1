// The broadcast server on 127.0.0.1 with real guest sockets: ids, bitrates, fan-out of
// audio and control frames, format changes, snapshots, misbehaving and slow guests, stop.
#include "host/net/broadcast_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "host/host_log.h"
#include "protocol/frame_encoder.h"
#include "protocol/mach_clock.h"
#include "support/eventually.h"
#include "support/pulse_test_server.h"
#include "support/server_fixtures.h"
#include "support/test_guest.h"

namespace {

using namespace std::chrono_literals;
using zoranth::audioSeq;
using zoranth::Beat;
using zoranth::eventually;
using zoranth::farDeadline;
using zoranth::QuietHostLog;
using zoranth::BroadcastServer;
using zoranth::FrameEncoder;
using zoranth::FrameQueue;
using zoranth::GuestConnection;
using zoranth::Hello;
using zoranth::MachClock;
using zoranth::Message;
using zoranth::QualityTier;
using zoranth::RecordedLog;
using zoranth::TestGuest;
using zoranth::TierFrames;
using zoranth::TierSet;
using Snapshots = std::vector<GuestConnection::Snapshot>;

constexpr Hello stereo{48000, 2, 16, 960, 1500};

FrameQueue::Bytes audioFrame(std::uint32_t seq, std::size_t packetBytes = 330) {
    return FrameQueue::share(zoranth::testAudioFrame(seq, packetBytes));
}

// One chunk with frames for the given tiers only.
TierFrames onTiers(std::initializer_list<std::pair<QualityTier, FrameQueue::Bytes>> frames) {
    TierFrames chunk;
    for (const auto& [tier, frame] : frames) {
        chunk[tier] = frame;
    }
    return chunk;
}

// A chunk for guests at the default bitrate.
TierFrames forEveryone(FrameQueue::Bytes frame) {
    return onTiers({{QualityTier::medium, std::move(frame)}});
}

class BroadcastServerTest : public QuietHostLog {
  protected:
    void SetUp() override {
        server_ = std::make_shared<BroadcastServer>(stereo, "Test Rave", log_.sink());
        auto started = server_->start(loopback());
        ASSERT_TRUE(started) << started.error().text();
    }

    void TearDown() override { server_->stop(); }

    static BroadcastServer::Listening loopback(std::uint16_t port = 0) {
        return {port, boost::asio::ip::make_address("127.0.0.1"), false};
    }

    // A guest that has joined, proved itself and read its hello.
    TestGuest join(TestGuest::Options options = {}) {
        const std::size_t before = server_->guestCount();
        auto guest = TestGuest::connect(server_->port(), options);
        EXPECT_TRUE(guest) << guest.error();
        EXPECT_TRUE(guest->prove());
        EXPECT_EQ(guest->nextMessage(), Message(stereo));
        EXPECT_TRUE(eventually([&] { return server_->guestCount() == before + 1; }));
        return std::move(*guest);
    }

    Snapshots snapshots() {
        std::promise<Snapshots> promise;
        auto future = promise.get_future();
        server_->snapshots([&promise](Snapshots list) { promise.set_value(std::move(list)); });
        return future.get();
    }

    static std::vector<GuestConnection::Id> idsOf(const Snapshots& list) {
        std::vector<GuestConnection::Id> ids;
        for (const auto& snapshot : list) {
            ids.push_back(snapshot.id);
        }
        return ids;
    }

    RecordedLog log_;
    std::shared_ptr<BroadcastServer> server_;
};

TEST_F(BroadcastServerTest, IdsCountUpAndAreNeverReused) {
    TestGuest first = join();
    TestGuest second = join();
    TestGuest third = join();
    EXPECT_EQ(idsOf(snapshots()), (std::vector<GuestConnection::Id>{1, 2, 3}));

    ASSERT_TRUE(second.send(Message::Bye{}));
    ASSERT_TRUE(eventually([&] { return server_->guestCount() == 2; }));
    TestGuest fourth = join();
    EXPECT_EQ(idsOf(snapshots()), (std::vector<GuestConnection::Id>{1, 3, 4}));
    EXPECT_EQ(server_->nextGuestId(), 5);
    EXPECT_TRUE(log_.waitFor(BroadcastServer::category, "client 2 disconnected"));
    EXPECT_TRUE(log_.waitFor(BroadcastServer::category,
                             "client 4 connected from " + fourth.localEndpoint()));
}

TEST_F(BroadcastServerTest, NewGuestsStartAtTheDefaultBitrate) {
    TestGuest first = join();
    EXPECT_EQ(server_->guestBitrates(), (BroadcastServer::Bitrates{{1, 128000}}));
    server_->setDefaultBitrate(96000);
    TestGuest second = join();
    EXPECT_EQ(server_->guestBitrates(), (BroadcastServer::Bitrates{{1, 128000}, {2, 96000}}));

    server_->setBitrates({{1, 64000}, {9, 192000}});
    EXPECT_EQ(server_->guestBitrates(), (BroadcastServer::Bitrates{{1, 64000}, {2, 96000}}));
    ASSERT_TRUE(first.send(Message::Bye{}));
    ASSERT_TRUE(eventually([&] { return server_->guestCount() == 1; }));
    server_->setBitrates({{1, 256000}});
    EXPECT_EQ(server_->guestBitrates(), (BroadcastServer::Bitrates{{2, 96000}}));
}

TEST_F(BroadcastServerTest, EachGuestGetsTheFrameOfItsTierAndEveryoneTheControlFrames) {
    TestGuest one = join();
    TestGuest two = join();
    TestGuest three = join();
    server_->setBitrates({{1, 256000}, {3, 64000}});
    server_->broadcast(onTiers({{QualityTier::full, audioFrame(10)},
                                {QualityTier::medium, audioFrame(20)},
                                {QualityTier::minimum, audioFrame(30)}}),
                       farDeadline(), 0);
    const Beat beat{123456789, true, 1, 12000, 200};
    server_->sendControl(FrameQueue::share(FrameEncoder::encode(beat)));

    // The beat may overtake audio still queued behind the hello, so order is not checked.
    const auto firstTwo = [](TestGuest& guest) {
        std::vector<Message> messages;
        for (int i = 0; i < 2; ++i) {
            if (auto message = guest.nextMessage(i == 0 ? TestGuest::patience : 200ms)) {
                messages.push_back(*message);
            }
        }
        return messages;
    };
    const auto contains = [](const std::vector<Message>& messages, const Message& wanted) {
        return std::find(messages.begin(), messages.end(), wanted) != messages.end();
    };
    const auto first = firstTwo(one);
    ASSERT_EQ(first.size(), 2u);
    EXPECT_TRUE(contains(first, Message(beat)));
    EXPECT_EQ(audioSeq(first[0] == Message(beat) ? first[1] : first[0]), 10u);
    const auto second = firstTwo(two);
    ASSERT_EQ(second.size(), 2u);
    EXPECT_TRUE(contains(second, Message(beat)));
    EXPECT_EQ(audioSeq(second[0] == Message(beat) ? second[1] : second[0]), 20u);
    const auto third = firstTwo(three);
    ASSERT_EQ(third.size(), 2u);
    EXPECT_TRUE(contains(third, Message(beat)));
    EXPECT_EQ(audioSeq(third[0] == Message(beat) ? third[1] : third[0]), 30u);
}

TEST_F(BroadcastServerTest, TheTiersWantedAreTheGuestsAndTheirMovesAreLogged) {
    EXPECT_EQ(server_->tiersWanted(), TierSet{});
    TestGuest one = join();
    TestGuest two = join();
    EXPECT_EQ(server_->tiersWanted(), TierSet{QualityTier::medium});
    server_->setBitrates({{1, 256000}, {2, 100000}});  // 100 kbps is on the 96 kbps stream
    EXPECT_EQ(server_->tiersWanted(), (TierSet{QualityTier::full, QualityTier::low}));
    server_->setBitrates({{2, 96000}});  // the same stream: nothing moves
    ASSERT_TRUE(one.send(Message::Bye{}));
    ASSERT_TRUE(eventually([&] { return server_->tiersWanted() == TierSet{QualityTier::low}; }));
    EXPECT_EQ(log_.lines(BroadcastServer::category),
              (std::vector<std::string>{
                  "listening on port " + std::to_string(server_->port()),
                  "client 1 connected from " + one.localEndpoint(), "guest 1 stream + 128 kbps",
                  "client 2 connected from " + two.localEndpoint(), "guest 2 stream + 128 kbps",
                  "guest 1 stream 128 -> 256 kbps", "guest 2 stream 128 -> 96 kbps",
                  "client 1 disconnected"}));
}

// A stream that has no frame this chunk (it is starting, or its encode failed) leaves its
// guests on the stream they were on, or, for a guest that was on none, the nearest one.
TEST_F(BroadcastServerTest, AGuestWhoseStreamHasNoFrameKeepsItsOwnOrTakesTheNearest) {
    TestGuest moving = join();
    server_->broadcast(forEveryone(audioFrame(1)), farDeadline(), 0);
    EXPECT_EQ(audioSeq(moving.nextMessage()), 1u);
    server_->setBitrates({{1, 256000}});
    server_->broadcast(
        onTiers({{QualityTier::medium, audioFrame(2)}, {QualityTier::low, audioFrame(102)}}),
        farDeadline(), 0);
    EXPECT_EQ(audioSeq(moving.nextMessage()), 2u);
    server_->broadcast(
        onTiers({{QualityTier::full, audioFrame(3)}, {QualityTier::medium, audioFrame(103)}}),
        farDeadline(), 0);
    EXPECT_EQ(audioSeq(moving.nextMessage()), 3u);

    TestGuest fresh = join();  // at 128 kbps, never sent a frame: lower quality first
    server_->broadcast(
        onTiers({{QualityTier::full, audioFrame(4)}, {QualityTier::minimum, audioFrame(204)}}),
        farDeadline(), 0);
    EXPECT_EQ(audioSeq(moving.nextMessage()), 4u);
    EXPECT_EQ(audioSeq(fresh.nextMessage()), 204u);
}

TEST_F(BroadcastServerTest, FormatChangeReachesCurrentAndLaterGuests) {
    constexpr Hello mono{48000, 1, 16, 960, 2000};
    TestGuest early = join();
    server_->updateFormat(mono);
    EXPECT_EQ(early.nextMessage(), Message(mono));

    auto late = TestGuest::connect(server_->port());
    ASSERT_TRUE(late);
    EXPECT_EQ(late->nextMessage(), Message(mono));
}

// A diagnostic sink that runs an action once, the first time it is copied after being
// armed. The server gives each new guest's connection a copy of its sink while it admits
// the guest, so the action lands inside that admission: after the guest has arrived and
// before it has been sent anything.
class CopyTriggeredSink {
  public:
    struct Trigger {
        void arm(std::function<void()> action) {
            std::lock_guard guard(lock);
            armed = std::move(action);
        }
        std::function<void()> take() {
            std::lock_guard guard(lock);
            return std::exchange(armed, nullptr);
        }
        std::mutex lock;
        std::function<void()> armed;
    };

    CopyTriggeredSink(zoranth::DiagnosticSink inner, std::shared_ptr<Trigger> trigger)
        : inner_(std::move(inner)), trigger_(std::move(trigger)) {}
    CopyTriggeredSink(const CopyTriggeredSink& other)
        : inner_(other.inner_), trigger_(other.trigger_) {
        if (auto action = trigger_->take()) {
            action();
        }
    }
    CopyTriggeredSink(CopyTriggeredSink&&) = default;
    void operator()(std::string_view category, std::string_view text) const {
        inner_(category, text);
    }

  private:
    zoranth::DiagnosticSink inner_;
    std::shared_ptr<Trigger> trigger_;
};

TEST_F(BroadcastServerTest, FormatChangeDuringAGuestsAdmissionReachesIt) {
    static constexpr Hello mono{48000, 1, 16, 960, 2000};
    auto trigger = std::make_shared<CopyTriggeredSink::Trigger>();
    auto server = std::make_shared<BroadcastServer>(stereo, "Admission Rave",
                                                    CopyTriggeredSink(log_.sink(), trigger));
    ASSERT_TRUE(server->start(loopback()));
    trigger->arm([&server] { server->updateFormat(mono); });

    auto guest = TestGuest::connect(server->port());
    ASSERT_TRUE(guest);
    ASSERT_TRUE(guest->prove());
    auto first = guest->nextMessage();
    ASSERT_TRUE(first && first->is<Hello>());
    if (*first != Message(mono)) {
        EXPECT_EQ(guest->nextMessage(), Message(mono));
    }
    ASSERT_TRUE(eventually([&] { return server->guestCount() == 1; }));
    server->broadcast(forEveryone(audioFrame(5)), farDeadline(), 0);
    EXPECT_EQ(audioSeq(guest->nextMessage()), 5u);
    server->stop();
}

TEST_F(BroadcastServerTest, SnapshotsCompleteOnceSortedById) {
    bool answered = false;
    const auto caller = std::this_thread::get_id();
    server_->snapshots(
        [&](Snapshots list) { answered = list.empty() && std::this_thread::get_id() == caller; });
    EXPECT_TRUE(answered) << "an empty room answers at once, on the caller's thread";

    TestGuest first = join();
    TestGuest second = join();
    TestGuest third = join();
    std::atomic<int> calls{0};
    std::promise<Snapshots> promise;
    server_->snapshots([&](Snapshots list) {
        if (calls.fetch_add(1) == 0) {
            promise.set_value(std::move(list));
        }
    });
    const Snapshots list = promise.get_future().get();
    EXPECT_EQ(idsOf(list), (std::vector<GuestConnection::Id>{1, 2, 3}));
    EXPECT_EQ(list[1].endpoint, second.localEndpoint());
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(calls, 1);
}

TEST_F(BroadcastServerTest, StopSaysGoodbyeToEveryGuest) {
    std::vector<TestGuest> guests;
    for (int i = 0; i < 3; ++i) {
        guests.push_back(join());
    }
    server_->stop();
    EXPECT_EQ(server_->guestCount(), 0u);
    EXPECT_TRUE(server_->guestBitrates().empty());
    for (TestGuest& guest : guests) {
        EXPECT_EQ(guest.readUntilClosed(), std::vector<Message>{Message::Bye{}});
    }
    // Nobody is let in any more.
    auto late = TestGuest::connect(server_->port());
    if (late) {
        EXPECT_EQ(late->next().kind, TestGuest::Read::Case::closed);
    }
}

TEST_F(BroadcastServerTest, BadFrameFromOneGuestLeavesTheOthersAlone) {
    TestGuest broken = join();
    TestGuest fine = join();
    std::vector<std::uint8_t> frame = FrameEncoder::encode(Message::Bye{});
    frame[0] = 'X';
    ASSERT_TRUE(broken.sendRaw(frame));
    EXPECT_EQ(broken.readUntilClosed(), std::vector<Message>{});
    ASSERT_TRUE(eventually([&] { return server_->guestCount() == 1; }));
    EXPECT_EQ(log_.lines(GuestConnection::category),
              std::vector<std::string>{"client 1 protocol error: badMagic(0x58525448)"});

    server_->broadcast(forEveryone(audioFrame(2)), farDeadline(), 0);
    EXPECT_EQ(audioSeq(fine.nextMessage()), 2u);
    EXPECT_EQ(server_->guestBitrates(), (BroadcastServer::Bitrates{{2, 128000}}));
}

TEST_F(BroadcastServerTest, SlowGuestLosesItsOldestAudioWhileOthersKeepUp) {
    TestGuest slow = join({.receiveBufferBytes = 4096});
    TestGuest reader = join();
    constexpr std::uint32_t frames = 3000;  // 12 MB of 4 KB frames: far beyond any socket buffer
    std::atomic<std::uint32_t> readerGot{0};
    std::atomic<bool> readerInOrder{true};
    std::thread reading([&] {
        for (std::uint32_t expected = 0; expected < frames; ++expected) {
            const auto seq = audioSeq(reader.nextMessage());
            if (seq != expected) {
                readerInOrder = false;
                return;
            }
            readerGot = expected + 1;
        }
    });
    for (std::uint32_t seq = 0; seq < frames && readerInOrder; ++seq) {
        // Paced by the reading guest only, so it never runs over its own budget.
        eventually([&] { return seq - readerGot < 50 || !readerInOrder; });
        server_->broadcast(forEveryone(audioFrame(seq, 4000)), farDeadline(), 0);
    }
    reading.join();
    EXPECT_TRUE(readerInOrder);
    EXPECT_EQ(readerGot, frames);

    const Snapshots list = snapshots();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_GT(list[0].droppedFrames, 0);
    EXPECT_EQ(list[1].droppedFrames, 0);
    EXPECT_EQ(list[1].expiredFrames, 0);
    EXPECT_EQ(list[1].framesSent, frames);
}

TEST_F(BroadcastServerTest, AGuestStuckBehindItsLinkIsWaitedForOnlyAboveTheSteeringFloor) {
    TestGuest above = join({.receiveBufferBytes = 4096});
    TestGuest atFloor = join({.receiveBufferBytes = 4096});
    server_->setSteeringFloor(64000);
    server_->setBitrates({{1, 128000}, {2, 64000}});
    // Neither reads, both keep reporting; their queues stay full on a made-up wall clock.
    std::uint32_t seq = 0;
    const auto feed = [&](double now, int frames) {
        for (int i = 0; i < frames; ++i, ++seq) {
            const auto frame = audioFrame(seq, 4000);
            server_->broadcast(
                onTiers({{QualityTier::medium, frame}, {QualityTier::minimum, frame}}),
                farDeadline(), now);
        }
    };
    feed(1000, 300);  // far beyond the socket buffers and the 100-frame budget
    // Once the sockets have taken all they will, the queues are topped up to stay full.
    ASSERT_TRUE(zoranth::eventually(
        [&, last = std::int64_t{-1}]() mutable {
            const Snapshots list = snapshots();
            const std::int64_t sent = list.at(0).framesSent + list.at(1).framesSent;
            return std::exchange(last, sent) == sent;
        },
        5s, [] { std::this_thread::sleep_for(50ms); }));
    feed(1000, 10);
    zoranth::ClientStat stat;
    stat.deviceName = "still here";
    ASSERT_TRUE(above.send(stat));
    ASSERT_TRUE(atFloor.send(stat));
    ASSERT_TRUE(eventually([&] {
        const Snapshots list = snapshots();
        return list.size() == 2 && list[0].stats && list[1].stats;
    }));

    feed(1011.5, 1);
    EXPECT_TRUE(log_.waitFor(GuestConnection::category,
                             "client 2 over budget for 11s; dropping the connection"));
    ASSERT_TRUE(eventually([&] { return server_->guestCount() == 1; }));
    EXPECT_EQ(idsOf(snapshots()), std::vector<GuestConnection::Id>{1});
}

// A native guest is ready before it proves itself; it joins the stream once, ready.
TEST_F(BroadcastServerTest, GuestsChangedOnJoinAndLeave) {
    std::atomic<int> changes{0};
    server_->setOnGuestsChanged([&] { ++changes; });
    TestGuest guest = join();
    ASSERT_TRUE(eventually([&] { return changes == 1; }));
    guest.abort();
    ASSERT_TRUE(eventually([&] { return changes == 2; }));  // failed, then cancelled: one leave
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(changes, 2);
    server_->setOnGuestsChanged({});
}

TEST_F(BroadcastServerTest, HostLogFollowsGuestsComingAndGoing) {
    ::testing::internal::CaptureStdout();
    TestGuest guest = join();
    zoranth::ClientStat stat;
    stat.deviceName = "Kitchen";
    ASSERT_TRUE(guest.send(stat));
    ASSERT_TRUE(eventually([&] { return snapshots().at(0).stats.has_value(); }));
    ASSERT_TRUE(guest.send(Message::Bye{}));
    ASSERT_TRUE(eventually([&] { return server_->guestCount() == 0; }));
    std::this_thread::sleep_for(20ms);
    const std::string printed = ::testing::internal::GetCapturedStdout();
    const std::string port = std::to_string(server_->port());
    EXPECT_NE(printed.find("guest 1 joined from " + guest.localEndpoint() + "\n"),
              std::string::npos)
        << printed;
    EXPECT_NE(printed.find("guest 1 via lo (loopback), host address 127.0.0.1:" + port + "\n"),
              std::string::npos)
        << printed;
    EXPECT_NE(printed.find("guest 1 left (Kitchen)\n"), std::string::npos) << printed;
}

TEST_F(BroadcastServerTest, AudioSentIsReportedPerGuest) {
    std::promise<std::pair<GuestConnection::Id, std::size_t>> sent;
    server_->setOnAudioSent([&sent](GuestConnection::Id id, const FrameQueue::Bytes& frame) {
        sent.set_value({id, frame->size()});
    });
    TestGuest guest = join();
    const auto frame = audioFrame(5);
    server_->broadcast(forEveryone(frame), farDeadline(), 0);
    auto future = sent.get_future();
    ASSERT_EQ(future.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(future.get(), std::make_pair(GuestConnection::Id{1}, frame->size()));
}

using BroadcastServerListening = QuietHostLog;

TEST_F(BroadcastServerListening, PortIsChosenOrTakenAsAsked) {
    const auto loopback = [](std::uint16_t port) {
        return BroadcastServer::Listening{port, boost::asio::ip::make_address("127.0.0.1"), false};
    };
    auto chosen = std::make_shared<BroadcastServer>(stereo, "Rave");
    EXPECT_EQ(chosen->port(), 0);
    ASSERT_TRUE(chosen->start(loopback(0)));
    const std::uint16_t port = chosen->port();
    EXPECT_NE(port, 0);
    EXPECT_EQ(chosen->start(loopback(0)).error().kind,
              BroadcastServer::StartFailure::Case::alreadyStarted);

    auto clash = std::make_shared<BroadcastServer>(stereo, "Rave");
    const auto refused = clash->start(loopback(port));
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().kind, BroadcastServer::StartFailure::Case::listenFailed);
    EXPECT_EQ(refused.error().port, port);
    EXPECT_EQ(clash->port(), 0);

    chosen->stop();
    auto asked = std::make_shared<BroadcastServer>(stereo, "Rave");
    ASSERT_TRUE(asked->start(loopback(port)));
    EXPECT_EQ(asked->port(), port);
    EXPECT_TRUE(TestGuest::connect(port));
    asked->stop();
}

TEST_F(BroadcastServerListening, WithoutTheDaemonNoNameIsAdvertised) {
    const zoranth::ScopedEnvironment noBus("DBUS_SYSTEM_BUS_ADDRESS",
                                           "unix:path=/nonexistent/zoranth-no-bus");
    RecordedLog log;
    auto server = std::make_shared<BroadcastServer>(stereo, "Rave", log.sink());
    ASSERT_TRUE(server->start({0, boost::asio::ip::make_address("127.0.0.1"), true}));
    EXPECT_TRUE(log.waitFor(BroadcastServer::category, "service registration failed"));
    EXPECT_FALSE(server->advertisedName());
    EXPECT_TRUE(TestGuest::connect(server->port())) << "guests with the address still get in";
    server->stop();
}

TEST(BroadcastServerName, BlankNamesFallBackToTheComputer) {
    struct Case {
        const char* name;
        std::optional<std::string> computer;
        const char* advertised;
    };
    const Case cases[] = {
        {"Friday Rave", "den", "Friday Rave"},
        {" \t Friday Rave\t ", "den", "Friday Rave"},
        {"", "den", "den"},
        {" \t ", "den", "den"},
        {"\nRave\n", "den", "\nRave\n"},  // line breaks are not blanks here
        {"", std::nullopt, "Zoranth"},
        {"  ", "", "Zoranth"},
    };
    for (const Case& test : cases) {
        EXPECT_EQ(BroadcastServer::serviceNameFor(test.name, test.computer), test.advertised)
            << '"' << test.name << '"';
    }
}

}  // namespace
