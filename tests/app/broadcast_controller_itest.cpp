// The window's adapter over a real rave under a plain Qt core application: capture from
// the test sound server's null sink, a server on loopback and a loopback guest; what the
// window reads as the rave goes live and ends. The rave itself is the session's, tested
// on its own.
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
using State = RaveSession::State;

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
        return eventuallyInEventLoop(
                   [&] { return controller_->state().kind != State::Case::starting; }, 20s) &&
               controller_->state() == State::broadcasting();
    }

    ControllerWorld world_;
    std::optional<ScopedEnvironment> listenAddress_;
    std::unique_ptr<BroadcastController> controller_;
};

TEST_F(RaveTest, TheWindowSeesARaveGoLiveServeAGuestAndEnd) {
    PulseTonePlayer tone(pulseTestSink, 440, 60);
    ASSERT_TRUE(tone.waitUntilPlaying());
    controller_->setQuality(QualityTier::high);

    controller_->start();
    EXPECT_EQ(controller_->property("state"), QStringLiteral("starting"));
    EXPECT_FALSE(controller_->timersRunning());
    ASSERT_TRUE(becomesLive()) << controller_->failureMessage().toStdString();
    EXPECT_TRUE(controller_->timersRunning());
    EXPECT_TRUE(controller_->property("isKeepingAwake").toBool());
    EXPECT_TRUE(controller_->tapFormatDescription().startsWith("48000 Hz, 2 ch"));

    ASSERT_TRUE(eventuallyInEventLoop([&] { return controller_->listenPort() != 0; }));
    auto guest = TestGuest::connect(static_cast<std::uint16_t>(controller_->listenPort()));
    ASSERT_TRUE(guest) << guest.error();
    ASSERT_TRUE(eventuallyInEventLoop([&] {
        return controller_->clients().size() == 1 &&
               controller_->clientTiers().contains(controller_->clients().front().id);
    }));
    const GuestConnection::Id id = controller_->clients().front().id;
    EXPECT_EQ(controller_->property("clients").toList().front().toMap().value("id").toLongLong(),
              id);
    EXPECT_EQ(controller_->property("clientTiers").toMap().value(QString::number(id)),
              QStringLiteral("high"));
    ASSERT_TRUE(hearsAudio(*guest));
    ASSERT_TRUE(eventuallyInEventLoop([&] { return controller_->peak().front() > 0.1f; }))
        << "the meters follow the tone";
    EXPECT_GT(controller_->property("chunksProduced").toDouble(), 0);

    // Outside a rave only: the capture permission is not probed while live.
    controller_->applicationBecameActive();
    pumpEvents(100ms);
    EXPECT_EQ(*world_.probes, 0);

    controller_->setBufferDelayMs(3000);
    EXPECT_EQ(controller_->rave().pipeline()->bufferDelayMs(), 3000);

    controller_->stop();
    const auto heard = guest->readUntilClosed(10s);
    ASSERT_TRUE(heard && !heard->empty());
    EXPECT_TRUE(std::holds_alternative<Message::Bye>(heard->back().payload));
    EXPECT_EQ(controller_->property("state"), QStringLiteral("idle"));
    EXPECT_FALSE(controller_->timersRunning());
    EXPECT_EQ(controller_->peak(), (std::vector<float>{0, 0}));
    EXPECT_TRUE(controller_->property("clients").toList().isEmpty());
    EXPECT_EQ(controller_->property("tier"), QStringLiteral("high"))
        << "the tier outlives the rave";
    EXPECT_FALSE(controller_->property("isKeepingAwake").toBool());
    EXPECT_TRUE(eventuallyInEventLoop([] { return !captureOpen(); }));
}

TEST_F(RaveTest, AFailedStartShowsTheCapturesOwnTextAndRunsNoTimers) {
    const ScopedEnvironment noServer("PULSE_SERVER", "unix:/nonexistent/zoranth-no-server");
    auto ring = CaptureRing::createStandard();
    ASSERT_TRUE(ring);
    const auto refused = TapSession::create()->start(*ring);
    ASSERT_FALSE(refused);

    controller_->start();
    ASSERT_TRUE(
        eventuallyInEventLoop([&] { return controller_->state().kind == State::Case::failed; }));
    EXPECT_EQ(controller_->failureMessage().toStdString(), TapSession::describe(refused.error()));
    EXPECT_EQ(controller_->property("failureMessage"), controller_->failureMessage());
    EXPECT_EQ(controller_->property("state"), QStringLiteral("failed"));
    EXPECT_FALSE(controller_->timersRunning());
}

}  // namespace
}  // namespace zoranth
