// Real raves under a plain Qt core application: capture from the test sound server's null
// sink, a server on loopback and a loopback guest. The controller's clock, log, output
// device and sleep lock are the test's own; everything else is real.
#include <QCoreApplication>

#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

#include "app/broadcast_controller.h"
#include "broadcast_controller_fixture.h"
#include "gui_application.h"
#include "support/pulse_test_server.h"
#include "support/test_guest.h"

namespace zoranth {
namespace {

using namespace std::chrono_literals;
using State = BroadcastController::State;

// The executable's one application, shared with the window's tests in it.
QCoreApplication& coreApplication() {
    return guiApplication();
}

// Whether the sound server still records for the host.
bool captureOpen() {
    for (const PulseSourceOutputRow& row : pulseSourceOutputs()) {
        if (row.mediaName.starts_with("Zoranth Tap")) {
            return true;
        }
    }
    return false;
}

// Reads the host's messages until the audio flows.
bool hearsAudio(TestGuest& guest) {
    for (int i = 0; i < 200; ++i) {
        const auto message = guest.nextMessage(5s);
        if (!message) {
            return false;
        }
        if (std::holds_alternative<Message::Audio>(message->payload)) {
            return true;
        }
    }
    return false;
}

class RaveTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ZORANTH_SKIP_WITHOUT_PULSE();
        coreApplication();
        listenAddress_.emplace(BroadcastServer::listenAddressVariable, "127.0.0.1");
        controller_ = std::make_unique<BroadcastController>(world_.dependencies());
    }

    void TearDown() override {
        controller_.reset();
        QCoreApplication::processEvents();
    }

    bool becomesLive() {
        return eventually([&] { return controller_->state().kind != State::Case::starting; },
                          20s) &&
               controller_->state() == State::broadcasting();
    }

    ControllerWorld world_;
    std::optional<ScopedEnvironment> listenAddress_;
    std::unique_ptr<BroadcastController> controller_;
};

TEST_F(RaveTest, ARaveGoesLiveServesAGuestAndEndsWithTheLastChunkBeforeTheGoodbye) {
    PulseTonePlayer tone(pulseTestSink, 440, 60);
    ASSERT_TRUE(tone.waitUntilPlaying());
    controller_->setQuality(QualityTier::high);

    controller_->start();
    EXPECT_EQ(controller_->property("state"), QStringLiteral("starting"));
    ASSERT_TRUE(becomesLive()) << controller_->failureMessage().toStdString();
    EXPECT_TRUE(controller_->timersRunning());
    EXPECT_TRUE(controller_->isKeepingAwake());
    EXPECT_EQ(*world_.inhibitions, 1);
    EXPECT_TRUE(controller_->tapFormatDescription().startsWith("48000 Hz, 2 ch"));
    EXPECT_GT(controller_->ioBufferFrames(), 0);
    EXPECT_TRUE(world_.log.contains("tap format: 48000 Hz, 2 ch"));

    ASSERT_TRUE(eventually([&] { return controller_->listenPort() != 0; }));
    auto guest = TestGuest::connect(static_cast<std::uint16_t>(controller_->listenPort()));
    ASSERT_TRUE(guest) << guest.error();
    ASSERT_TRUE(eventually([&] {
        return controller_->clients().size() == 1 &&
               controller_->clientTiers().contains(controller_->clients().front().id);
    }));
    const ClientConnection::Id id = controller_->clients().front().id;
    EXPECT_EQ(controller_->property("clients").toList().front().toMap().value("id").toLongLong(),
              id);
    EXPECT_EQ(controller_->clientTiers().at(id), QualityTier::high);
    ASSERT_TRUE(eventually([&] { return controller_->server()->guestBitrates()[id] == 192000; }));
    ASSERT_TRUE(hearsAudio(*guest));
    ASSERT_TRUE(eventually([&] { return controller_->peak().front() > 0.1f; }))
        << "the meters follow the tone";

    // Outside a rave only: the capture permission is not probed while live.
    controller_->applicationBecameActive();
    pumpEvents(100ms);
    EXPECT_EQ(*world_.probes, 0);

    // A new buffer reaches the running guests; a new name waits for the next rave.
    const std::string advertised = controller_->server()->serviceName();
    controller_->setRaveName(QStringLiteral("Renamed Mid-Rave"));
    EXPECT_EQ(controller_->server()->serviceName(), advertised);
    controller_->setBufferDelayMs(3000);
    EXPECT_EQ(controller_->pipeline()->bufferDelayMs(), 3000);

    const auto pipeline = controller_->pipeline();
    controller_->stop();
    const std::int64_t produced = pipeline->stats().chunksProduced;
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
    EXPECT_EQ(*lastAudio + 1, static_cast<std::uint32_t>(produced))
        << "the flushed chunk was the last before the goodbye";

    EXPECT_EQ(controller_->state(), State::idle());
    EXPECT_FALSE(controller_->timersRunning());
    EXPECT_EQ(controller_->session(), nullptr);
    EXPECT_EQ(controller_->pipeline(), nullptr);
    EXPECT_EQ(controller_->server(), nullptr);
    EXPECT_EQ(controller_->peak(), (std::vector<float>{0, 0}));
    EXPECT_EQ(controller_->rms(), (std::vector<float>{0, 0}));
    EXPECT_TRUE(controller_->clients().empty());
    EXPECT_EQ(controller_->health(), NetworkHealth::Verdict::initial());
    EXPECT_EQ(controller_->tier(), QualityTier::high) << "the tier outlives the rave";
    EXPECT_FALSE(controller_->isKeepingAwake());
    EXPECT_EQ(controller_->liveSince(), std::nullopt);
    EXPECT_TRUE(eventually([] { return !captureOpen(); }));

    // A snapshot collection still on its way brings back nothing of the ended rave.
    pumpEvents(500ms);
    EXPECT_TRUE(controller_->clients().empty());
}

