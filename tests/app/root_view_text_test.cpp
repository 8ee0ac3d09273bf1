// The main window's worded lines: status, listening, address, buffer and the speakers.
#include "app/root_view_text.h"

#include <vector>

#include <gtest/gtest.h>

#include "app/contract_values.h"
#include "contract_samples.h"
#include "host/wall_clock.h"
#include "qt_printing.h"

namespace zoranth {
namespace {

TEST(RootViewText, StatusFollowsTheRaveState) {
    struct Row {
        const char* state;
        const char* message;
        const char* text;
    };
    const Row rows[] = {
        {"idle", "", "Ready to start"},
        {"starting", "", "Starting — answer the audio permission prompt if it appears…"},
        {"broadcasting", "", "The rave is live"},
        {"failed", "no sound server is running", "Couldn't start: no sound server is running"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(RootViewText::status(row.state, row.message), QString(row.text)) << row.state;
    }
}

TEST(RootViewText, ListeningCountsGuestsThenSaysHowManyAreInSync) {
    using samples::Report;
    const double now = WallClock::now();
    const auto snapshots = [](QVariantList list) { return ContractValues::snapshots(list); };
    Report bluetooth{"Buds"};
    bluetooth.route = RouteKind::bluetooth;
    Report stale{"Old"};
    stale.ageSeconds = 30;
    Report syncing{"Tablet"};
    syncing.locked = false;

    struct Row {
        QVariantList clients;
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
        EXPECT_EQ(RootViewText::listening(snapshots(row.clients), now), QString(row.text));
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
    const auto muted = RootViewText::silence(true, "device", 4500);
    EXPECT_EQ(muted.symbol, QString("speaker.slash.fill"));
    EXPECT_EQ(muted.headline, QString("This Mac is silent. The rave is still being broadcast."));
    EXPECT_TRUE(muted.detail.isEmpty());
    EXPECT_EQ(muted.button, QString("Unmute"));
    EXPECT_FALSE(muted.mutes);

    const auto stuck = RootViewText::silence(false, "unavailable", 4500);
    EXPECT_EQ(stuck.headline, QString("This Mac's speakers can't be muted from here"));
    EXPECT_TRUE(stuck.detail.startsWith("This output has no volume control macOS can reach"));
    EXPECT_TRUE(stuck.button.isEmpty());

    const auto playing = RootViewText::silence(false, "tap", 2300);
    EXPECT_EQ(playing.symbol, QString("speaker.wave.2.fill"));
    EXPECT_EQ(playing.headline, QString("This Mac's speakers are still playing out loud"));
    EXPECT_EQ(
        playing.detail,
        QString("Your speakers run about 2.3 seconds ahead of the phones — that's the buffer, "
                "not a fault. Listen to check audio is flowing, then mute."));
    EXPECT_EQ(playing.button, QString("Mute this Mac"));
    EXPECT_TRUE(playing.mutes);

    EXPECT_EQ(RootViewText::hogWarning("Studio One"),
              QString("Studio One has exclusive control of the audio device, which may stop "
                      "Zoranth from capturing."));
}

}  // namespace
}  // namespace zoranth
