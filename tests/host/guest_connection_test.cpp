// One guest connection against a real guest socket on 127.0.0.1: the hello first,
// clock answers ahead of audio, guest input, slow guests, format changes, goodbyes.
#include "host/net/guest_connection.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "host/host_log.h"
#include "protocol/frame_encoder.h"
#include "protocol/mach_clock.h"
#include "support/eventually.h"
#include "support/test_guest.h"
#include "support/server_fixtures.h"

namespace {

using namespace std::chrono_literals;
using zoranth::AudioChunkHeader;
using zoranth::ClientStat;
using zoranth::FrameDecoder;
using zoranth::FrameEncoder;
using zoranth::FrameQueue;
using zoranth::GuestConnection;
using zoranth::Hello;
using zoranth::MachClock;
using zoranth::Message;
using zoranth::RecordedLog;
using zoranth::SerialQueue;
using zoranth::TestGuest;
using zoranth::TimeReq;
using zoranth::TimeResp;
using State = GuestConnection::State;

constexpr Hello stereo{48000, 2, 16, 960, 1500};  // audio budget 2.0 s = 100 frames
constexpr std::size_t bigPacket = 4000;           // fills socket buffers in few frames

std::uint64_t farDeadline() {
    return MachClock::nowNanos() + 600'000'000'000ULL;
}

FrameQueue::Bytes audioFrame(std::uint32_t seq, std::size_t packetBytes = bigPacket) {
    return FrameQueue::share(zoranth::testAudioFrame(seq, packetBytes));
}

// Reads until the audio frame `last` has arrived; everything received on the way.
std::vector<Message> readThroughAudio(TestGuest& guest, std::uint32_t last) {
    std::vector<Message> received;
    while (auto message = guest.nextMessage()) {
        received.push_back(*message);
        if (const auto* audio = message->as<Message::Audio>(); audio && audio->header.seq == last) {
            break;
        }
    }
    return received;
}

std::vector<std::uint32_t> audioSeqs(const std::vector<Message>& messages) {
    std::vector<std::uint32_t> seqs;
    for (const Message& message : messages) {
        if (const auto* audio = message.as<Message::Audio>()) {
            seqs.push_back(audio->header.seq);
        }
    }
    return seqs;
}

// States a connection reports, recorded from its queue. The handler keeps the record
// alive: a connection may report its end after the test is over.
class StateLog {
  public:
    GuestConnection::StateHandler handler() {
        return [record = record_](GuestConnection::Id, const State& state) {
            std::lock_guard guard(record->lock);
            record->states.push_back(state.kind);
            record->changed.notify_all();
        };
    }
    bool waitFor(State::Case kind, std::chrono::milliseconds timeout = TestGuest::patience) {
        std::unique_lock guard(record_->lock);
        return record_->changed.wait_for(guard, timeout, [&] {
            const auto& states = record_->states;
            return std::find(states.begin(), states.end(), kind) != states.end();
        });
    }
    std::vector<State::Case> states() {
        std::lock_guard guard(record_->lock);
        return record_->states;
    }

  private:
    struct Record {
        std::mutex lock;
        std::condition_variable changed;
        std::vector<State::Case> states;
    };
    std::shared_ptr<Record> record_ = std::make_shared<Record>();
};

// Keeps the suite out of the user's host log.
class GuestConnectionTest : public zoranth::QuietHostLog {
  protected:

    struct Guest {
        std::shared_ptr<GuestConnection> connection;
        TestGuest guest;
    };

    // A guest connected to a fresh connection, which is not started yet.
    Guest accept(TestGuest::Options options = {}) { return accept(options, log_); }
    Guest accept(TestGuest::Options options, RecordedLog& log) {
        boost::asio::ip::tcp::acceptor acceptor(SerialQueue::context(),
                                                {boost::asio::ip::make_address("127.0.0.1"), 0});
        auto guest = TestGuest::connect(acceptor.local_endpoint().port(), options);
        EXPECT_TRUE(guest.has_value()) << guest.error();
        boost::asio::ip::tcp::socket socket(SerialQueue::context());
        acceptor.accept(socket);
        auto connection =
            std::make_shared<GuestConnection>(++lastId_, std::move(socket), stereo, log.sink());
        connection->setOnStateChange(states_.handler());
        return {connection, std::move(*guest)};
    }