TEST_F(RaveTest, ACaptureThatCannotStartEndsInFailedWithTheCapturesOwnText) {
    const ScopedEnvironment noServer("PULSE_SERVER", "unix:/nonexistent/zoranth-no-server");
    auto ring = CaptureRing::createStandard();
    ASSERT_TRUE(ring);
    const auto refused = TapSession::create()->start(*ring);
    ASSERT_FALSE(refused);

    controller_->start();
    ASSERT_TRUE(eventually([&] { return controller_->state().kind == State::Case::failed; }));
    EXPECT_EQ(controller_->failureMessage().toStdString(), TapSession::describe(refused.error()));
    EXPECT_EQ(controller_->property("failureMessage"), controller_->failureMessage());
    EXPECT_FALSE(controller_->timersRunning());
    EXPECT_EQ(controller_->session(), nullptr);
}

TEST_F(RaveTest, AServerThatCannotListenLeavesNoTimersAndNoCaptureAndMayBeStartedAgain) {
    {
        const ScopedEnvironment badAddress(BroadcastServer::listenAddressVariable,
                                           "not-an-address");
        const auto refusal = BroadcastServer::listeningFor(0);
        ASSERT_FALSE(refusal);

        controller_->start();
        ASSERT_TRUE(eventually([&] { return controller_->state().kind == State::Case::failed; }));
        EXPECT_EQ(controller_->failureMessage().toStdString(), refusal.error());
    }
    EXPECT_FALSE(controller_->timersRunning());
    EXPECT_EQ(controller_->session(), nullptr);
    EXPECT_EQ(controller_->server(), nullptr);
    EXPECT_FALSE(controller_->isKeepingAwake());
    EXPECT_EQ(*world_.inhibitions, 0);
    EXPECT_TRUE(eventually([] { return !captureOpen(); })) << "the capture was closed";

    controller_->start();
    ASSERT_TRUE(becomesLive()) << controller_->failureMessage().toStdString();
    EXPECT_EQ(controller_->failureMessage(), QString());
    controller_->stop();
}

