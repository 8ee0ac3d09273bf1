// The main window over the real broadcast controller, through a whole rave: capture from
// the test sound server's null sink, a server on loopback and a loopback guest. The
// controller's clock, log, output device and sleep lock are the test's own.
#include <gtest/gtest.h>

#include "app/broadcast_controller.h"
#include "broadcast_controller_fixture.h"
#include "qt_printing.h"
#include "support/pulse_test_server.h"
#include "support/test_guest.h"
#include "window_harness.h"

namespace zoranth {
namespace {

using namespace std::chrono_literals;
using State = RaveSession::State;

const QString startingText = QStringLiteral("Starting — connecting to the sound server…");

class WindowOverController : public ::testing::Test {
  protected:
    void SetUp() override {
        ZORANTH_SKIP_WITHOUT_PULSE();
        guiApplication();
        listenAddress_.emplace(BroadcastServer::listenAddressVariable, "127.0.0.1");
        controller_ = std::make_unique<BroadcastController>(world_.dependencies());
        window_ = std::make_unique<WindowHarness>(&controller_->models());
    }

    void TearDown() override {
        window_.reset();
        controller_.reset();
        QCoreApplication::processEvents();
    }

    // Runs the event loop, redrawing the window, until the condition holds.
    bool shows(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 20s) {
        return eventuallyInEventLoop(
            [&] {
                window_->settle();
                return condition();
            },
            timeout);
    }

    bool startsAndGoesLive() {
        window_->click("mainButton");
        return shows([&] { return rave().state().kind != State::Case::starting; }) &&
               rave().state() == State::broadcasting();
    }

    RaveSession& rave() const { return controller_->rave(); }
    QString failure() const { return controller_->models().rave()->failureMessage(); }

