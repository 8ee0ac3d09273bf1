// A swarm of simulated guests against a real broadcast server on 127.0.0.1 in this
// process, fed a 20 ms audio stream for a few seconds: ten well-behaved guests and
// two each that read slowly, stall, come and go, send garbage or never speak.
#include "guestsim/guest_swarm.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <map>
#include <regex>
#include <set>
#include <thread>

#include "guestsim/guestsim_options.h"
#include "guestsim/swarm_report.h"
#include "host/host_log.h"
#include "host/net/broadcast_server.h"
#include "host/wall_clock.h"
#include "protocol/frame_encoder.h"
#include "protocol/mach_clock.h"
#include "support/eventually.h"
#include "support/test_guest.h"

namespace {

using namespace std::chrono_literals;
using zoranth::BroadcastServer;
using zoranth::eventually;
using zoranth::FrameQueue;
using zoranth::GuestConnection;
using zoranth::GuestSwarm;
using zoranth::Hello;
using zoranth::MachClock;
using zoranth::Message;
using zoranth::RecordedLog;
using zoranth::SimulatedGuest;
using zoranth::TestGuest;
using Behaviour = SimulatedGuest::Behaviour;
using Garbage = SimulatedGuest::Garbage;
using Reports = std::vector<SimulatedGuest::Report>;
using Snapshots = std::vector<GuestConnection::Snapshot>;

constexpr Hello stereo{48000, 2, 16, 960, 1500};
constexpr std::uint32_t chunkCount = 250;  // 5 s of audio
constexpr std::size_t packetBytes = 640;   // 256 kbit/s
// Loopback sockets take megabytes (a minute and more of 256 kbit/s audio) before the
// host's own queue feels a guest that stopped reading; frames this big for the stalled
// guests get there within the test's few seconds.
constexpr std::size_t stalledPacketBytes = 60000;
constexpr std::size_t stalledFrameBytes = 26 + stalledPacketBytes;
constexpr double clockSkewMs = 5;

class GuestSwarmAgainstServer : public ::testing::Test {
  protected:
    void SetUp() override {
        wroteFile_ = zoranth::HostLog::writesFile();
        zoranth::HostLog::setWritesFile(false);
        server_ = std::make_shared<BroadcastServer>(stereo, "Swarm Rave", log_.sink());
        const auto started = server_->start({0, boost::asio::ip::make_address("127.0.0.1"), false});
        ASSERT_TRUE(started) << started.error().text();
    }

    void TearDown() override {
        server_->stop();
        zoranth::HostLog::setWritesFile(wroteFile_);
    }

    std::vector<SimulatedGuest::Settings> guests() const {
        std::vector<std::string> arguments{
            "127.0.0.1:" + std::to_string(server_->port()),
            "--guests",
            "normal=10,slow=2,stalled=2,flapping=2,garbage=2,silent=2",
            "--clock-skew-ms",
            std::to_string(clockSkewMs),
            "--stall-after",
            "0.3",
            "--stall-for",
            "600"};
        auto options = zoranth::GuestsimOptions::parse(arguments);
        EXPECT_TRUE(options) << options.error().text();
        return options->guestSettings();
    }

    static FrameQueue::Bytes audioFrame(std::uint32_t seq, std::uint64_t hostTimeNanos,
                                        std::size_t bytes) {
        const std::vector<std::uint8_t> packet(bytes, static_cast<std::uint8_t>(seq));
        return FrameQueue::share(zoranth::FrameEncoder::encodeAudioFrame(
            {seq, hostTimeNanos, 960, stereo.bufferDelayMs}, packet));
    }

    // One chunk for every guest connected now, as the capture pipeline hands it over: the
    // stalled guests are on a stream of their own, of big frames.
    void broadcastChunk(std::uint32_t seq, std::uint64_t hostTimeNanos) {
        zoranth::TierFrames frames;
        frames[zoranth::QualityTier::medium] = audioFrame(seq, hostTimeNanos, packetBytes);
        frames[zoranth::QualityTier::minimum] = audioFrame(seq, hostTimeNanos, stalledPacketBytes);
        server_->broadcast(
            frames,
            FrameQueue::playoutDeadlineNanos(hostTimeNanos, 960, 48000, stereo.bufferDelayMs),
            zoranth::WallClock::now());
    }