TEST_F(RaveTest, StartingAgainWhileStartingOrLiveChangesNothing) {
    controller_->start();
    controller_->start();
    ASSERT_TRUE(becomesLive());
    const auto server = controller_->server();
    controller_->start();
    pumpEvents(300ms);
    EXPECT_EQ(controller_->state(), State::broadcasting());
    EXPECT_EQ(controller_->server(), server);
    int bringUps = 0;
    for (const std::string& line : world_.log.lines()) {
        bringUps += line.starts_with("tap format: ") ? 1 : 0;
    }
    EXPECT_EQ(bringUps, 1);
    controller_->stop();
}

TEST_F(RaveTest, ARaveStoppedWhileItsCaptureComesUpNeverGoesLive) {
    controller_->start();
    controller_->stop();
    EXPECT_EQ(controller_->state(), State::idle());
    pumpEvents(2s);
    EXPECT_EQ(controller_->state(), State::idle());
    EXPECT_EQ(controller_->session(), nullptr);
    EXPECT_FALSE(controller_->timersRunning());
    EXPECT_TRUE(eventually([] { return !captureOpen(); }));
}

TEST_F(RaveTest, TheRecoveryLadderRebuildsAMutedTapStillMutedAndEndsWithTheRave) {
    // Without a mute control on the output, this computer is muted through the tap.
    world_.output.shared->canMute = false;
    auto spliced = std::make_shared<std::atomic<bool>>(false);
    auto dependencies = world_.dependencies();
    dependencies.captureSignals = [spliced] {
        return CaptureRecovery::Signals{SilenceWatchdog::Diagnosis::receivingAudio(),
                                        *spliced ? 0.5 : 0.0, std::nullopt};
    };
    controller_ = std::make_unique<BroadcastController>(std::move(dependencies));
    EXPECT_EQ(controller_->muteStrategy(), MuteControl::Strategy::unavailable);
    controller_->start();
    ASSERT_TRUE(becomesLive());
    EXPECT_EQ(controller_->property("muteStrategy"), QStringLiteral("tap"));
    ASSERT_TRUE(controller_->muteMac());
    EXPECT_EQ(controller_->muteOwnership(),
              (MuteControl::Ownership{true, MuteControl::Strategy::tap}));
    EXPECT_TRUE(controller_->isMacMuted());
    EXPECT_TRUE(controller_->session()->isTapMuted());

    // Some audio in the black box for the dump to save.
    ASSERT_TRUE(eventually([&] { return controller_->pipeline()->stats().chunksProduced > 10; }));
    *spliced = true;
    world_.clock.set(2000);
    controller_->checkCapture(2000);
    EXPECT_TRUE(world_.log.contains(
        "capture suspect (spliced: no beats, splice 50%, receivingAudio): the tap looks broken"));
    EXPECT_TRUE(world_.log.contains("capture: tap refreshed in place (ok)"));
    EXPECT_EQ(controller_->recovery().recovery(), CaptureRecovery::Recovery::refreshed(2000));
    EXPECT_TRUE(
        eventually([&] { return world_.log.contains("capture: saved the last minute to "); }));
    EXPECT_TRUE(world_.log.contains("-spliced.wav"));

    world_.clock.set(2020);
    controller_->checkCapture(2020);
    EXPECT_TRUE(world_.log.contains(
        "capture still suspect after the refresh (no beats, splice 50%); rebuilding the tap"));
    EXPECT_TRUE(world_.log.contains("capture: new tap 48000 Hz, 2 ch"));
    EXPECT_EQ(controller_->recovery().recovery(), CaptureRecovery::Recovery::restarted(2020));
    EXPECT_TRUE(controller_->session()->isRunning());
    EXPECT_TRUE(controller_->session()->isTapMuted()) << "the new tap is muted too";
    controller_->refreshMuteState();
    EXPECT_TRUE(controller_->isMacMuted());

    controller_->stop();
    EXPECT_EQ(controller_->recovery().recovery(), CaptureRecovery::Recovery::watching());
    EXPECT_EQ(controller_->muteOwnership(), MuteControl::Ownership::notMuted())
        << "a tap mute ends with its rave";
    EXPECT_FALSE(controller_->isMacMuted());

    // The next rave starts watching, and its first suspect check acts at once.
    controller_->start();
    ASSERT_TRUE(becomesLive());
    EXPECT_EQ(controller_->recovery().recovery(), CaptureRecovery::Recovery::watching());
    world_.clock.set(2021);
    controller_->checkCapture(2021);
    EXPECT_EQ(controller_->recovery().recovery(), CaptureRecovery::Recovery::refreshed(2021));
    controller_->stop();
}

