#include "host/link_capacity.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using zoranth::LinkCapacity;
using Band = LinkCapacity::Band;
using PHYMode = LinkCapacity::PHYMode;
using HostAttachment = LinkCapacity::HostAttachment;
using Link = LinkCapacity::Link;

TEST(LinkCapacityLabel, NamesEveryGeneration) {
    const std::pair<PHYMode, const char*> cases[] = {
        {PHYMode::legacy11b, "802.11b"}, {PHYMode::legacy11g, "802.11g"}, {PHYMode::n, "Wi-Fi 4"},
        {PHYMode::ac, "Wi-Fi 5"},        {PHYMode::ax, "Wi-Fi 6"},        {PHYMode::be, "Wi-Fi 7"},
        {PHYMode::unknown, "unknown"},
    };
    for (const auto& [mode, label] : cases) {
        EXPECT_EQ(LinkCapacity::label(mode), label);
    }
}

const std::string onTwoPointFour =
    "You're on 2.4 GHz. It carries roughly a tenth of what 5 GHz does and is shared with every neighbour's "
    "network. Moving the party to a 5 GHz SSID is worth more than everything else here combined.";
const std::string plugIn =
    "Plug this computer into Ethernet. It sends a separate copy of the audio to every guest, so on Wi-Fi it competes "
    "for airtime with its own listeners and roughly halves what the network can carry.";
const std::string extender =
    "Guests going through a range extender or mesh node cost twice the airtime, because everything crosses the "
    "air on the way in and again on the way out. A single well-placed access point beats two chained ones.";

std::string weak(int snr) {
    return "This computer's signal is weak (" + std::to_string(snr) +
           " dB above noise). Guests further from the access point than it is will be slower still, and one "
           "slow guest costs more airtime than several fast ones.";
}

Link link(Band band, std::optional<int> rssi, std::optional<int> noise) {
    return Link{band, PHYMode::ax, 600, rssi, noise};
}

struct AdviceCase {
    const char* label;
    std::optional<Link> link;
    HostAttachment attachment;
    bool throughExtender;
    std::vector<std::string> expected;
};

class Advice : public ::testing::TestWithParam<AdviceCase> {};

TEST_P(Advice, GivesTheLinesThatApplyInOrder) {
    const auto& c = GetParam();
    EXPECT_EQ(LinkCapacity::advice(c.link, c.attachment, c.throughExtender), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Advice,
    ::testing::Values(
        AdviceCase{"everythingWrong", link(Band::twoPointFour, -70, -90), HostAttachment::wifi, true,
                   {onTwoPointFour, plugIn, extender, weak(20)}},
        AdviceCase{"wiredOnGoodFiveGHz", link(Band::fiveGHz, -50, -92), HostAttachment::ethernet, false, {}},
        AdviceCase{"wifiOffButOnWifi", std::nullopt, HostAttachment::wifi, false, {plugIn}},
        AdviceCase{"wifiOffThroughExtender", std::nullopt, HostAttachment::unknown, true, {extender}},
        AdviceCase{"snrExactly24IsWeak", link(Band::sixGHz, -66, -90), HostAttachment::ethernet, false, {weak(24)}},
        AdviceCase{"snr25IsNot", link(Band::sixGHz, -65, -90), HostAttachment::ethernet, false, {}},
        AdviceCase{"noNoiseNoVerdict", link(Band::fiveGHz, -85, std::nullopt), HostAttachment::ethernet, false, {}},
        AdviceCase{"unknownBandIsNotTwoPointFour", link(Band::unknown, std::nullopt, std::nullopt),
                   HostAttachment::unknown, false, {}}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
