#include "host/wifi_link.h"

#include <gtest/gtest.h>
#include <net/if_arp.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace {

using zoranth::LinkCapacity;
using zoranth::RouteWatcher;
using zoranth::WiFiLink;
using zoranth::WirelessStation;
using Band = LinkCapacity::Band;
using PHYMode = LinkCapacity::PHYMode;
using HostAttachment = LinkCapacity::HostAttachment;
using Family = WirelessStation::RateFamily;

TEST(WiFiLinkBand, FollowsTheChannelFrequency) {
    const std::pair<std::optional<int>, Band> cases[] = {
        {2412, Band::twoPointFour}, {2484, Band::twoPointFour}, {5180, Band::fiveGHz}, {4920, Band::fiveGHz},
        {5885, Band::fiveGHz},      {5935, Band::sixGHz},       {5955, Band::sixGHz},  {7115, Band::sixGHz},
        {60480, Band::unknown},     {900, Band::unknown},       {std::nullopt, Band::unknown},
    };
    for (const auto& [frequency, band] : cases) {
        EXPECT_EQ(WiFiLink::band(frequency), band) << frequency.value_or(0) << " MHz";
    }
}

TEST(WiFiLinkPHYMode, FollowsTheModulationOfTheTransmitRate) {
    const struct {
        Family family;
        Band band;
        double mbps;
        PHYMode mode;
    } cases[] = {
        {Family::eht, Band::sixGHz, 2882, PHYMode::be},
        {Family::he, Band::fiveGHz, 1201, PHYMode::ax},
        {Family::vht, Band::fiveGHz, 866.7, PHYMode::ac},
        {Family::ht, Band::twoPointFour, 144.4, PHYMode::n},
        {Family::legacy, Band::twoPointFour, 11, PHYMode::legacy11b},
        {Family::legacy, Band::twoPointFour, 5.5, PHYMode::legacy11b},
        {Family::legacy, Band::twoPointFour, 54, PHYMode::legacy11g},
        {Family::legacy, Band::fiveGHz, 6, PHYMode::legacy11g},  // 802.11a counts as 11g
    };
    for (const auto& c : cases) {
        EXPECT_EQ(WiFiLink::phyMode(c.family, c.band, c.mbps), c.mode) << c.mbps << " Mbps";
    }
}

WirelessStation station(double mbps, std::optional<int> signal, std::optional<int> noise) {
    return {"wlan0", 5500, 80, mbps, Family::he, signal, noise};
}

TEST(WiFiLinkLink, IsAbsentWithoutAStationOrATransmitRate) {
    EXPECT_EQ(WiFiLink::link(std::nullopt), std::nullopt);
    EXPECT_EQ(WiFiLink::link(station(0, -50, -90)), std::nullopt);
}

TEST(WiFiLinkLink, CarriesTheStationsFactsAndTreatsZeroReadingsAsAbsent) {
    const auto full = WiFiLink::link(station(1134.2, -48, -95));
    EXPECT_EQ(full, (LinkCapacity::Link{Band::fiveGHz, PHYMode::ax, 1134.2, -48, -95}));
    const auto zeros = WiFiLink::link(station(300, 0, 0));
    ASSERT_TRUE(zeros.has_value());
    EXPECT_EQ(zeros->rssi, std::nullopt);
    EXPECT_EQ(zeros->noise, std::nullopt);
}

TEST(WiFiLinkDescribe, JoinsTheKnownPartsOrSaysWiFiIsOff) {
    using Link = LinkCapacity::Link;
    const struct {
        std::optional<Link> link;
        std::optional<int> width;
        const char* expected;
    } cases[] = {
        {Link{Band::fiveGHz, PHYMode::ax, 866.4, -51, -92}, 80, "5 GHz · Wi-Fi 6 · 80 MHz · 866 Mbps link · 41 dB SNR"},
        {Link{Band::twoPointFour, PHYMode::n, 72.2, -60, std::nullopt}, std::nullopt, "2.4 GHz · Wi-Fi 4 · 72 Mbps link"},
        {Link{Band::unknown, PHYMode::unknown, 6, std::nullopt, -90}, 20, "unknown band · unknown · 20 MHz · 6 Mbps link"},
        {std::nullopt, 80, "Wi-Fi is off or not joined to a network"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(WiFiLink::describe(c.link, c.width), c.expected);
    }
}

RouteWatcher::Interface interface(const std::string& name, bool defaultRoute, bool wireless = false,
                                  unsigned short linkType = ARPHRD_ETHER) {
    RouteWatcher::Interface entry;
    entry.name = name;
    entry.linkType = linkType;
    entry.up = true;
    entry.wireless = wireless;
    entry.addresses = 1;
    entry.carriesDefaultRoute = defaultRoute;
    return entry;
}

RouteWatcher::Interface loopback() {
    auto entry = interface("lo", false, false, ARPHRD_LOOPBACK);
    entry.loopback = true;
    return entry;
}

RouteWatcher::Interface down(RouteWatcher::Interface entry) {
    entry.up = false;
    return entry;
}

TEST(WiFiLinkAttachment, ComesFromTheInterfacesTrafficLeavesBy) {
    using Snapshot = RouteWatcher::Snapshot;
    const struct {
        const char* label;
        std::optional<Snapshot> path;
        HostAttachment expected;
    } cases[] = {
        {"noPath", std::nullopt, HostAttachment::unknown},
        {"onlyLoopback", Snapshot{{loopback()}}, HostAttachment::unknown},
        {"wiredDefault", Snapshot{{loopback(), interface("eth0", true)}}, HostAttachment::ethernet},
        {"wirelessDefault", Snapshot{{loopback(), interface("wlan0", true, true)}}, HostAttachment::wifi},
        {"wiredWinsOverWireless", Snapshot{{interface("wlan0", true, true), interface("eth0", true)}},
         HostAttachment::ethernet},
        {"wiredWithoutTheRouteLosesToWireless", Snapshot{{interface("eth0", false), interface("wlan0", true, true)}},
         HostAttachment::wifi},
        {"noGatewayAnywhere", Snapshot{{interface("eth0", false)}}, HostAttachment::ethernet},
        {"routeOverADownInterface", Snapshot{{down(interface("eth0", true))}}, HostAttachment::unknown},
        {"vpnTunnelOnly", Snapshot{{interface("tun0", true, false, ARPHRD_NONE)}}, HostAttachment::unknown},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(WiFiLink::attachment(c.path), c.expected) << c.label;
    }
}

bool hasWirelessInterface() {
    std::error_code ignored;
    for (const auto& device : std::filesystem::directory_iterator("/sys/class/net", ignored)) {
        if (std::filesystem::exists(device.path() / "wireless", ignored)) {
            return true;
        }
    }
    return false;
}

TEST(WiFiLinkCurrent, WithoutWiFiTheLinkIsAbsentAndTheDescriptionSaysSo) {
    if (hasWirelessInterface()) {
        GTEST_SKIP() << "this machine has a Wi-Fi interface";
    }
    const auto link = WiFiLink::current();
    EXPECT_EQ(link, std::nullopt);
    EXPECT_EQ(WiFiLink::channelWidthMHz(), std::nullopt);
    EXPECT_EQ(WiFiLink::describe(link), "Wi-Fi is off or not joined to a network");
}

}  // namespace
