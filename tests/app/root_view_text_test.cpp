// The main window's worded lines: status, listening, address, buffer and the speakers.
#include "app/root_view_text.h"

#include <vector>

#include <gtest/gtest.h>

#include "host/wall_clock.h"
#include "qt_printing.h"
#include "window_samples.h"

namespace zoranth {
namespace {

TEST(RootViewText, StatusFollowsTheRaveState) {
    using State = RaveSession::State;
    struct Row {
        State state;
        const char* text;
    };
    const Row rows[] = {
        {State::idle(), "Ready to start"},
        {State::starting(), "Starting — connecting to the sound server…"},
        {State::broadcasting(), "The rave is live"},
        {State::failed("no sound server is running"), "Couldn't start: no sound server is running"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(RootViewText::status(row.state), QString(row.text)) << row.text;
    }
}

TEST(RootViewText, ListeningCountsGuestsThenSaysHowManyAreInSync) {
    using samples::Report;
    const double now = WallClock::now();
    Report bluetooth{"Buds"};
    bluetooth.route = RouteKind::bluetooth;
    Report stale{"Old"};
    stale.ageSeconds = 30;
    Report syncing{"Tablet"};
    syncing.locked = false;

    struct Row {
        std::vector<GuestConnection::Snapshot> guests;
        const char* text;
    };
    const Row rows[] = {
        {{}, "Waiting for guests"},
        {{samples::guest(1, "10.0.0.2:5000", std::nullopt)}, "1 listening"},
        {{samples::guest(1, "a", Report{"A"}), samples::guest(2, "b", Report{"B"})},
         "2 listening  ·  all in sync"},
        {{samples::guest(1, "a", Report{"A"}), samples::guest(2, "b", syncing),
          samples::guest(3, "c", bluetooth)},
         "3 listening  ·  2 of 3 in sync  ·  1 to calibrate"},
        // A report older than five seconds says nothing about the guest now.
        {{samples::guest(1, "a", stale)}, "1 listening"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(RootViewText::listening(row.guests, now), QString(row.text));
    }
}

TEST(RootViewText, AddressNamesTheRaveAndEveryWayToReachIt) {
    EXPECT_EQ(RootViewText::address("Rooftop", {"192.168.1.24", "fd00::1"}, 51234),
              QString("\"Rooftop\"  ·  192.168.1.24, fd00::1 : 51234"));
    EXPECT_EQ(RootViewText::address("", {}, 0), QString("\"registering…\"  ·  — : 0"));
}

TEST(RootViewText, BufferReadsInSecondsWithOneDecimal) {
    EXPECT_EQ(RootViewText::buffer(4500), QString("Buffer 4.5 s"));
    EXPECT_EQ(RootViewText::buffer(1000), QString("Buffer 1.0 s"));
    EXPECT_EQ(RootViewText::buffer(3240), QString("Buffer 3.2 s"));
}

TEST(RootViewText, SilenceSectionOffersWhatThisComputerCanDo) {
    const auto muted = RootViewText::silence(true, MuteControl::Strategy::device, 4500);
    EXPECT_EQ(muted.symbol, QString("speaker.slash.fill"));
    EXPECT_EQ(muted.headline,
              QString("This computer is silent. The rave is still being broadcast."));
    EXPECT_TRUE(muted.detail.isEmpty());
    EXPECT_EQ(muted.button, QString("Unmute"));
    EXPECT_FALSE(muted.mutes);

    const auto stuck = RootViewText::silence(false, MuteControl::Strategy::unavailable, 4500);
    EXPECT_EQ(stuck.headline, QString("This computer's speakers can't be muted from here"));
    EXPECT_TRUE(stuck.detail.startsWith("The sound server offers no mute control for this output"));
    EXPECT_TRUE(stuck.button.isEmpty());

    const auto playing = RootViewText::silence(false, MuteControl::Strategy::tap, 2300);
    EXPECT_EQ(playing.symbol, QString("speaker.wave.2.fill"));
    EXPECT_EQ(playing.headline, QString("This computer's speakers are still playing out loud"));
    EXPECT_EQ(
        playing.detail,
        QString("Your speakers run about 2.3 seconds ahead of the phones — that's the buffer, "
                "not a fault. Listen to check audio is flowing, then mute."));
    EXPECT_EQ(playing.button, QString("Mute the speakers"));
    EXPECT_TRUE(playing.mutes);
}

}  // namespace
}  // namespace zoranth
