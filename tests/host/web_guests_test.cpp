// Browser guests on the server's one port, over real loopback TCP: the page and the
// WebSocket guest beside native guests, the first bytes of either kind kept, goodbyes,
// and bad browsers dropped with one log line while a playing guest loses nothing.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/host_log.h"
#include "host/net/broadcast_server.h"
#include "protocol/frame_encoder.h"
#include "protocol/mach_clock.h"
#include "support/eventually.h"
#include "support/server_fixtures.h"
#include "support/test_guest.h"
#include "support/web_test_guest.h"

namespace {

using namespace std::chrono_literals;
using zoranth::audioSeq;
using zoranth::BroadcastServer;
using zoranth::farDeadline;
using zoranth::ClientStat;
using zoranth::eventually;
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
using zoranth::TimeReq;
using zoranth::TimeResp;
using zoranth::WebTestGuest;
using Snapshots = std::vector<GuestConnection::Snapshot>;

constexpr Hello stereo{48000, 2, 16, 960, 1500};

TierFrames chunk(std::uint32_t seq) {
    TierFrames frames;
    frames[QualityTier::medium] = FrameQueue::share(zoranth::testAudioFrame(seq, 330));
    return frames;
}

class WebGuests : public zoranth::QuietHostLog {
  protected:
    void SetUp() override {
        server_ = std::make_shared<BroadcastServer>(stereo, "Loft Rave", log_.sink());
        auto started = server_->start({0, boost::asio::ip::make_address("127.0.0.1"), false});
        ASSERT_TRUE(started) << started.error().text();
    }
    void TearDown() override { server_->stop(); }

    WebTestGuest joinFromTheBrowser() {
        const std::size_t before = server_->guestCount();
        auto guest = WebTestGuest::connect(server_->port());
        EXPECT_TRUE(guest) << guest.error();
        EXPECT_EQ(guest->nextMessage(), Message(stereo));
        EXPECT_TRUE(eventually([&] { return server_->guestCount() == before + 1; }));
        return std::move(*guest);
    }

