// Real raves run by the session on a plain main queue: capture from the test sound
// server's null sink, a server on loopback and a loopback guest. The session's clock,
// log, output device and sleep lock are the test's own; everything else is real.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <iostream>

#include "host/net/steady_port.h"
#include "host/session/main_queue.h"
#include "host/session/rave_session.h"
#include "support/listening_guest.h"
#include "support/own_sound_server.h"
#include "support/pulse_test_server.h"
#include "support/session_fakes.h"
#include "support/test_guest.h"

namespace zoranth {
namespace {

using namespace std::chrono_literals;
using State = RaveSession::State;

class RaveSessionRun : public ::testing::Test {
  protected:
    void SetUp() override {
        ZORANTH_SKIP_WITHOUT_PULSE();
        listenAddress_.emplace(BroadcastServer::listenAddressVariable, "127.0.0.1");
        session_ = RaveSession::create({}, dependencies());
    }

    void TearDown() override {
        session_.reset();
        main_.runFor(10ms);
    }

    RaveSession::Dependencies dependencies() {
        RaveSession::Dependencies dependencies;
        dependencies.post = main_.poster();
        dependencies.changed = [changes = changes_] { ++*changes; };
        dependencies.now = clock_.function();
        dependencies.log = log_.sink();
        dependencies.inhibit = countedInhibit(inhibitions_);
        dependencies.outputDevice = output_.device();
        dependencies.firewallFinding = firewallOff;
        return dependencies;
    }

    bool until(const std::function<bool()>& done, std::chrono::milliseconds timeout = 10s) {
        return main_.runUntil(done, timeout);
    }

    bool becomesLive() {
        return until([&] { return session_->state().kind != State::Case::starting; }, 20s) &&
               session_->state() == State::broadcasting();
    }

    // Refreshes until the condition holds, as the front ends' timers would.
    bool refreshedUntil(const std::function<bool()>& done) {
        return until([&] {
            session_->tick(clock_.now());
            main_.runFor(20ms);
            return done();
        });
    }