    // A 20 ms stream, each chunk stamped with the moment it was "captured".
    void feed() {
        const auto start = std::chrono::steady_clock::now();
        const std::uint64_t startNanos = MachClock::nowNanos();
        for (std::uint32_t seq = 0; seq < chunkCount; ++seq) {
            std::this_thread::sleep_until(start + seq * 20ms);
            broadcastChunk(seq, startNanos + seq * 20'000'000ULL);
            if (seq == chunkCount / 2) {
                midStream_ = snapshots();
            }
        }
    }

    Snapshots snapshots() {
        std::promise<Snapshots> promise;
        auto future = promise.get_future();
        server_->snapshots([&promise](Snapshots list) { promise.set_value(std::move(list)); });
        return future.get();
    }

    // The ids of guests that have reported under a name of this behaviour.
    std::set<GuestConnection::Id> reported(Behaviour behaviour) {
        std::set<GuestConnection::Id> ids;
        const std::string suffix = "-" + std::string(SimulatedGuest::name(behaviour));
        for (const auto& snapshot : snapshots()) {
            if (snapshot.stats && snapshot.stats->deviceName.ends_with(suffix)) {
                ids.insert(snapshot.id);
            }
        }
        return ids;
    }

    // The server's id for each guest connection, from its "connected from" lines.
    std::map<std::string, GuestConnection::Id> idsByEndpoint() const {
        std::map<std::string, GuestConnection::Id> ids;
        const std::regex connected(R"(client (\d+) connected from (\S+))");
        for (const std::string& line : log_.lines(BroadcastServer::category)) {
            std::smatch match;
            if (std::regex_match(line, match, connected)) {
                ids[match[2]] = std::stoll(match[1]);
            }
        }
        return ids;
    }

    std::vector<std::string> connectionLines(GuestConnection::Id id) const {
        std::vector<std::string> lines;
        const std::string prefix = "client " + std::to_string(id) + " ";
        for (const std::string& line : log_.lines(GuestConnection::category)) {
            if (line.starts_with(prefix)) {
                lines.push_back(line);
            }
        }
        return lines;
    }

    static std::vector<SimulatedGuest::Report> only(const Reports& reports, Behaviour behaviour) {
        std::vector<SimulatedGuest::Report> chosen;
        for (const auto& report : reports) {
            if (report.behaviour == behaviour) {
                chosen.push_back(report);
            }
        }
        return chosen;
    }

    void checkNormalGuests(const Reports& reports) {
        const auto ids = idsByEndpoint();
        for (const auto& guest : only(reports, Behaviour::normal)) {
            SCOPED_TRACE(guest.deviceName);
            const auto& stream = guest.stream;
            EXPECT_EQ(stream.chunks, chunkCount);
            EXPECT_EQ(stream.firstSeq, 0u);
            EXPECT_EQ(stream.lastSeq, chunkCount - 1);
            EXPECT_EQ(stream.gaps, 0);
            EXPECT_EQ(stream.outOfOrder, 0);
            EXPECT_EQ(stream.timeStepErrors, 0);
            EXPECT_EQ(guest.ending, SimulatedGuest::Ending::connectedAtEnd);
            EXPECT_EQ(guest.connections, 1);
            ASSERT_TRUE(guest.clock);
            ASSERT_TRUE(guest.offsetErrorNanos);
            EXPECT_LE(std::llabs(*guest.offsetErrorNanos), 1'000'000)
                << "offset " << guest.clock->offsetNanos << " ns";
            EXPECT_GE(guest.clock->probes, 16u);
            // Nothing this guest did was worth a line in the connection log.
            ASSERT_EQ(guest.localEndpoints.size(), 1u);
            ASSERT_TRUE(ids.contains(guest.localEndpoints[0]));
            EXPECT_EQ(connectionLines(ids.at(guest.localEndpoints[0])), std::vector<std::string>{});
        }
        // The guests' clocks really were off, in both directions, and it was found.
        std::int64_t lowest = 0;
        std::int64_t highest = 0;
        for (const auto& guest : only(reports, Behaviour::normal)) {
            lowest = std::min(lowest, guest.clock->offsetNanos);
            highest = std::max(highest, guest.clock->offsetNanos);
        }
        EXPECT_LT(lowest, -1'000'000);
        EXPECT_GT(highest, 1'000'000);
    }