    Guest acceptStarted(TestGuest::Options options = {}) {
        Guest pair = accept(options);
        pair.connection->start();
        auto hello = pair.guest.nextMessage();
        EXPECT_TRUE(hello && hello->is<Hello>());
        return pair;
    }

    static GuestConnection::Snapshot snapshotOf(GuestConnection& connection) {
        std::promise<GuestConnection::Snapshot> promise;
        auto future = promise.get_future();
        connection.snapshot(
            [&promise](GuestConnection::Snapshot snapshot) { promise.set_value(snapshot); });
        return future.get();
    }

    // Feeds big audio frames to a guest that does not read until the socket is full
    // and the connection holds audio it cannot send; returns the next sequence number.
    // `now` is the wall clock the frames are enqueued at.
    static std::uint32_t fillUntilStalled(GuestConnection& connection, double now = 0) {
        std::uint32_t seq = 0;
        std::int64_t lastSent = -1;
        int unchanged = 0;
        for (int batch = 0; batch < 500; ++batch) {
            if (unchanged == 0) {
                for (int i = 0; i < 10; ++i) {
                    connection.enqueue(audioFrame(seq++), farDeadline(), now);
                }
            }
            std::this_thread::sleep_for(20ms);
            const auto snapshot = snapshotOf(connection);
            unchanged =
                snapshot.framesSent == lastSent && snapshot.queuedBytes > 0 ? unchanged + 1 : 0;
            if (unchanged == 5) {
                return seq;
            }
            lastSent = snapshot.framesSent;
        }
        ADD_FAILURE() << "the connection never stalled";
        return seq;
    }

    static TestGuest::Options smallWindow() { return {.receiveBufferBytes = 4096}; }

    // The guest reports (as a guest does every second, whatever its link); returns once
    // the connection has taken the report in. `mark` tells the reports apart.
    static void talk(Guest& pair, std::uint32_t mark) {
        ClientStat stat;
        stat.rttNanos = mark;
        ASSERT_TRUE(pair.guest.send(stat));
        ASSERT_TRUE(zoranth::eventually([&] {
            const auto snapshot = snapshotOf(*pair.connection);
            return snapshot.stats && snapshot.stats->rttNanos == mark;
        }));
    }

