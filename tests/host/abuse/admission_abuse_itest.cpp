// One device cannot silence the rave: a guest that plays along keeps its stream while one
// address floods the port with connections that idle, send garbage, or come and go.
// Real TCP on 127.0.0.1 against a server fed a chunk every 20 ms, as the sender feeds it, and
// against the host itself serving what this computer plays.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "host_run.h"
#include "serving_host.h"
#include "host/host_log.h"
#include "host/net/broadcast_server.h"
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
using zoranth::QualityTier;
using zoranth::RecordedLog;
using zoranth::TestGuest;
using zoranth::TierFrames;
using Clock = std::chrono::steady_clock;

constexpr Hello stereo{48000, 2, 16, 960, 1500};
constexpr auto abuseFor = 20s;

// Plays a chunk every 20 ms from a thread of its own until destroyed.
struct Playing {
    explicit Playing(BroadcastServer& server)
        : thread([this, &server] {
              auto next = Clock::now();
              while (!stop) {
                  TierFrames frames;
                  frames[QualityTier::medium] =
                      FrameQueue::share(zoranth::testAudioFrame(played, 330));
                  server.broadcast(frames, MachClock::nowNanos() + 10'000'000'000ULL, 0);
                  ++played;
                  next += 20ms;
                  std::this_thread::sleep_until(next);
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

// The good guest, read all along: when each chunk arrived.
struct Hearing {
    explicit Hearing(TestGuest& guest)
        : thread([this, &guest] {
              while (!stop) {
                  const auto message = guest.nextMessage(100ms);
                  if (message && message->is<Message::Audio>()) {
                      std::lock_guard lock(mutex);
                      heard.push_back({message->as<Message::Audio>()->header.seq, Clock::now()});
                  }
              }
          }) {}
    ~Hearing() {
        stop = true;
        thread.join();
    }
    struct Chunk {
        std::uint32_t seq;
        Clock::time_point at;
    };
    std::vector<Chunk> chunks() {
        std::lock_guard lock(mutex);
        return heard;
    }
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::vector<Chunk> heard;
    std::thread thread;
};

// Of the chunks sent from the first heard to the last, the share heard, and the longest
// wait between two arrivals.
struct Kept {
    std::size_t heard = 0;
    std::uint32_t span = 0;
    double share = 0;
    long long longestGapMs = 0;
};

Kept keptOf(const std::vector<Hearing::Chunk>& chunks) {
    Kept kept;
    if (chunks.size() < 2) {
        return kept;
    }
    kept.heard = chunks.size();
    kept.span = chunks.back().seq - chunks.front().seq + 1;
    kept.share = static_cast<double>(chunks.size()) / kept.span;
    Clock::duration longest{};
    for (std::size_t i = 1; i < chunks.size(); ++i) {
        longest = std::max(longest, chunks[i].at - chunks[i - 1].at);
    }
    kept.longestGapMs = std::chrono::duration_cast<std::chrono::milliseconds>(longest).count();
    return kept;
}

enum class Abuse { idle, garbage, churn };

struct Case {
    const char* name;
    Abuse abuse;
    int connections;
};

void PrintTo(const Case& c, std::ostream* out) {
    *out << c.name;
}

std::optional<TestGuest> open(std::uint16_t port) {
    auto connection = TestGuest::connect(port);
    if (!connection) {
        return std::nullopt;
    }
    return std::move(*connection);
}

// Runs the abuse for `abuseFor` from this thread; every loop is bounded in time and count.
void abuse(const Case& c, std::uint16_t port) {
    const auto end = Clock::now() + abuseFor;
    std::vector<std::optional<TestGuest>> slots(static_cast<std::size_t>(c.connections));
    switch (c.abuse) {
        case Abuse::idle:
            for (auto& slot : slots) {
                slot = open(port);
            }
            std::this_thread::sleep_until(end);
            return;
        case Abuse::garbage: {
            std::mt19937 random(23);
            std::vector<std::uint8_t> junk(4096);
            for (int round = 0; round < 200'000 && Clock::now() < end; ++round) {
                for (auto& slot : slots) {
                    if (!slot) {
                        slot = open(port);
                        continue;
                    }
                    for (auto& byte : junk) {
                        byte = static_cast<std::uint8_t>(random());
                    }
                    if (::send(slot->descriptor(), junk.data(), junk.size(),
                               MSG_DONTWAIT | MSG_NOSIGNAL) < 0 &&
                        errno != EAGAIN && errno != EWOULDBLOCK) {
                        slot.reset();  // closed by the host: a new one next round
                    }
                }
            }
            return;
        }
        case Abuse::churn:
            for (int round = 0; round < 100'000 && Clock::now() < end; ++round) {
                for (auto& slot : slots) {
                    slot = open(port);
                }
                for (auto& slot : slots) {
                    slot.reset();
                }
            }
            return;
    }
}

// Keeps the suite out of the user's host log.
class AdmissionAbuse : public zoranth::QuietHostLog, public ::testing::WithParamInterface<Case> {};

TEST_P(AdmissionAbuse, TheGoodGuestKeepsItsStream) {
    RecordedLog log;
    auto server = std::make_shared<BroadcastServer>(stereo, "Abused Rave", log.sink());
    ASSERT_TRUE(server->start({0, boost::asio::ip::make_address("127.0.0.1"), false}));
    auto guest = TestGuest::connect(server->port());
    ASSERT_TRUE(guest && guest->prove());
    ASSERT_TRUE(zoranth::eventually([&] { return server->guestCount() == 1; }));

    std::vector<Hearing::Chunk> chunks;
    {
        Hearing hearing(*guest);
        Playing playing(*server);
        std::this_thread::sleep_for(500ms);  // the stream flowing before the abuse
        abuse(GetParam(), server->port());
        std::this_thread::sleep_for(500ms);
        chunks = hearing.chunks();
    }
    server->stop();

    ASSERT_GE(chunks.size(), 2u);
    const Kept kept = keptOf(chunks);
    const auto refusals = server->refusals();
    std::size_t refusalLines = 0;
    for (const auto& line : log.lines(BroadcastServer::category)) {
        refusalLines += line.starts_with("refused ") ? 1 : 0;
    }
    std::printf("[ figures  ] %s: kept %zu of %u chunks (%.2f %%), longest gap %lld ms, "
                "%lld refused in %zu log line(s)\n",
                GetParam().name, kept.heard, kept.span, kept.share * 100, kept.longestGapMs,
                static_cast<long long>(refusals.total), refusalLines);
    EXPECT_GE(kept.share, 0.99);
    EXPECT_LE(kept.longestGapMs, 100);
    // One line per address and burst, never one per connection.
    const auto bursts = abuseFor / GuestAdmission::burstWindow + 2;
    EXPECT_LE(refusalLines, static_cast<std::size_t>(bursts));
    if (refusals.total > 0) {
        EXPECT_GE(refusalLines, 1u);
    }
    if (GetParam().abuse == Abuse::idle) {
        EXPECT_EQ(refusalLines, 1u) << "400 at once are one burst";
        EXPECT_GT(refusals.total, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(FromOneAddress, AdmissionAbuse,
                         ::testing::Values(Case{"idle", Abuse::idle, 400},
                                           Case{"garbage", Abuse::garbage, 200},
                                           Case{"churn", Abuse::churn, 100}),
                         [](const auto& info) { return std::string(info.param.name); });

// The same flood against the host itself, serving the tone this computer plays: the good
// guest keeps its stream, the capture ring never overflows, nothing is shed, and the
// terminal tells of the refusals once.
TEST(AdmissionAbuseOfTheHost, FourHundredIdleConnectionsLeaveTheGoodGuestAndTheRingAlone) {
    if (std::getenv("ZORANTH_TEST_SERVICES") == nullptr) {
        GTEST_SKIP() << "needs the test services: eval \"$(scripts/test-services start)\"";
    }
    zoranth::LowLatencyTone tone(440, 90);
    ASSERT_TRUE(tone.playing());
    zoranth::ScratchFolder folder;
    zoranth::ServingHost host(folder.path(), {"--serve"});
    const auto port = host.waitFor(std::regex(R"(\nlistening on port (\d+))"));
    ASSERT_TRUE(port) << host.output();
    auto guest = TestGuest::connect(static_cast<std::uint16_t>(std::stoi(*port)));
    ASSERT_TRUE(guest && guest->prove()) << host.output();

    std::vector<Hearing::Chunk> chunks;
    {
        Hearing hearing(*guest);
        host.readFor(2s);  // the stream flowing before the abuse
        std::thread flood(
            [&] { abuse(Case{"idle", Abuse::idle, 400}, static_cast<std::uint16_t>(std::stoi(*port))); });
        host.readFor(abuseFor + 1s);
        flood.join();
        host.readFor(1s);
        chunks = hearing.chunks();
    }
    ASSERT_TRUE(host.stop(SIGINT)) << host.output();
    const std::string& output = host.output();

    ASSERT_GE(chunks.size(), 2u) << output;
    const Kept kept = keptOf(chunks);
    std::printf("[ figures  ] the host, 400 idle: kept %zu of %u chunks (%.2f %%), longest gap "
                "%lld ms\n",
                kept.heard, kept.span, kept.share * 100, kept.longestGapMs);
    EXPECT_GE(kept.share, 0.99);
    EXPECT_LE(kept.longestGapMs, 100);
    EXPECT_NE(output.find("\nring overruns:     0\n"), std::string::npos) << output;
    EXPECT_NE(output.find("\nwork shed:         0 steps"), std::string::npos) << output;
    const auto count = [&output](const std::regex& pattern) {
        return std::distance(std::sregex_iterator(output.begin(), output.end(), pattern),
                             std::sregex_iterator());
    };
    // The terminal says it once; every burst goes to the journal.
    EXPECT_EQ(count(std::regex(R"(\nadmission: refusing connections from 127\.0\.0\.1: )")), 1)
        << output;
}

}  // namespace