    // Halfway through the stream, every well-behaved guest tells the host it holds
    // nearly the whole playout delay: on loopback a chunk arrives long before it is due.
    void checkReportedBuffers() {
        int normal = 0;
        for (const auto& snapshot : midStream_) {
            if (!snapshot.stats || !snapshot.stats->deviceName.ends_with("-normal")) {
                continue;
            }
            SCOPED_TRACE(snapshot.stats->deviceName);
            ++normal;
            EXPECT_TRUE(snapshot.stats->hasMeasurement());
            EXPECT_GT(snapshot.stats->bufferDepthMs, stereo.bufferDelayMs * 2 / 3);
            EXPECT_LE(snapshot.stats->bufferDepthMs, stereo.bufferDelayMs);
        }
        EXPECT_EQ(normal, 10);
    }

    void checkGarbageGuests(const Reports& reports) {
        const auto ids = idsByEndpoint();
        const std::map<Garbage, std::string> failureOf{
            {Garbage::randomBytes, "badMagic("},
            {Garbage::badMagic, "badMagic(0x5A525458)"},
            {Garbage::badVersion, "unsupportedVersion("},
            {Garbage::wrongLength, "payloadLengthMismatch(timeReq, expected: 8, got: 7)"},
            {Garbage::invalidName, "malformedPayload(clientStat)"},
            {Garbage::hugePayload, "payloadLengthMismatch(timeReq, expected: 8, got: 65535)"},
        };
        std::set<Garbage> kindsDropped;
        for (const auto& guest : only(reports, Behaviour::garbage)) {
            SCOPED_TRACE(guest.deviceName);
            ASSERT_GE(guest.garbage.size(), 6u);
            for (std::size_t i = 0; i < guest.garbage.size(); ++i) {
                const auto& attempt = guest.garbage[i];
                SCOPED_TRACE(std::string(SimulatedGuest::name(attempt.kind)));
                // The run may end between the last garbage and the host's answer.
                if (i + 1 < guest.garbage.size()) {
                    EXPECT_TRUE(attempt.disconnected);
                }
                if (!attempt.disconnected) {
                    continue;
                }
                kindsDropped.insert(attempt.kind);
                ASSERT_TRUE(ids.contains(attempt.localEndpoint));
                const auto id = ids.at(attempt.localEndpoint);
                const auto lines = connectionLines(id);
                ASSERT_EQ(lines.size(), 1u)
                    << "one line per garbage connection; client " << id << " from "
                    << attempt.localEndpoint << " has: " << ::testing::PrintToString(lines);
                EXPECT_EQ(lines[0].find("client " + std::to_string(id) +
                                        " protocol error: " + failureOf.at(attempt.kind)),
                          0u)
                    << lines[0];
            }
            EXPECT_EQ(guest.stream.outOfOrder, 0);
        }
        EXPECT_EQ(kindsDropped.size(), SimulatedGuest::allGarbage.size());
    }

    void checkStalledGuests(const Reports& reports, const Snapshots& whileStalled) {
        std::map<std::string, GuestConnection::Snapshot> byEndpoint;
        for (const auto& snapshot : whileStalled) {
            byEndpoint[snapshot.endpoint] = snapshot;
        }
        for (const auto& guest : only(reports, Behaviour::stalled)) {
            SCOPED_TRACE(guest.deviceName);
            EXPECT_EQ(guest.stalls, 1);
            ASSERT_EQ(guest.localEndpoints.size(), 1u);
            ASSERT_TRUE(byEndpoint.contains(guest.localEndpoints[0]));
            const auto& snapshot = byEndpoint.at(guest.localEndpoints[0]);
            std::printf("%s on the server: sent %lld, queued %lld B, dropped %lld, expired %lld\n",
                        guest.deviceName.c_str(), static_cast<long long>(snapshot.framesSent),
                        static_cast<long long>(snapshot.queuedBytes),
                        static_cast<long long>(snapshot.droppedFrames),
                        static_cast<long long>(snapshot.expiredFrames));
            EXPECT_GT(snapshot.droppedFrames, 0);
            EXPECT_LE(snapshot.occupancy, 1.0);
            EXPECT_LE(snapshot.queuedBytes, 100 * static_cast<std::int64_t>(stalledFrameBytes));
            // Every chunk is accounted for: sent, queued, dropped or expired.
            const std::int64_t queued =
                snapshot.queuedBytes / static_cast<std::int64_t>(stalledFrameBytes);
            EXPECT_EQ(
                snapshot.framesSent + queued + snapshot.droppedFrames + snapshot.expiredFrames,
                chunkCount);
        }
    }