    RecordedLog log_;
    StateLog states_;
    GuestConnection::Id lastId_ = 0;
};

TEST_F(GuestConnectionTest, HelloIsTheFirstFrameEvenWithAudioQueuedBeforeStart) {
    Guest pair = accept();
    for (std::uint32_t seq = 0; seq < 3; ++seq) {
        pair.connection->enqueue(audioFrame(seq, 100), farDeadline(), 0);
    }
    pair.connection->start();

    auto first = pair.guest.nextMessage();
    ASSERT_TRUE(first);
    EXPECT_EQ(*first, Message(stereo));
    std::vector<std::uint32_t> seqs;
    for (int i = 0; i < 3; ++i) {
        auto audio = pair.guest.nextMessage();
        ASSERT_TRUE(audio && audio->is<Message::Audio>());
        seqs.push_back(audio->as<Message::Audio>()->header.seq);
    }
    EXPECT_EQ(seqs, (std::vector<std::uint32_t>{0, 1, 2}));
    EXPECT_TRUE(states_.waitFor(State::Case::ready));
}

TEST_F(GuestConnectionTest, AudioPastItsDeadlineIsSkippedAndCountedAsExpired) {
    Guest pair = accept();
    const std::uint64_t past = MachClock::nowNanos() - 1;
    pair.connection->enqueue(audioFrame(0, 100), past, 0);
    pair.connection->enqueue(audioFrame(1, 100), past, 0);
    pair.connection->enqueue(audioFrame(2, 100), farDeadline(), 0);
    pair.connection->start();

    EXPECT_TRUE(pair.guest.nextMessage()->is<Hello>());
    auto audio = pair.guest.nextMessage();
    ASSERT_TRUE(audio && audio->is<Message::Audio>());
    EXPECT_EQ(audio->as<Message::Audio>()->header.seq, 2u);
    const auto snapshot = snapshotOf(*pair.connection);
    EXPECT_EQ(snapshot.expiredFrames, 2);
    EXPECT_EQ(snapshot.framesSent, 1);
    EXPECT_EQ(snapshot.droppedFrames, 0);
}

TEST_F(GuestConnectionTest, TimeRequestIsAnsweredAheadOfQueuedAudio) {
    Guest pair = acceptStarted(smallWindow());
    fillUntilStalled(*pair.connection);
    const auto stalled = snapshotOf(*pair.connection);
    ASSERT_GT(stalled.queuedBytes, 0);

    // The report after the request shows when the request has been handled.
    const std::uint64_t sentAt = MachClock::nowNanos();
    ASSERT_TRUE(pair.guest.send(TimeReq{0x1122334455667788ULL}));
    ASSERT_TRUE(pair.guest.send(ClientStat{}));
    std::optional<GuestConnection::Snapshot> handled;
    for (int i = 0; i < 250 && !(handled && handled->stats); ++i) {
        std::this_thread::sleep_for(10ms);
        handled = snapshotOf(*pair.connection);
    }
    ASSERT_TRUE(handled && handled->stats);
    const std::uint64_t handledBy = MachClock::nowNanos();
    std::this_thread::sleep_for(50ms);  // reading starts well after handling

    std::int64_t audioBefore = 0;
    std::optional<TimeResp> answer;
    while (!answer) {
        auto message = pair.guest.nextMessage();
        ASSERT_TRUE(message) << "no answer after " << audioBefore << " audio frames";
        if (const auto* response = message->as<TimeResp>()) {
            answer = *response;
        } else if (message->is<Message::Audio>()) {
            ++audioBefore;
        }
    }
    // Only frames already handed to the network precede the answer; queued ones follow it.
    ASSERT_EQ(handled->framesSent, stalled.framesSent) << "the stall did not hold";
    EXPECT_EQ(audioBefore, stalled.framesSent);
    EXPECT_EQ(answer->t1, 0x1122334455667788ULL);
    EXPECT_GE(answer->t2, sentAt);
    EXPECT_LE(answer->t2, handledBy);
    auto after = pair.guest.nextMessage();
    ASSERT_TRUE(after);
    EXPECT_TRUE(after->is<Message::Audio>());
}

TEST_F(GuestConnectionTest, GuestInputIsHandledOrEndsTheConnection) {
    std::vector<std::uint8_t> badMagic = FrameEncoder::encode(TimeReq{1});
    badMagic[3] = 'X';
    std::vector<std::uint8_t> unknownType = FrameEncoder::encode(Message::Unknown{200, 3});
    struct Case {
        const char* name;
        std::vector<std::uint8_t> bytes;
        bool closes;
        std::vector<std::string> logged;  // {id} stands for the connection's id
    };
    const std::vector<Case> cases = {
        {"bad magic",
         badMagic,
         true,
         {"client {id} protocol error: " + FrameDecoder::Failure::badMagic(0x5A525458).text()}},
        {"unknown type", unknownType, false, {"client {id} sent unknown type 200"}},
        {"guest bye", FrameEncoder::encode(Message::Bye{}), true, {}},
        {"guest state", FrameEncoder::encode(zoranth::ClientState{true}), false, {}},
        {"a guest's hello", FrameEncoder::encode(stereo), false, {}},
        {"audio before the guest's hello",
         zoranth::testAudioFrame(0, 10),
         true,
         {"client {id} protocol error: audioBeforeHello"}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        Guest pair = acceptStarted();
        const std::string id = std::to_string(pair.connection->id());
        ASSERT_TRUE(pair.guest.sendRaw(test.bytes));
        if (test.closes) {
            auto rest = pair.guest.readUntilClosed();
            ASSERT_TRUE(rest) << "still open";
            EXPECT_TRUE(rest->empty()) << "no goodbye on a closed connection";
        } else {
            // Still answering: a clock probe after the input gets its answer.
            ASSERT_TRUE(pair.guest.send(TimeReq{7}));
            auto answer = pair.guest.nextMessage();
            ASSERT_TRUE(answer && answer->is<TimeResp>());
            EXPECT_EQ(answer->as<TimeResp>()->t1, 7u);
        }
        std::vector<std::string> expected;
        for (std::string line : test.logged) {
            line.replace(line.find("{id}"), 4, id);
            expected.push_back(line);
        }
        std::vector<std::string> logged;
        for (const std::string& line : log_.lines(GuestConnection::category)) {
            if (line.starts_with("client " + id + " ")) {
                logged.push_back(line);
            }
        }
        EXPECT_EQ(logged, expected);
    }
}

TEST_F(GuestConnectionTest, GuestEndingItsSideClosesWithoutALogLine) {
    Guest pair = acceptStarted();
    pair.guest.finishSending();
    EXPECT_TRUE(pair.guest.readUntilClosed());
    EXPECT_TRUE(states_.waitFor(State::Case::cancelled));
    EXPECT_TRUE(log_.lines(GuestConnection::category).empty());
}

TEST_F(GuestConnectionTest, ResetByTheGuestFailsTheConnection) {
    Guest pair = acceptStarted();
    pair.guest.abort();
    ASSERT_TRUE(states_.waitFor(State::Case::cancelled));
    const auto states = states_.states();
    EXPECT_EQ(states,
              (std::vector{State::Case::ready, State::Case::failed, State::Case::cancelled}));
    EXPECT_TRUE(log_.waitFor(GuestConnection::category, "client 1 failed: "));
}

TEST_F(GuestConnectionTest, ReportsAreKeptForSnapshots) {
    Guest pair = acceptStarted();
    std::promise<ClientStat> reported;
    pair.connection->setOnStats(
        [&reported](GuestConnection::Id, const ClientStat& stat) { reported.set_value(stat); });

    const auto fresh = snapshotOf(*pair.connection);
    EXPECT_FALSE(fresh.stats);
    EXPECT_FALSE(fresh.statsAt);
    EXPECT_EQ(fresh.endpoint, pair.guest.localEndpoint());
    EXPECT_EQ(fresh.displayName(), pair.guest.localEndpoint());

    ClientStat stat;
    stat.rttNanos = 4'000'000;
    stat.deviceName = "Kitchen";
    ASSERT_TRUE(pair.guest.send(stat));
    auto future = reported.get_future();
    ASSERT_EQ(future.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(future.get(), stat);
    const auto later = snapshotOf(*pair.connection);
    EXPECT_EQ(later.stats, stat);
    EXPECT_TRUE(later.statsAt);
    EXPECT_EQ(later.displayName(), "Kitchen");
}

TEST_F(GuestConnectionTest, GuestThatStopsReadingLosesItsOldestAudio) {
    Guest pair = acceptStarted(smallWindow());
    std::uint32_t seq = fillUntilStalled(*pair.connection);
    for (int i = 0; i < 150; ++i) {
        pair.connection->enqueue(audioFrame(seq++), farDeadline(), 0);
    }
    const auto full = snapshotOf(*pair.connection);
    EXPECT_GT(full.droppedFrames, 0);
    EXPECT_EQ(full.occupancy, 1.0);
    EXPECT_TRUE(full.isOverBudget);

    const auto seqs = audioSeqs(readThroughAudio(pair.guest, seq - 1));
    ASSERT_GE(seqs.size(), 100u);
    // The newest 100 frames all arrive, in order, after whatever left before the stall.
    for (std::size_t i = 0; i < 100; ++i) {
        EXPECT_EQ(seqs[seqs.size() - 100 + i], seq - 100 + i);
    }
    EXPECT_EQ(static_cast<std::int64_t>(seqs.size()) + full.droppedFrames, seq);
    EXPECT_EQ(snapshotOf(*pair.connection).expiredFrames, 0);
}

TEST_F(GuestConnectionTest, TheKernelHoldsLittleForAGuestThatStopsReading) {
    // An ordinary receive window: without a cap the kernel would take megabytes.
    Guest pair = acceptStarted();
    const std::uint32_t enqueued = fillUntilStalled(*pair.connection);
    const auto stalled = snapshotOf(*pair.connection);
    ASSERT_GT(stalled.queuedBytes, 0);
    EXPECT_LT(stalled.bytesSent, 1 << 20)
        << "frames taken by the kernel: " << stalled.framesSent << " of " << enqueued;
}

TEST_F(GuestConnectionTest, FormatChangeDiscardsQueuedAudioAndSendsTheNewHelloNext) {
    constexpr Hello mono{48000, 1, 16, 960, 1500};
    Guest idle = acceptStarted();
    idle.connection->sendHello(mono);
    EXPECT_EQ(idle.guest.nextMessage(), Message(mono));
    EXPECT_TRUE(log_.lines(GuestConnection::category).empty());

    Guest pair = acceptStarted(smallWindow());
    const std::uint32_t seq = fillUntilStalled(*pair.connection);
    const auto stalled = snapshotOf(*pair.connection);
    const std::int64_t queued =
        stalled.queuedBytes / static_cast<std::int64_t>(audioFrame(0)->size());
    pair.connection->sendHello(mono);
    pair.connection->enqueue(audioFrame(seq), farDeadline(), 0);
    ASSERT_TRUE(log_.waitFor(GuestConnection::category, "format change"));
    EXPECT_EQ(log_.lines(GuestConnection::category),
              std::vector<std::string>{"client 2: format change, discarded " +
                                       std::to_string(queued) + " stale frame(s)"});

    const auto received = readThroughAudio(pair.guest, seq);
    const auto change = std::find(received.begin(), received.end(), Message(mono));
    ASSERT_NE(change, received.end());
    const auto before = audioSeqs({received.begin(), change});
    const auto after = audioSeqs({change, received.end()});
    EXPECT_EQ(static_cast<std::int64_t>(before.size()), stalled.framesSent);
    EXPECT_EQ(after, std::vector<std::uint32_t>{seq});
}

// The server may pass on a format change before the connection has started: the newer
// hello replaces the one the connection was made with, so the guest never ends on a
// stale format.
TEST_F(GuestConnectionTest, FormatChangeBeforeStartReplacesTheFirstHello) {
    constexpr Hello mono{48000, 1, 16, 960, 1500};
    Guest pair = accept();
    pair.connection->enqueue(audioFrame(1, 100), farDeadline(), 0);
    pair.connection->sendHello(mono);
    pair.connection->enqueue(audioFrame(2, 100), farDeadline(), 0);
    pair.connection->start();

    EXPECT_EQ(pair.guest.nextMessage(), Message(mono));
    const auto next = readThroughAudio(pair.guest, 2);
    ASSERT_EQ(next.size(), 1u) << "a second hello came before the audio";
    EXPECT_EQ(audioSeqs(next), std::vector<std::uint32_t>{2});
}
TEST_F(GuestConnectionTest, GoodbyeSendsByeAndEnds) {
    Guest pair = acceptStarted();
    pair.connection->sayGoodbyeAndClose();
    auto received = pair.guest.readUntilClosed();
    ASSERT_TRUE(received);
    EXPECT_EQ(*received, std::vector<Message>{Message::Bye{}});
    EXPECT_TRUE(states_.waitFor(State::Case::cancelled));
}

TEST_F(GuestConnectionTest, GoodbyeOnAClosedConnectionSendsNothing) {
    Guest pair = acceptStarted();
    pair.connection->close();
    pair.connection->sayGoodbyeAndClose();
    auto received = pair.guest.readUntilClosed();
    ASSERT_TRUE(received);
    EXPECT_TRUE(received->empty());
}

TEST_F(GuestConnectionTest, GoodbyeWaitsForTheFrameInFlightWithoutSplittingIt) {
    Guest pair = acceptStarted(smallWindow());
    fillUntilStalled(*pair.connection);
    pair.connection->sayGoodbyeAndClose();
    std::this_thread::sleep_for(100ms);

    // Every frame decodes whole (the guest's decoder fails on interleaved bytes).
    auto received = pair.guest.readUntilClosed();
    ASSERT_TRUE(received);
    ASSERT_FALSE(received->empty());
    EXPECT_TRUE(received->back().is<Message::Bye>());
}

TEST_F(GuestConnectionTest, GoodbyeToAGuestThatNeverReadsGivesUpAfterTheGrace) {
    Guest pair = acceptStarted(smallWindow());
    fillUntilStalled(*pair.connection);
    const auto started = std::chrono::steady_clock::now();
    pair.connection->sayGoodbyeAndClose();
    pair.connection.reset();  // the goodbye keeps the connection alive by itself
    ASSERT_TRUE(states_.waitFor(State::Case::cancelled));
    EXPECT_GE(std::chrono::steady_clock::now() - started, GuestConnection::goodbyeGrace - 100ms);
}

TEST_F(GuestConnectionTest, GuestStalledForTenSecondsIsDropped) {
    // Silent as well as not reading: whether or not its bitrate could still come down.
    for (const bool canStepDown : {false, true}) {
        SCOPED_TRACE(canStepDown ? "its bitrate can come down" : "at its lowest bitrate");
        RecordedLog log;
        Guest pair = accept(smallWindow(), log);
        pair.connection->setCanStepDown(canStepDown);
        pair.connection->start();
        ASSERT_TRUE(pair.guest.nextMessage());  // the hello
        // Fill the budget, then keep feeding a full queue on a made-up wall clock.
        std::uint32_t seq = fillUntilStalled(*pair.connection, 1000.0);
        for (int i = 0; i < 100; ++i) {
            pair.connection->enqueue(audioFrame(seq++), farDeadline(), 1000.0);
        }
        for (const double now : {1005.0, 1010.0}) {
            pair.connection->enqueue(audioFrame(seq++), farDeadline(), now);
        }
        EXPECT_TRUE(snapshotOf(*pair.connection).isOverBudget);
        EXPECT_TRUE(log.lines(GuestConnection::category).empty());

        pair.connection->enqueue(audioFrame(seq++), farDeadline(), 1011.5);
        ASSERT_TRUE(log.waitFor(GuestConnection::category, "dropping the connection"));
        EXPECT_EQ(log.lines(GuestConnection::category),
                  std::vector<std::string>{"client " + std::to_string(pair.connection->id()) +
                                           " over budget for 11s; dropping the connection"});
    }
}

TEST_F(GuestConnectionTest,
       GuestStillTalkingBehindAStalledLinkIsWaitedForWhileItsBitrateCanComeDown) {
    Guest pair = accept(smallWindow());
    pair.connection->setCanStepDown(true);
    pair.connection->start();
    ASSERT_TRUE(pair.guest.nextMessage());
    std::uint32_t seq = fillUntilStalled(*pair.connection, 1000.0);
    for (int i = 0; i < 100; ++i) {
        pair.connection->enqueue(audioFrame(seq++), farDeadline(), 1000.0);
    }
    // It reads nothing, as behind a link that has stopped moving, but keeps reporting.
    talk(pair, 1);
    pair.connection->enqueue(audioFrame(seq++), farDeadline(), 1011.5);
    talk(pair, 2);
    pair.connection->enqueue(audioFrame(seq++), farDeadline(), 1022.0);
    EXPECT_TRUE(snapshotOf(*pair.connection).isOverBudget);
    EXPECT_EQ(states_.states(), std::vector{State::Case::ready});
    EXPECT_TRUE(log_.lines(GuestConnection::category).empty());

    // Once it falls silent, a stretch without a word ends it.
    pair.connection->enqueue(audioFrame(seq++), farDeadline(), 1032.5);
    ASSERT_TRUE(states_.waitFor(State::Case::cancelled));
    EXPECT_EQ(log_.lines(GuestConnection::category),
              std::vector<std::string>{"client 1 over budget for 32s; dropping the connection"});
}

TEST_F(GuestConnectionTest, GuestStillTalkingAtItsLowestBitrateIsDroppedTenSecondsAfterReachingIt) {
    Guest pair = accept(smallWindow());
    pair.connection->setCanStepDown(true);
    pair.connection->start();
    ASSERT_TRUE(pair.guest.nextMessage());
    std::uint32_t seq = fillUntilStalled(*pair.connection, 1000.0);
    for (int i = 0; i < 100; ++i) {
        pair.connection->enqueue(audioFrame(seq++), farDeadline(), 1000.0);
    }
    talk(pair, 1);
    pair.connection->enqueue(audioFrame(seq++), farDeadline(), 1005.0);
    snapshotOf(*pair.connection);  // that frame is in before the change below
    // Stepped down to the lowest bitrate there is: the ten seconds start again there.
    pair.connection->setCanStepDown(false);
    pair.connection->enqueue(audioFrame(seq++), farDeadline(), 1008.0);
    talk(pair, 2);
    pair.connection->enqueue(audioFrame(seq++), farDeadline(), 1017.0);
    EXPECT_TRUE(log_.lines(GuestConnection::category).empty());

    talk(pair, 3);
    pair.connection->enqueue(audioFrame(seq++), farDeadline(), 1018.5);
    ASSERT_TRUE(states_.waitFor(State::Case::cancelled));
    EXPECT_EQ(log_.lines(GuestConnection::category),
              std::vector<std::string>{"client 1 over budget for 18s; dropping the connection"});
}

TEST_F(GuestConnectionTest, GuestThatTakesFramesAgainIsNotDropped) {
    Guest pair = acceptStarted(smallWindow());
    std::uint32_t seq = fillUntilStalled(*pair.connection, 1000.0);
    for (int i = 0; i < 100; ++i) {
        pair.connection->enqueue(audioFrame(seq++), farDeadline(), 1000.0);
    }
    // The guest reads again: the queue drains and the next frame finds room.
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(pair.guest.nextMessage());
    }
    while (snapshotOf(*pair.connection).isOverBudget) {
        pair.connection->enqueue(audioFrame(seq++), farDeadline(), 1005.0);
        ASSERT_TRUE(pair.guest.nextMessage());
    }
    pair.connection->enqueue(audioFrame(seq++), farDeadline(), 1011.5);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(states_.states(), std::vector{State::Case::ready});
}

TEST_F(GuestConnectionTest, GuestFloodingClockProbesWithoutReadingIsDropped) {
    Guest pair = acceptStarted(smallWindow());
    std::vector<std::uint8_t> probes;
    for (int i = 0; i < 1000; ++i) {
        const auto frame = FrameEncoder::encode(TimeReq{static_cast<std::uint64_t>(i)});
        probes.insert(probes.end(), frame.begin(), frame.end());
    }
    // Bounded: far more answers than the socket buffers can hold.
    for (int burst = 0; burst < 1000 && pair.guest.sendRaw(probes); ++burst) {
        if (log_.waitFor(GuestConnection::category, "not reading", 0ms)) {
            break;
        }
    }
    ASSERT_TRUE(states_.waitFor(State::Case::cancelled));
    EXPECT_EQ(log_.lines(GuestConnection::category),
              std::vector<std::string>{"client 1 not reading; dropping the connection"});
}

TEST_F(GuestConnectionTest, SocketIsTunedForInteractiveAudio) {
    boost::asio::ip::tcp::acceptor acceptor(SerialQueue::context(),
                                            {boost::asio::ip::make_address("127.0.0.1"), 0});
    auto guest = TestGuest::connect(acceptor.local_endpoint().port());
    ASSERT_TRUE(guest);
    boost::asio::ip::tcp::socket socket(SerialQueue::context());
    acceptor.accept(socket);
    GuestConnection::tuneSocket(socket);

    const auto option = [&](int level, int name) {
        int value = -1;
        socklen_t length = sizeof value;
        ::getsockopt(socket.native_handle(), level, name, &value, &length);
        return value;
    };
    EXPECT_EQ(option(IPPROTO_TCP, TCP_NODELAY), 1);
    EXPECT_EQ(option(SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(option(IPPROTO_TCP, TCP_KEEPIDLE), 10);
    EXPECT_EQ(option(IPPROTO_TCP, TCP_KEEPINTVL), 5);
    EXPECT_EQ(option(IPPROTO_TCP, TCP_KEEPCNT), 3);
    EXPECT_EQ(option(IPPROTO_IP, IP_TOS), 0x88);  // DSCP AF41
}

TEST(GuestConnectionDescription, EndpointsReadAsHostColonPort) {
    using boost::asio::ip::make_address;
    using boost::asio::ip::tcp;
    EXPECT_EQ(GuestConnection::describe({make_address("192.168.1.20"), 50123}),
              "192.168.1.20:50123");
    EXPECT_EQ(GuestConnection::describe({make_address("::ffff:10.0.0.7"), 4000}), "10.0.0.7:4000");
    EXPECT_EQ(GuestConnection::describe({make_address("fe80::1"), 4000}), "fe80::1:4000");
}

}  // namespace
