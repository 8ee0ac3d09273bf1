#include "host/mute_control.h"

#include <gtest/gtest.h>

namespace zoranth {
namespace {

using Strategy = MuteControl::Strategy;
using Ownership = MuteControl::Ownership;

TEST(MuteControl, StrategiesReadAsTheirCaseNamesInTheMuteLines) {
    EXPECT_EQ(MuteControl::text(Strategy::device), "device");
    EXPECT_EQ(MuteControl::text(Strategy::tap), "tap");
    EXPECT_EQ(MuteControl::text(Strategy::unavailable), "unavailable");
    EXPECT_EQ(MuteControl::logLine(true, Strategy::tap, true), "mute via tap: ok");
    EXPECT_EQ(MuteControl::logLine(false, Strategy::device, false), "unmute via device: FAILED");
    EXPECT_EQ(MuteControl::logLine(true, Strategy::unavailable, false),
              "mute via unavailable: FAILED");
}

TEST(MuteControl, NotMutedByUsIsTheStartingOwnership) {
    EXPECT_EQ(Ownership{}, Ownership::notMuted());
    EXPECT_FALSE(Ownership::notMuted().weMuted);
    EXPECT_EQ(Ownership::notMuted().strategy, Strategy::unavailable);
}

TEST(MuteControl, TheOutputsOwnControlWinsAndTheTapNeedsASession) {
    struct Row {
        bool session;
        bool canMute;
        Strategy expected;
    };
    for (const Row row :
         {Row{true, true, Strategy::device}, Row{true, false, Strategy::tap},
          Row{false, true, Strategy::device}, Row{false, false, Strategy::unavailable}}) {
        EXPECT_EQ(MuteControl::strategy(row.session, row.canMute), row.expected)
            << "session " << row.session << ", can mute " << row.canMute;
    }
}

TEST(MuteControl, UnmutingUndoesTheWayWeMuted) {
    EXPECT_EQ(MuteControl::unmuteStrategy({true, Strategy::tap}, Strategy::device), Strategy::tap);
    EXPECT_EQ(MuteControl::unmuteStrategy({true, Strategy::device}, Strategy::unavailable),
              Strategy::device);
    EXPECT_EQ(MuteControl::unmuteStrategy(Ownership::notMuted(), Strategy::device),
              Strategy::device);
}

TEST(MuteControl, ATapMuteEndsWithTheRaveAndADeviceMuteOutlivesIt) {
    EXPECT_EQ(MuteControl::afterTeardown({true, Strategy::tap}), Ownership::notMuted());
    const Ownership device{true, Strategy::device};
    EXPECT_EQ(MuteControl::afterTeardown(device), device);
    EXPECT_EQ(MuteControl::afterTeardown(Ownership::notMuted()), Ownership::notMuted());
}

TEST(MuteControl, ATapMuteCountsAsMutedThoughTheDeviceIsNot) {
    EXPECT_TRUE(MuteControl::isMuted({true, Strategy::tap}, false));
    EXPECT_FALSE(MuteControl::isMuted({true, Strategy::device}, false));
    EXPECT_TRUE(MuteControl::isMuted({true, Strategy::device}, true));
    EXPECT_TRUE(MuteControl::isMuted(Ownership::notMuted(), true));
    EXPECT_FALSE(MuteControl::isMuted(Ownership::notMuted(), false));
}

}  // namespace
}  // namespace zoranth