    // Guests that read everything: silent ones and those that come and go.
    void checkOtherReaders(const Reports& reports) {
        for (const Behaviour behaviour : {Behaviour::silent, Behaviour::flapping}) {
            for (const auto& guest : only(reports, behaviour)) {
                SCOPED_TRACE(guest.deviceName);
                EXPECT_GT(guest.stream.chunks, 0);
                EXPECT_EQ(guest.stream.gaps, 0);
                EXPECT_EQ(guest.stream.outOfOrder, 0);
                EXPECT_EQ(guest.stream.timeStepErrors, 0);
                EXPECT_NE(guest.ending, SimulatedGuest::Ending::protocolError) << guest.detail;
            }
        }
        for (const auto& guest : only(reports, Behaviour::flapping)) {
            EXPECT_GE(guest.connections, 3) << guest.deviceName;
        }
        for (const auto& guest : only(reports, Behaviour::silent)) {
            EXPECT_EQ(guest.stream.lastSeq, chunkCount - 1) << guest.deviceName;
            EXPECT_EQ(guest.connections, 1) << guest.deviceName;
        }
    }

    RecordedLog log_;
    std::shared_ptr<BroadcastServer> server_;
    std::set<GuestConnection::Id> stalledIds_;
    Snapshots midStream_;
    bool wroteFile_ = true;
};

TEST_F(GuestSwarmAgainstServer, WellBehavedGuestsKeepTheirStreamWhileOthersMisbehave) {
    GuestSwarm swarm(guests());
    std::thread playing([&] { swarm.run(60s); });
    // Every normal guest has joined and measured its clock before the stream starts, and
    // the stalled ones have said who they are before they stopped.
    std::size_t normalReported = 0;
    const bool joined = eventually([&] {
        stalledIds_ = reported(Behaviour::stalled);
        normalReported = reported(Behaviour::normal).size();
        return normalReported == 10 && stalledIds_.size() == 2;
    });
    if (joined) {
        BroadcastServer::Bitrates stalled;
        for (const GuestConnection::Id id : stalledIds_) {
            stalled[id] = 64000;
        }
        server_->setBitrates(stalled);
        feed();
        // Until the normal guests have been handed their last chunk.
        eventually([&] {
            int done = 0;
            for (const auto& snapshot : snapshots()) {
                done += snapshot.stats && snapshot.stats->deviceName.ends_with("-normal") &&
                                snapshot.framesSent == chunkCount && snapshot.queuedBytes == 0
                            ? 1
                            : 0;
            }
            return done == 10;
        });
        std::this_thread::sleep_for(200ms);
    }
    const Snapshots whileStalled = snapshots();
    swarm.stop();
    playing.join();
    ASSERT_TRUE(joined) << "reported before the stream: " << normalReported
                        << " of 10 normal guests, " << stalledIds_.size() << " of 2 stalled ones";

    const Reports reports = swarm.reports();
    std::printf("%s\n%s", zoranth::SwarmReport::guestTable(reports).c_str(),
                zoranth::SwarmReport::behaviourSummary(reports).c_str());
    const auto verdict = zoranth::SwarmReport::verdict(reports, true);
    EXPECT_TRUE(verdict.passed()) << verdict.faults.front();
    checkNormalGuests(reports);
    checkReportedBuffers();
    checkGarbageGuests(reports);
    checkStalledGuests(reports, whileStalled);
    checkOtherReaders(reports);

    // Every guest is gone from the server, and the server still lets guests in.
    ASSERT_TRUE(eventually([&] { return server_->guestCount() == 0; }));
    auto late = TestGuest::connect(server_->port());
    ASSERT_TRUE(late) << late.error();
    ASSERT_TRUE(late->prove());
    EXPECT_EQ(late->nextMessage(), Message(stereo));
    ASSERT_TRUE(eventually([&] { return server_->guestCount() == 1; }));
    broadcastChunk(chunkCount, MachClock::nowNanos());
    const auto chunk = late->nextMessage();
    ASSERT_TRUE(chunk && chunk->is<Message::Audio>());
    EXPECT_EQ(chunk->as<Message::Audio>()->header.seq, chunkCount);
}

}  // namespace