    MainQueue main_;
    RecordedLines log_;
    FakeOutputDevice output_;
    ManualClock clock_;
    std::shared_ptr<std::atomic<int>> inhibitions_ = std::make_shared<std::atomic<int>>(0);
    std::shared_ptr<std::atomic<int>> changes_ = std::make_shared<std::atomic<int>>(0);
    std::optional<ScopedEnvironment> listenAddress_;
    std::shared_ptr<RaveSession> session_;
};

TEST_F(RaveSessionRun, ARaveGoesLiveServesAGuestAndEndsWithTheLastChunkBeforeTheGoodbye) {
    PulseTonePlayer tone(pulseTestSink, 440, 60);
    ASSERT_TRUE(tone.waitUntilPlaying());
    session_->setQuality(QualityTier::high, clock_.now());

    session_->start();
    EXPECT_EQ(session_->state(), State::starting());
    ASSERT_TRUE(becomesLive()) << session_->state().message;
    EXPECT_GE(*changes_, 1) << "going live is announced";
    EXPECT_TRUE(session_->isKeepingAwake());
    EXPECT_EQ(*inhibitions_, 1);
    EXPECT_TRUE(session_->tapFormatDescription().starts_with("48000 Hz, 2 ch"));
    EXPECT_GT(session_->ioBufferFrames(), 0u);
    EXPECT_TRUE(log_.contains("tap format: 48000 Hz, 2 ch"));
    EXPECT_TRUE(log_.contains("output device: "));
    EXPECT_EQ(session_->liveSince(), 1000);

    ASSERT_TRUE(refreshedUntil([&] { return session_->listenPort() != 0; }));
    auto guest = TestGuest::connect(session_->listenPort());
    ASSERT_TRUE(guest) << guest.error();
    ASSERT_TRUE(guest->prove());
    ASSERT_TRUE(refreshedUntil([&] {
        return session_->guests().size() == 1 &&
               session_->guestTiers().contains(session_->guests().front().id);
    }));
    const GuestConnection::Id id = session_->guests().front().id;
    EXPECT_EQ(session_->guestTiers().at(id), QualityTier::high);
    ASSERT_TRUE(until([&] { return session_->server()->guestBitrates()[id] == 192000; }));
    ASSERT_TRUE(guest->hearsAudio());
    ASSERT_TRUE(until([&] {
        const auto levels = session_->levels();
        return levels && levels->peak.front() > 0.1f;
    })) << "the levels follow the tone";

    // A new buffer reaches the running guests; a new name waits for the next rave.
    const std::string advertised = session_->server()->serviceName();
    session_->setRaveName("Renamed Mid-Rave");
    EXPECT_EQ(session_->server()->serviceName(), advertised);
    session_->setBufferDelayMs(3000);
    EXPECT_EQ(session_->pipeline()->bufferDelayMs(), 3000);

    const auto pipeline = session_->pipeline();
    const auto final = session_->stop();
    ASSERT_TRUE(final);
    EXPECT_EQ(final->chunksProduced, pipeline->stats().chunksProduced);
    // Nothing captured stayed behind: the last partial chunk went out padded.
    EXPECT_EQ(pipeline->assembler().stagedFrames(), 0);
    EXPECT_EQ(pipeline->assembler().pendingChunkCount(), 0);
    EXPECT_GE(pipeline->assembler().framesEmitted(), pipeline->framesDrained());

    const auto heard = guest->readUntilClosed(10s);
    ASSERT_TRUE(heard);
    ASSERT_FALSE(heard->empty());
    EXPECT_TRUE(std::holds_alternative<Message::Bye>(heard->back().payload));
    std::optional<std::uint32_t> lastAudio;
    bool newHello = false;
    for (const Message& message : *heard) {
        if (const auto* audio = std::get_if<Message::Audio>(&message.payload)) {
            lastAudio = audio->header.seq;
        } else if (const auto* hello = std::get_if<Hello>(&message.payload)) {
            newHello = newHello || hello->bufferDelayMs == 3000;
        }
    }
    EXPECT_TRUE(newHello);
    ASSERT_TRUE(lastAudio);
    EXPECT_EQ(*lastAudio + 1, static_cast<std::uint32_t>(final->chunksProduced))
        << "the flushed chunk was the last before the goodbye";

    EXPECT_EQ(session_->state(), State::idle());
    EXPECT_EQ(session_->session(), nullptr);
    EXPECT_EQ(session_->pipeline(), nullptr);
    EXPECT_EQ(session_->server(), nullptr);
    EXPECT_EQ(session_->levels(), std::nullopt);
    EXPECT_TRUE(session_->guests().empty());
    EXPECT_EQ(session_->health(), NetworkHealth::Verdict::initial());
    EXPECT_EQ(session_->tier(), QualityTier::high) << "the tier outlives the rave";
    EXPECT_FALSE(session_->isKeepingAwake());
    EXPECT_EQ(session_->liveSince(), std::nullopt);
    EXPECT_TRUE(until([] { return !hostCaptureOpen(); }));

    // A snapshot collection still on its way brings back nothing of the ended rave.
    main_.runFor(500ms);
    EXPECT_TRUE(session_->guests().empty());
}

TEST_F(RaveSessionRun, ACaptureThatCannotStartEndsInFailedWithTheCapturesOwnText) {
    const ScopedEnvironment noServer("PULSE_SERVER", "unix:/nonexistent/zoranth-no-server");
    auto ring = CaptureRing::createStandard();
    ASSERT_TRUE(ring);
    const auto refused = TapSession::create()->start(*ring);
    ASSERT_FALSE(refused);

    session_->start();
    ASSERT_TRUE(until([&] { return session_->state().kind == State::Case::failed; }));
    EXPECT_EQ(session_->state().message, TapSession::describe(refused.error()));
    EXPECT_TRUE(log_.contains("FAILED to start capture: " + TapSession::describe(refused.error())));
    EXPECT_EQ(session_->session(), nullptr);
}

TEST_F(RaveSessionRun, AServerThatCannotListenLeavesNoCaptureAndMayBeStartedAgain) {
    {
        const ScopedEnvironment badAddress(BroadcastServer::listenAddressVariable,
                                           "not-an-address");
        const auto refusal = BroadcastServer::listeningFor(0);
        ASSERT_FALSE(refusal);

        session_->start();
        ASSERT_TRUE(until([&] { return session_->state().kind == State::Case::failed; }));
        EXPECT_EQ(session_->state().message, refusal.error());
        EXPECT_TRUE(log_.contains("FAILED to listen: " + refusal.error()));
    }
    EXPECT_EQ(session_->session(), nullptr);
    EXPECT_EQ(session_->server(), nullptr);
    EXPECT_FALSE(session_->isKeepingAwake());
    EXPECT_EQ(*inhibitions_, 0);
    EXPECT_EQ(session_->liveSince(), std::nullopt);
    EXPECT_TRUE(until([] { return !hostCaptureOpen(); })) << "the capture was closed";

    session_->start();
    ASSERT_TRUE(becomesLive()) << session_->state().message;
    EXPECT_EQ(session_->state().message, "");
    session_->stop();
}

TEST_F(RaveSessionRun, StartingAgainWhileStartingOrLiveChangesNothing) {
    session_->start();
    session_->start();
    ASSERT_TRUE(becomesLive());
    const auto server = session_->server();
    session_->start();
    main_.runFor(300ms);
    EXPECT_EQ(session_->state(), State::broadcasting());
    EXPECT_EQ(session_->server(), server);
    EXPECT_EQ(log_.count("tap format: "), 1);
    session_->stop();
}

TEST_F(RaveSessionRun, ARaveStoppedWhileItsCaptureComesUpNeverGoesLive) {
    session_->start();
    session_->stop();
    EXPECT_EQ(session_->state(), State::idle());
    main_.runFor(2s);
    EXPECT_EQ(session_->state(), State::idle());
    EXPECT_EQ(session_->session(), nullptr);
    EXPECT_TRUE(until([] { return !hostCaptureOpen(); }));
}

TEST_F(RaveSessionRun, TheRecoveryLadderRebuildsAMutedTapStillMutedAndEndsWithTheRave) {
    // Without a mute control on the output, the speakers are muted through the tap.
    output_.shared->canMute = false;
    auto spliced = std::make_shared<std::atomic<bool>>(false);
    auto withSignals = dependencies();
    withSignals.captureSignals = [spliced] {
        return CaptureRecovery::Signals{SilenceWatchdog::Diagnosis::receivingAudio(),
                                        *spliced ? 0.5 : 0.0, std::nullopt};
    };
    session_ = RaveSession::create({}, std::move(withSignals));
    session_->refreshMuteState();
    EXPECT_EQ(session_->muteStrategy(), MuteControl::Strategy::unavailable);
    session_->start();
    ASSERT_TRUE(becomesLive());
    EXPECT_EQ(session_->muteStrategy(), MuteControl::Strategy::tap);
    ASSERT_TRUE(session_->muteSpeakers());
    EXPECT_EQ(session_->muteOwnership(),
              (MuteControl::Ownership{true, MuteControl::Strategy::tap}));
    EXPECT_TRUE(session_->isSpeakersMuted());
    EXPECT_TRUE(session_->session()->isTapMuted());

    // Some audio in the black box for the dump to save.
    ASSERT_TRUE(until([&] { return session_->pipeline()->stats().chunksProduced > 10; }));
    *spliced = true;
    session_->checkCapture(2000);
    EXPECT_TRUE(log_.contains(
        "capture suspect (spliced: no beats, splice 50%, receivingAudio): the tap looks broken"));
    EXPECT_TRUE(log_.contains("capture: tap refreshed in place (ok)"));
    EXPECT_EQ(session_->recovery().recovery(), CaptureRecovery::Recovery::refreshed(2000));
    EXPECT_TRUE(until([&] { return log_.contains("capture: saved the last minute to "); }));
    EXPECT_TRUE(log_.contains("-spliced.wav"));

    session_->checkCapture(2020);
    EXPECT_TRUE(log_.contains(
        "capture still suspect after the refresh (no beats, splice 50%); rebuilding the tap"));
    EXPECT_TRUE(log_.contains("capture: new tap 48000 Hz, 2 ch"));
    EXPECT_EQ(session_->recovery().recovery(), CaptureRecovery::Recovery::restarted(2020));
    EXPECT_TRUE(session_->session()->isRunning());
    EXPECT_TRUE(session_->session()->isTapMuted()) << "the new tap is muted too";
    session_->refreshMuteState();
    EXPECT_TRUE(session_->isSpeakersMuted());

    session_->stop();
    EXPECT_EQ(session_->recovery().recovery(), CaptureRecovery::Recovery::watching());
    EXPECT_EQ(session_->muteOwnership(), MuteControl::Ownership::notMuted())
        << "a tap mute ends with its rave";
    EXPECT_FALSE(session_->isSpeakersMuted());

    // The next rave starts watching, and its first suspect check acts at once.
    session_->start();
    ASSERT_TRUE(becomesLive());
    EXPECT_EQ(session_->recovery().recovery(), CaptureRecovery::Recovery::watching());
    session_->checkCapture(2021);
    EXPECT_EQ(session_->recovery().recovery(), CaptureRecovery::Recovery::refreshed(2021));
    session_->stop();
}

TEST_F(RaveSessionRun, ARaveNobodyJoinsRaisesWhatKeepsGuestsAwayUntilOneArrives) {
    const SystemCheckup::Finding blocked{"firewall",
                                         "Firewall",
                                         SystemCheckup::Verdict::problem,
                                         "Incoming connections are blocked.",
                                         "Allow them.",
                                         SystemCheckup::Reason::portBlocked};
    auto withFirewall = dependencies();
    withFirewall.firewallFinding = [blocked] { return blocked; };
    session_ = RaveSession::create({}, std::move(withFirewall));

    // Advertised, yet nobody came in three minutes: the firewall is asked, off the main thread.
    session_->start();
    ASSERT_TRUE(becomesLive());
    ASSERT_EQ(session_->liveSince(), 1000);
    session_->tickDrought(1060, 0, false);
    EXPECT_EQ(session_->droughtStage().kind, DroughtWatch::Stage::Case::quiet);
    const int changesBefore = *changes_;
    session_->tickDrought(1180, 0, false);
    EXPECT_EQ(session_->droughtStage().kind, DroughtWatch::Stage::Case::investigate);
    ASSERT_TRUE(until([&] { return !session_->troubleFindings().empty(); }));
    EXPECT_EQ(session_->troubleFindings(), std::vector<SystemCheckup::Finding>{blocked});
    EXPECT_GT(*changes_, changesBefore) << "the finding is announced";
    session_->stop();
    EXPECT_TRUE(session_->troubleFindings().empty());

    // Never advertised: the network is to blame, and a guest arriving clears it.
    session_->start();
    ASSERT_TRUE(becomesLive());
    session_->tickDrought(1180, 0, true);
    ASSERT_EQ(session_->troubleFindings().size(), 1u);
    EXPECT_EQ(session_->troubleFindings().front().reason,
              SystemCheckup::Reason::networkUnconfirmed);
    session_->tickDrought(1181, 1, true);
    EXPECT_EQ(session_->droughtStage().kind, DroughtWatch::Stage::Case::fine);
    EXPECT_TRUE(session_->troubleFindings().empty());
    session_->stop();
}

// A socket holding a loopback port, as another program would.
class PortHolder {
  public:
    explicit PortHolder(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int reuse = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
        held_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                ::listen(fd_, 1) == 0;
        error_ = held_ ? 0 : errno;
    }
    ~PortHolder() { ::close(fd_); }
    bool held() const { return held_; }
    int error() const { return error_; }