    ControllerWorld world_;
    std::optional<ScopedEnvironment> listenAddress_;
    std::unique_ptr<BroadcastController> controller_;
    std::unique_ptr<WindowHarness> window_;
};

TEST_F(WindowOverController, AnIdleRaveInvitesAStartAndChecksTheCapturePermission) {
    WindowHarness& window = *window_;
    EXPECT_EQ(window.text("mainButton"), QString("Start Rave"));
    EXPECT_TRUE(window.enabled("mainButton"));
    EXPECT_EQ(window.text("statusText"), QString("Ready to start"));
    EXPECT_FALSE(window.shows("liveBadge"));
    EXPECT_EQ(window.text("bufferText"), QString("Buffer 4.5 s"));
    EXPECT_EQ(window.text("guestListSummary"), QString("No guests connected."));
    EXPECT_TRUE(window.shows("guestListEmpty"));
    EXPECT_EQ(window.findAll("meterChannel").size(), 2U) << "two idle meters";
    EXPECT_TRUE(shows([&] { return *world_.probes >= 1; })) << "opening the window probes";
}

TEST_F(WindowOverController, ARaveRunsFromStartingToLiveToAGuestAndBack) {
    WindowHarness& window = *window_;
    // Starting is shown at once, before the capture's bring-up reports back through the
    // event loop.
    QMetaObject::invokeMethod(window.find("mainButton"), "clicked");
    ASSERT_EQ(rave().state(), State::starting());
    EXPECT_EQ(window.text("mainButton"), QString("Start Rave"));
    EXPECT_FALSE(window.enabled("mainButton"));
    EXPECT_EQ(window.text("statusText"), startingText);

    ASSERT_TRUE(shows([&] { return rave().state() == State::broadcasting(); }))
        << failure().toStdString();
    EXPECT_EQ(window.text("mainButton"), QString("End Rave"));
    EXPECT_TRUE(window.enabled("mainButton"));
    EXPECT_TRUE(window.shows("liveBadge"));
    EXPECT_EQ(window.text("listeningText"), QString("Waiting for guests"));
    EXPECT_FALSE(window.enabled("raveNameField"));
    EXPECT_TRUE(window.shows("silenceSection"));
    window.openSettings(0);
    EXPECT_FALSE(window.enabled("bufferSlider"));
    EXPECT_EQ(window.text("bufferSectionCaption"), QString("End the rave to change the buffer."));

    ASSERT_TRUE(shows([&] { return rave().listenPort() != 0; }));
    auto guest = TestGuest::connect(rave().listenPort());
    ASSERT_TRUE(guest) << guest.error();
    ASSERT_TRUE(guest->prove());
    ASSERT_TRUE(shows([&] { return window.text("listeningText") == "1 listening"; }))
        << window.text("listeningText").toStdString();
    ASSERT_EQ(window.visibleItems("guestRow").size(), 1U);
    EXPECT_EQ(window.visibleItems("guestRow")[0]->property("name").toString(),
              QString::fromStdString(rave().guests().front().displayName()));
    window.openSettings(2);
    EXPECT_EQ(window.text("clientTableHeader"), QString("Guests (1)"));

    window.click("mainButton");
    ASSERT_TRUE(shows([&] { return rave().state() == State::idle(); }));
    EXPECT_EQ(window.text("mainButton"), QString("Start Rave"));
    EXPECT_EQ(window.text("statusText"), QString("Ready to start"));
    EXPECT_FALSE(window.shows("liveBadge"));
    EXPECT_TRUE(window.shows("guestListEmpty"));
    EXPECT_TRUE(window.enabled("bufferSlider"));
}

TEST_F(WindowOverController, AFailedStartSaysWhyAndTheButtonTriesAgain) {
    {
        const ScopedEnvironment noServer("PULSE_SERVER", "unix:/nonexistent/zoranth-no-server");
        window_->click("mainButton");
        ASSERT_TRUE(shows([&] { return rave().state().kind == State::Case::failed; }));
    }
    EXPECT_EQ(window_->text("statusText"), QStringLiteral("Couldn't start: ") + failure());
    EXPECT_FALSE(failure().isEmpty());
    EXPECT_TRUE(window_->enabled("mainButton"));
    EXPECT_EQ(window_->text("mainButton"), QString("Start Rave"));

    ASSERT_TRUE(startsAndGoesLive()) << failure().toStdString();
    EXPECT_TRUE(window_->shows("liveBadge"));
}

TEST_F(WindowOverController, MutingOutlastsTheRaveUntilTheSpeakersAreUnmuted) {
    WindowHarness& window = *window_;
    ASSERT_TRUE(startsAndGoesLive()) << failure().toStdString();
    ASSERT_TRUE(shows([&] { return window.text("silenceButton") == "Mute the speakers"; }));
    window.click("silenceButton");
    ASSERT_TRUE(shows([&] { return window.text("silenceButton") == "Unmute"; }));
    EXPECT_TRUE(world_.output.shared->muted);
    EXPECT_EQ(window.text("silenceHeadline"),
              QString("This computer is silent. The rave is still being broadcast."));

    window.click("mainButton");
    ASSERT_TRUE(shows([&] { return rave().state() == State::idle(); }));
    EXPECT_TRUE(window.shows("silenceSection")) << "we still hold the mute";
    EXPECT_EQ(window.text("silenceButton"), QString("Unmute"));

    window.click("silenceButton");
    EXPECT_TRUE(shows([&] { return !window.shows("silenceSection"); }));
    EXPECT_FALSE(world_.output.shared->muted);
}

TEST_F(WindowOverController, ARaveNobodyJoinsGrowsItsTroubleCard) {
    WindowHarness& window = *window_;
    ASSERT_TRUE(startsAndGoesLive()) << failure().toStdString();
    const double liveSince = *rave().liveSince();
    EXPECT_FALSE(window.shows("troubleCard"));

    world_.clock.set(liveSince + 61);
    ASSERT_TRUE(shows([&] { return window.shows("troubleQuiet"); }));
    EXPECT_FALSE(window.shows("troubleCardFull"));

    world_.clock.set(liveSince + 181);
    ASSERT_TRUE(shows([&] { return window.shows("troubleCardFull"); }));
    EXPECT_TRUE(window.text("troubleAddress").startsWith("They can also join by typing \""));
    EXPECT_TRUE(window.text("troubleAddress")
                    .endsWith(" : " + QString::number(rave().listenPort()) + " by hand."));
}

}  // namespace
}  // namespace zoranth