TEST_F(RaveTest, ARaveNobodyJoinsRaisesWhatKeepsGuestsAwayUntilOneArrives) {
    const SystemCheckup::Finding blocked{"firewall",
                                      "Firewall",
                                      SystemCheckup::Verdict::problem,
                                      "Incoming connections are blocked.",
                                      "Allow them.",
                                      SystemCheckup::Reason::portBlocked};
    auto dependencies = world_.dependencies();
    dependencies.firewallFinding = [blocked] { return blocked; };
    controller_ = std::make_unique<BroadcastController>(std::move(dependencies));

    // Advertised, yet nobody came in three minutes: the firewall is asked, off the main thread.
    controller_->start();
    ASSERT_TRUE(becomesLive());
    ASSERT_EQ(controller_->liveSince(), 1000);
    world_.clock.set(1060);
    controller_->tickDrought(1060, 0, false);
    EXPECT_EQ(controller_->property("droughtStage"), QStringLiteral("quiet"));
    world_.clock.set(1180);
    controller_->tickDrought(1180, 0, false);
    EXPECT_EQ(controller_->property("droughtStage"), QStringLiteral("investigate"));
    ASSERT_TRUE(eventually([&] { return !controller_->troubleFindings().empty(); }));
    EXPECT_EQ(controller_->troubleFindings(), std::vector<SystemCheckup::Finding>{blocked});
    controller_->stop();
    EXPECT_TRUE(controller_->troubleFindings().empty());

    // Never advertised: the network is to blame, and a guest arriving clears it.
    controller_->start();
    ASSERT_TRUE(becomesLive());
    world_.clock.set(1360);
    controller_->tickDrought(1360, 0, true);
    ASSERT_EQ(controller_->troubleFindings().size(), 1u);
    EXPECT_EQ(controller_->troubleFindings().front().detail,
              "This Mac never finished advertising itself.");
    EXPECT_EQ(controller_->property("troubleFindings").toList().front().toMap().value("reason"),
              QStringLiteral("networkDenied"));
    controller_->tickDrought(1361, 1, true);
    EXPECT_EQ(controller_->property("droughtStage"), QStringLiteral("fine"));
    EXPECT_TRUE(controller_->troubleFindings().empty());
    controller_->stop();
}

TEST_F(RaveTest, MutingThroughTheDeviceMutesTheSoundServersDefaultSink) {
    auto dependencies = world_.dependencies();
    dependencies.outputDevice = {};
    controller_ = std::make_unique<BroadcastController>(std::move(dependencies));
    const auto sinkMuted = [] {
        return pulseShell(std::string("pactl get-sink-mute ") + pulseTestSink).value_or("");
    };
    struct Unmute {
        ~Unmute() { pulseShell(std::string("pactl set-sink-mute ") + pulseTestSink + " 0"); }
    } unmuteAfterwards;

    ASSERT_EQ(controller_->muteStrategy(), MuteControl::Strategy::device);
    ASSERT_TRUE(controller_->muteMac());
    EXPECT_NE(sinkMuted().find("yes"), std::string::npos) << sinkMuted();
    EXPECT_TRUE(controller_->isMacMuted());
    ASSERT_TRUE(controller_->unmuteMac());
    EXPECT_NE(sinkMuted().find("no"), std::string::npos) << sinkMuted();
    EXPECT_FALSE(controller_->isMacMuted());
}

}  // namespace
}  // namespace zoranth
