#include "protocol/wire_format.h"

#include <gtest/gtest.h>

namespace zoranth {
namespace {

TEST(WireConstants, HeaderMagicAndLimitsAgree) {
    EXPECT_EQ(WireConstants::magicBE, std::uint32_t{WireConstants::magic[0]} << 24 |
                                          std::uint32_t{WireConstants::magic[1]} << 16 |
                                          std::uint32_t{WireConstants::magic[2]} << 8 |
                                          WireConstants::magic[3]);
    EXPECT_EQ(WireConstants::maxFrame, 65543);
}

TEST(RawValues, OnlyValuesWithACaseConstruct) {
    EXPECT_FALSE(messageTypeFromRaw(0));
    EXPECT_FALSE(messageTypeFromRaw(10));
    EXPECT_FALSE(messageTypeFromRaw(255));
    for (const auto type : allMessageTypes) {
        EXPECT_EQ(messageTypeFromRaw(static_cast<std::uint8_t>(type)), type);
    }
    EXPECT_EQ(routeKindFromRaw(4), RouteKind::airPlay);
    EXPECT_FALSE(routeKindFromRaw(5));
    EXPECT_EQ(Cue::kindFromRaw(1), Cue::Kind::drop);
    EXPECT_EQ(Cue::kindFromRaw(5), Cue::Kind::energy);
    EXPECT_FALSE(Cue::kindFromRaw(0));
    EXPECT_FALSE(Cue::kindFromRaw(6));
}

TEST(ClientStat, ComposesFlagsFromBooleansAndRoute) {
    EXPECT_EQ(ClientStat::composeFlags(true, false, true, false, RouteKind::bluetooth), 0x0035);
    EXPECT_EQ(ClientStat::composeFlags(false, true, false, true, RouteKind::airPlay), 0x004A);
    // A raw value outside the route bits must not spill into bits 7-15.
    EXPECT_EQ(ClientStat::composeFlags(false, false, false, false, static_cast<RouteKind>(12)),
              0x0040);
}

TEST(ClientStat, ReadsFlagBitsAndRoute) {
    ClientStat stat;
    stat.flags = 0xFF8A;  // locked, clamped, route 0, high bits set
    EXPECT_FALSE(stat.hasMeasurement());
    EXPECT_TRUE(stat.isLocked());
    EXPECT_FALSE(stat.isCalibrated());
    EXPECT_TRUE(stat.isClamped());

    const std::pair<std::uint16_t, RouteKind> routes[] = {
        {0x0010, RouteKind::speaker}, {0x0020, RouteKind::wired},   {0x0030, RouteKind::bluetooth},
        {0x0040, RouteKind::airPlay}, {0x0050, RouteKind::unknown}, {0x0070, RouteKind::unknown},
    };
    for (const auto& [flags, route] : routes) {
        stat.flags = flags;
        EXPECT_EQ(stat.route(), route) << std::hex << flags;
    }
}

TEST(ClientStat, SyncErrorInMilliseconds) {
    ClientStat stat;
    stat.syncErrorMicros = -1500;
    EXPECT_DOUBLE_EQ(stat.syncErrorMs(), -1.5);
}

TEST(RouteKind, OnlyWirelessRoutesNeedCalibration) {
    EXPECT_TRUE(needsCalibration(RouteKind::bluetooth));
    EXPECT_TRUE(needsCalibration(RouteKind::airPlay));
    EXPECT_FALSE(needsCalibration(RouteKind::wired));
    EXPECT_FALSE(needsCalibration(RouteKind::speaker));
    EXPECT_FALSE(needsCalibration(RouteKind::unknown));
}

TEST(Hello, BytesPerFrameAndValidity) {
    const Hello stereo{48000, 2, 16, 960, 1500};
    EXPECT_EQ(stereo.bytesPerFrame(), 4);
    EXPECT_TRUE(stereo.isValid());
    EXPECT_FALSE((Hello{0, 2, 16, 960, 1500}.isValid()));
    EXPECT_FALSE((Hello{48000, 0, 16, 960, 1500}.isValid()));
    EXPECT_FALSE((Hello{48000, 2, 24, 960, 1500}.isValid()));
    EXPECT_TRUE((Hello{44100, 1, 16, 0, 0}.isValid()));
}

TEST(ClientState, OnlyBitZeroMeansPaused) {
    EXPECT_TRUE(ClientState::fromFlags(0xFF).isPaused);
    EXPECT_FALSE(ClientState::fromFlags(0xFE).isPaused);
    EXPECT_EQ(ClientState{true}.flags(), 1);
    EXPECT_EQ(ClientState{false}.flags(), 0);
}

TEST(Cue, TextFormForLogs) {
    struct Case {
        std::uint8_t kind, value, value2;
        const char* text;
    };
    const Case cases[] = {
        {1, 7, 0, "drop (intensity 7)"},
        {2, 9, 9, "breakdown"},
        {3, 0, 0, "build"},
        {4, 0, 0, "chord C"},
        {4, 1, 1, "chord C#m"},
        {4, 11, 2, "chord B"},
        {4, 13, 1, "chord C#m"},  // the root is taken modulo 12
        {4, 255, 0, "chord D#"},
        {5, 42, 0, "energy 42"},
        {0, 1, 1, "kind 0"},
        {200, 1, 1, "kind 200"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ((Cue{0, c.kind, c.value, c.value2}.text()), c.text);
    }
}

TEST(Message, ComparesCaseAndValues) {
    const Message hello = Hello{48000, 2, 16, 960, 1500};
    EXPECT_EQ(hello, Message(Hello{48000, 2, 16, 960, 1500}));
    EXPECT_NE(hello, Message(Hello{48000, 1, 16, 960, 1500}));
    EXPECT_NE(Message(Message::Bye{}), Message(Message::Unknown{6, 0}));
    EXPECT_NE(Message(TimeReq{5}), Message(TimeResp{5, 0}));
    EXPECT_NE(Message(Message::Audio{{}, {1}}), Message(Message::Audio{{}, {2}}));
    EXPECT_TRUE(hello.is<Hello>());
    EXPECT_EQ(hello.as<Hello>()->channels, 2);
    EXPECT_EQ(hello.as<Beat>(), nullptr);
}

}  // namespace
}  // namespace zoranth