  private:
    int fd_;
    bool held_ = false;
    int error_ = 0;
};

TEST_F(RaveSessionRun, RavesKeepTheirPortFromOneToTheNextAndSayWhenItIsTaken) {
    char folder[] = "/tmp/zoranth-port-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    const ScopedEnvironment state("XDG_STATE_HOME", folder);
    const auto raveOnce = [&]() -> std::uint16_t {
        session_->start();
        if (!becomesLive()) {
            return 0;
        }
        const std::uint16_t port = session_->server()->port();
        session_->stop();
        return port;
    };
    const std::uint16_t first = raveOnce();
    ASSERT_NE(first, 0);
    EXPECT_EQ(raveOnce(), first) << "the next rave asks for the same port";
    EXPECT_FALSE(log_.contains("is taken by another program"));

    const PortHolder other(first);
    ASSERT_TRUE(other.held()) << std::strerror(other.error());
    const std::uint16_t instead = raveOnce();
    ASSERT_NE(instead, 0);
    EXPECT_NE(instead, first);
    EXPECT_TRUE(log_.contains(SteadyPort::fallbackLine(first, instead))) << log_.lines().back();
    std::filesystem::remove_all(folder);
}

TEST_F(RaveSessionRun, MutingThroughTheDeviceMutesTheSoundServersDefaultSink) {
    auto realOutput = dependencies();
    realOutput.outputDevice = {};
    session_ = RaveSession::create({}, std::move(realOutput));
    const auto sinkMuted = [] {
        return pulseShell(std::string("pactl get-sink-mute ") + pulseTestSink).value_or("");
    };
    struct Unmute {
        ~Unmute() { pulseShell(std::string("pactl set-sink-mute ") + pulseTestSink + " 0"); }
    } unmuteAfterwards;

    session_->refreshMuteState();
    ASSERT_EQ(session_->muteStrategy(), MuteControl::Strategy::device);
    ASSERT_TRUE(session_->muteSpeakers());
    EXPECT_NE(sinkMuted().find("yes"), std::string::npos) << sinkMuted();
    EXPECT_TRUE(session_->isSpeakersMuted());
    ASSERT_TRUE(session_->unmuteSpeakers());
    EXPECT_NE(sinkMuted().find("no"), std::string::npos) << sinkMuted();
    EXPECT_FALSE(session_->isSpeakersMuted());
}

// The sound server stops mid-rave, as when it crashes or is restarted, and starts again
// after a while: the rave stays up, the guest keeps its connection and hears the tone
// again soon after the server is back, the chunks keep coming in order with times that
// never step back, and the loss and the return are each told once.
class RaveSessionOutage : public RaveSessionRun,
                          public ::testing::WithParamInterface<std::chrono::seconds> {};

TEST_P(RaveSessionOutage, TheRaveStaysUpAndTheToneComesBackSoonAfterTheServer) {
    using Clock = std::chrono::steady_clock;
    OwnSoundServer server("pulseaudio");
    ASSERT_TRUE(server.ready());
    auto tone = std::make_unique<PulseTonePlayer>(pulseTestSink, 440, 120);
    ASSERT_TRUE(tone->waitUntilPlaying());
    session_->start();
    ASSERT_TRUE(becomesLive()) << session_->state().message;
    ASSERT_TRUE(refreshedUntil([&] { return session_->listenPort() != 0; }));
    auto connected = TestGuest::connect(session_->listenPort());
    ASSERT_TRUE(connected) << connected.error();
    ASSERT_TRUE(connected->prove());
    ListeningGuest guest(std::move(*connected), 440);
    // The front ends' timer, meanwhile.
    const auto refreshFor = [&](Clock::duration duration) {
        const auto until = Clock::now() + duration;
        while (Clock::now() < until) {
            session_->tick(clock_.now());
            main_.runFor(RaveSession::tickInterval);
        }
    };
    refreshFor(3s);
    ASSERT_TRUE(guest.firstToneFrom(Clock::now() - 3s)) << "the tone reaches the guest";

    tone.reset();
    ASSERT_TRUE(server.stop());
    refreshFor(GetParam());
    ASSERT_TRUE(session_->capture().lost);
    EXPECT_TRUE(session_->permissionWarning() &&
                session_->permissionWarning()->starts_with("Zoranth lost this computer's audio"));
    ASSERT_TRUE(server.start());
    const auto back = Clock::now();
    tone = std::make_unique<PulseTonePlayer>(pulseTestSink, 440, 120);
    ASSERT_TRUE(tone->waitUntilPlaying());
    refreshFor(6s);

    EXPECT_EQ(session_->state(), State::broadcasting());
    EXPECT_FALSE(session_->capture().lost);
    EXPECT_EQ(session_->permissionWarning(), std::nullopt);
    EXPECT_FALSE(guest.closed()) << "the guest kept its connection";
    const auto heard = guest.firstToneFrom(back);
    ASSERT_TRUE(heard) << "the tone came back";
    EXPECT_LT(heard->arrived - back, 5s);
    std::cout
        << "[ figure ] away " << GetParam().count() << " s: tone back "
        << std::chrono::duration_cast<std::chrono::milliseconds>(heard->arrived - back).count()
        << " ms after the sound server\n";
    const auto chunks = guest.chunks();
    for (std::size_t i = 1; i < chunks.size(); ++i) {
        ASSERT_EQ(chunks[i].seq, chunks[i - 1].seq + 1) << "at chunk " << i;
        ASSERT_GT(chunks[i].hostTimeNanos, chunks[i - 1].hostTimeNanos) << "at chunk " << i;
    }
    EXPECT_EQ(log_.count("capture lost: "), 1);
    EXPECT_EQ(log_.count("capture back after "), 1);
    session_->stop();
}

INSTANTIATE_TEST_SUITE_P(Away, RaveSessionOutage, ::testing::Values(3s, 20s), [](const auto& info) {
    return std::to_string(info.param.count()) + "Seconds";
});

}  // namespace
}  // namespace zoranth