    TestGuest joinNatively() {
        const std::size_t before = server_->guestCount();
        auto guest = TestGuest::connect(server_->port());
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

    // Plays chunks every 20 ms from a thread of its own, as the sender does, until
    // stopped; the count played so far is `played`.
    struct Playing {
        explicit Playing(BroadcastServer& server)
            : thread([this, &server] {
                  while (!stop) {
                      server.broadcast(chunk(played), farDeadline(), 0);
                      ++played;
                      std::this_thread::sleep_for(20ms);
                  }
              }) {}
        ~Playing() {
            stop = true;
            thread.join();
        }
        std::atomic<bool> stop{false};
        std::atomic<std::uint32_t> played{0};
        std::thread thread;
    };

    // A guest read all along on a thread of its own, as a phone reads: every chunk it
    // heard, to show that none went missing.
    struct Hearing {
        explicit Hearing(TestGuest& guest)
            : thread([this, &guest] {
                  while (!stop) {
                      if (const auto seq = audioSeq(guest.nextMessage(200ms))) {
                          std::lock_guard lock(mutex);
                          heard.push_back(*seq);
                      }
                  }
              }) {}
        ~Hearing() {
            stop = true;
            thread.join();
        }
        // Waits until chunk `last` came, then whether everything from the first one heard
        // up to it came.
        bool everyChunkUpTo(std::uint32_t last) {
            eventually([&] {
                std::lock_guard lock(mutex);
                return !heard.empty() && heard.back() >= last;
            });
            std::lock_guard lock(mutex);
            for (std::size_t i = 1; i < heard.size(); ++i) {
                if (heard[i] != heard[i - 1] + 1) {
                    ADD_FAILURE() << "chunk " << heard[i - 1] + 1 << " missing, next heard "
                                  << heard[i];
                    return false;
                }
            }
            // The player may have played one more after `last` was read.
            EXPECT_FALSE(heard.empty());
            EXPECT_GE(heard.empty() ? 0 : heard.back(), last) << "the last chunk played";
            return !heard.empty() && heard.back() >= last;
        }
        std::atomic<bool> stop{false};
        std::mutex mutex;
        std::vector<std::uint32_t> heard;
        std::thread thread;
    };

    RecordedLog log_;
    std::shared_ptr<BroadcastServer> server_;
};

TEST_F(WebGuests, ThePageIsServedOnTheGuestsPort) {
    const auto page = WebTestGuest::fetch(server_->port(), "/");
    ASSERT_TRUE(page) << page.error();
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->body.find("id=\"listen\""), std::string::npos);
    const auto rave = WebTestGuest::fetch(server_->port(), "/rave.json");
    ASSERT_TRUE(rave) << rave.error();
    EXPECT_NE(rave->body.find("Loft Rave"), std::string::npos) << rave->body;
    const auto missing = WebTestGuest::fetch(server_->port(), "/../../etc/passwd");
    ASSERT_TRUE(missing) << missing.error();
    EXPECT_NE(missing->status, 200);
    EXPECT_EQ(server_->guestCount(), 0u) << "fetching the page made nobody a guest";
}

TEST_F(WebGuests, ABrowserGuestIsAFullGuestBesideANativeOne) {
    WebTestGuest browser = joinFromTheBrowser();
    TestGuest native = joinNatively();

    ASSERT_TRUE(browser.send(TimeReq{4242}));
    const auto answer = browser.nextMessage();
    ASSERT_TRUE(answer && answer->as<TimeResp>()) << "no clock answer";
    EXPECT_EQ(answer->as<TimeResp>()->t1, 4242u);

    ClientStat stat;
    stat.syncErrorMicros = -350;
    stat.bufferDepthMs = 1200;
    stat.deviceName = "Chromium";
    ASSERT_TRUE(browser.send(stat));
    ASSERT_TRUE(eventually([&] {
        const auto list = snapshots();
        return list.size() == 2 && list[0].stats && list[0].stats->deviceName == "Chromium";
    }));
    EXPECT_EQ(snapshots()[0].displayName(), "Chromium");
    EXPECT_EQ(snapshots()[0].stats->syncErrorMicros, -350);

    // The very frame a native guest reads off its stream, as one message.
    const auto frames = chunk(7);
    server_->broadcast(frames, farDeadline(), 0);
    const auto heard = browser.next();
    ASSERT_EQ(heard.kind, WebTestGuest::Read::Case::message);
    EXPECT_EQ(heard.bytes, *frames[QualityTier::medium]);
    EXPECT_EQ(audioSeq(native.nextMessage()), 7u);
    EXPECT_TRUE(log_.waitFor(BroadcastServer::category, "client 1 connected from 127.0.0.1:"));
    EXPECT_TRUE(log_.waitFor(BroadcastServer::category, "over a websocket"));
}

TEST_F(WebGuests, ANativeGuestThatSpeaksFirstLosesNoByte) {
    auto guest = TestGuest::connect(server_->port());
    ASSERT_TRUE(guest) << guest.error();
    // Split where the door stops looking, so that both its bytes and later ones count.
    const auto probe = FrameEncoder::encode(TimeReq{99});
    ASSERT_TRUE(guest->sendRaw(std::span(probe).first(3)));
    std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(guest->sendRaw(std::span(probe).subspan(3)));
    EXPECT_EQ(guest->nextMessage(), Message(stereo));
    const auto answer = guest->nextMessage();
    ASSERT_TRUE(answer && answer->as<TimeResp>());
    EXPECT_EQ(answer->as<TimeResp>()->t1, 99u);
}

TEST_F(WebGuests, StopSaysGoodbyeToBrowserGuests) {
    WebTestGuest browser = joinFromTheBrowser();
    server_->stop();
    const auto rest = browser.readUntilClosed();
    ASSERT_TRUE(rest) << "the host never closed";
    ASSERT_FALSE(rest->empty());
    EXPECT_EQ(rest->back(), Message(Message::Bye{}));
}

TEST_F(WebGuests, ALeavingBrowserGuestLeavesTheList) {
    {
        WebTestGuest browser = joinFromTheBrowser();
    }
    EXPECT_TRUE(eventually([&] { return server_->guestCount() == 0; }));
}

struct BadBrowser {
    std::string name;
    std::function<void(WebTestGuest&)> misbehave;
    std::string logged;  // what the one line about it says
};

class BadBrowserGuests : public WebGuests, public ::testing::WithParamInterface<BadBrowser> {};

TEST_P(BadBrowserGuests, AreDroppedWithOneLineWhileAPlayingGuestLosesNothing) {
    TestGuest native = joinNatively();
    WebTestGuest bad = joinFromTheBrowser();
    Hearing hearing(native);
    std::uint32_t lastPlayed = 0;
    {
        Playing playing(*server_);
        GetParam().misbehave(bad);
        // A browser that breaks the WebSocket framing is answered with a close frame and
        // given until its idle limit to close; the line comes when the host lets it go.
        ASSERT_TRUE(log_.waitFor(GuestConnection::category, GetParam().logged, 15s))
            << "nothing logged about it; lines: " << ::testing::PrintToString(log_.lines(GuestConnection::category));
        EXPECT_TRUE(eventually([&] { return server_->guestCount() == 1; }));
        std::this_thread::sleep_for(200ms);
        lastPlayed = playing.played - 1;
    }
    EXPECT_TRUE(hearing.everyChunkUpTo(lastPlayed));
    std::size_t aboutIt = 0;
    for (const std::string& line : log_.lines(GuestConnection::category)) {
        aboutIt += line.starts_with("client 2 ") ? 1 : 0;
    }
    EXPECT_EQ(aboutIt, 1u) << ::testing::PrintToString(log_.lines(GuestConnection::category));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadBrowserGuests,
    ::testing::Values(
        BadBrowser{"TenMegabyteMessage",
                   [](WebTestGuest& guest) {
                       guest.sendMessage(std::vector<std::uint8_t>(10 * 1024 * 1024, 0x5A));
                   },
                   "client 2 sent a message beyond"},
        BadBrowser{"TextMessage",
                   [](WebTestGuest& guest) {
                       const std::string text = "hello";
                       guest.sendMessage(
                           std::span(reinterpret_cast<const std::uint8_t*>(text.data()),
                                     text.size()),
                           true);
                   },
                   "client 2 failed: text message"},
        BadBrowser{"GarbageFrames",
                   [](WebTestGuest& guest) {
                       guest.sendRaw(std::vector<std::uint8_t>(64, 0xFF));
                   },
                   "client 2 failed:"},
        BadBrowser{"TwoFramesInOneMessage",
                   [](WebTestGuest& guest) {
                       auto two = FrameEncoder::encode(TimeReq{1});
                       const auto second = FrameEncoder::encode(TimeReq{2});
                       two.insert(two.end(), second.begin(), second.end());
                       guest.sendMessage(two);
                   },
                   "not exactly one frame"}),
    [](const auto& info) { return info.param.name; });

TEST_F(WebGuests, IdleRequestsAreTimedOutWithALineEachWhileAPlayingGuestLosesNothing) {
    zoranth::WebEntry::Limits limits;
    limits.exchangeTime = 1s;
    server_->setWebLimits(limits);
    TestGuest native = joinNatively();
    constexpr int idle = 200;
    Hearing hearing(native);
    std::uint32_t lastPlayed = 0;
    {
        Playing playing(*server_);
        std::vector<TestGuest> clients;
        const std::string start = "GET / HTTP/1.1\r\n";
        for (int i = 0; i < idle; ++i) {
            auto client = TestGuest::connect(server_->port());
            ASSERT_TRUE(client) << client.error();
            client->sendRaw(std::span(reinterpret_cast<const std::uint8_t*>(start.data()),
                                      start.size()));
            clients.push_back(std::move(*client));
        }
        ASSERT_TRUE(eventually(
            [&] { return log_.lines(zoranth::WebEntry::category).size() >= idle; }, 15s))
            << log_.lines(zoranth::WebEntry::category).size() << " of " << idle << " logged";
        for (const std::string& line : log_.lines(zoranth::WebEntry::category)) {
            EXPECT_NE(line.find("timed out before sending a whole request"), std::string::npos)
                << line;
        }
        for (TestGuest& client : clients) {
            EXPECT_TRUE(client.readUntilClosed()) << "left open";
        }
        lastPlayed = playing.played - 1;
    }
    EXPECT_EQ(server_->guestCount(), 1u);
    EXPECT_TRUE(hearing.everyChunkUpTo(lastPlayed));
}

}  // namespace
