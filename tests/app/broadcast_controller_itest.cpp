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

// A row of the diagnostics screen by its label.
QString diagnostic(WindowModels& models, const QString& label) {
    DiagnosticsModel& rows = *models.diagnostics();
    const int row = static_cast<int>(DiagnosticsModel::labels().indexOf(label));
    return rows.data(rows.index(row), DiagnosticsModel::ValueRole).toString();
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
                   [&] { return controller_->rave().state().kind != State::Case::starting; },
                   20s) &&
               controller_->rave().state() == State::broadcasting();
    }

    ControllerWorld world_;
    std::optional<ScopedEnvironment> listenAddress_;
    std::unique_ptr<BroadcastController> controller_;
};

TEST_F(RaveTest, TheWindowSeesARaveGoLiveServeAGuestAndEnd) {
    PulseTonePlayer tone(pulseTestSink, 440, 60);
    ASSERT_TRUE(tone.waitUntilPlaying());
    controller_->models().quality()->setQuality(QualityModel::Tier::High);

    WindowModels& models = controller_->models();
    controller_->start();
    EXPECT_EQ(models.rave()->state(), RaveModel::State::Starting);
    EXPECT_FALSE(controller_->timersRunning());
    ASSERT_TRUE(becomesLive()) << models.rave()->failureMessage().toStdString();
    EXPECT_TRUE(controller_->timersRunning());
    EXPECT_TRUE(models.rave()->isLive());
    EXPECT_EQ(diagnostic(models, "Sleep"), QString("held off — don't close the lid"));
    EXPECT_TRUE(diagnostic(models, "Capture format").startsWith("48000 Hz, 2 ch"));

    ASSERT_TRUE(eventuallyInEventLoop([&] { return models.rave()->listenPort() != 0; }));
    EXPECT_EQ(models.rave()->listenPort(), controller_->rave().listenPort());
    // Guests reach this rave on loopback only, so its link names the loopback address.
    EXPECT_EQ(models.rave()->joinLink(),
              QString("http://127.0.0.1:%1/").arg(models.rave()->listenPort()));
    auto guest = TestGuest::connect(static_cast<std::uint16_t>(models.rave()->listenPort()));
    ASSERT_TRUE(guest) << guest.error();
    ASSERT_TRUE(guest->prove());
    GuestListModel& guests = *models.guests();
    ASSERT_TRUE(eventuallyInEventLoop([&] {
        return guests.count() == 1 &&
               !guests.data(guests.index(0), GuestListModel::TierLabelRole).toString().isEmpty();
    }));
    const GuestConnection::Id id = controller_->rave().guests().front().id;
    EXPECT_EQ(guests.data(guests.index(0), GuestListModel::GuestIdRole).toDouble(),
              static_cast<double>(id));
    EXPECT_EQ(guests.data(guests.index(0), GuestListModel::TierLabelRole).toString(),
              QStringLiteral("192 kbps"));
    EXPECT_EQ(models.guests()->listeningText().left(11), QString("1 listening"));
    ASSERT_TRUE(guest->hearsAudio());
    LevelMeterModel& levels = *models.levels();
    ASSERT_TRUE(eventuallyInEventLoop([&] {
        return levels.data(levels.index(0), LevelMeterModel::HeldRole).toDouble() >
               PeakHold::fraction(0.1F);
    })) << "the meters follow the tone";
    EXPECT_TRUE(
        eventuallyInEventLoop([&] { return diagnostic(models, "Chunks produced") != "0"; }));

    // Outside a rave only: the capture permission is not probed while live.
    controller_->applicationBecameActive();
    pumpEvents(100ms);
    EXPECT_EQ(*world_.probes, 0);

    models.rave()->setBufferDelayMs(3000);
    EXPECT_EQ(controller_->rave().pipeline()->bufferDelayMs(), 3000);

    controller_->stop();
    const auto heard = guest->readUntilClosed(10s);
    ASSERT_TRUE(heard && !heard->empty());
    EXPECT_TRUE(std::holds_alternative<Message::Bye>(heard->back().payload));
    EXPECT_EQ(models.rave()->state(), RaveModel::State::Idle);
    EXPECT_EQ(models.rave()->joinLink(), QString());
    EXPECT_FALSE(controller_->timersRunning());
    EXPECT_EQ(levels.data(levels.index(0), LevelMeterModel::LevelRole).toDouble(), 0);
    EXPECT_EQ(guests.count(), 0);
    EXPECT_EQ(models.quality()->tier(), QualityModel::Tier::High) << "the tier outlives the rave";
    EXPECT_EQ(diagnostic(models, "Sleep"), QString("not held"));
    EXPECT_TRUE(eventuallyInEventLoop([] { return !hostCaptureOpen(); }));
}

TEST_F(RaveTest, TheGuestLimitReachesTheRaveAtItsStartAndWhileItIsLive) {
    PulseTonePlayer tone(pulseTestSink, 440, 60);
    ASSERT_TRUE(tone.waitUntilPlaying());
    RaveModel& rave = *controller_->models().rave();
    rave.setMaxGuests(3);
    controller_->start();
    ASSERT_TRUE(becomesLive()) << rave.failureMessage().toStdString();
    EXPECT_EQ(controller_->rave().server()->admissionLimits().maxGuests, 3U);
    ASSERT_TRUE(eventuallyInEventLoop([&] { return rave.listenPort() != 0; }));
    const auto port = static_cast<std::uint16_t>(rave.listenPort());

    // Lowered under way: the guest already in keeps listening, the next one is turned away.
    auto first = TestGuest::connect(port);
    ASSERT_TRUE(first) << first.error();
    ASSERT_TRUE(first->prove());
    ASSERT_TRUE(eventuallyInEventLoop([&] { return controller_->rave().guests().size() == 1; }));
    rave.setMaxGuests(1);
    EXPECT_EQ(controller_->rave().server()->admissionLimits().maxGuests, 1U);
    auto second = TestGuest::connect(port);
    ASSERT_TRUE(second) << second.error();
    second->prove();
    EXPECT_TRUE(second->readUntilClosed(10s)) << "the room is full";
    EXPECT_TRUE(
        eventuallyInEventLoop([&] { return controller_->rave().server()->refusals().total == 1; }));
    EXPECT_TRUE(first->hearsAudio());

    // Raised again: the next one comes in.
    rave.setMaxGuests(2);
    auto third = TestGuest::connect(port);
    ASSERT_TRUE(third) << third.error();
    ASSERT_TRUE(third->prove());
    EXPECT_TRUE(third->hearsAudio());
    controller_->stop();
}

TEST_F(RaveTest, AFailedStartShowsTheCapturesOwnTextAndRunsNoTimers) {
    const ScopedEnvironment noServer("PULSE_SERVER", "unix:/nonexistent/zoranth-no-server");
    auto ring = CaptureRing::createStandard();
    ASSERT_TRUE(ring);
    const auto refused = TapSession::create()->start(*ring);
    ASSERT_FALSE(refused);

    RaveModel& rave = *controller_->models().rave();
    rave.start();
    ASSERT_TRUE(eventuallyInEventLoop([&] { return rave.state() == RaveModel::State::Failed; }));
    EXPECT_EQ(rave.failureMessage().toStdString(), TapSession::describe(refused.error()));
    EXPECT_EQ(rave.statusText(), "Couldn't start: " + rave.failureMessage());
    EXPECT_FALSE(controller_->timersRunning());
}

}  // namespace
}  // namespace zoranth
