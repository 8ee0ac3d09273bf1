// The join link: its form, and which of this computer's addresses guests are given.
#include "host/web/join_link.h"

#include <gtest/gtest.h>

namespace {

using zoranth::JoinLink;
using Address = zoranth::LocalInterfaces::Address;

Address v4(std::string interface, std::string address, bool loopback = false) {
    return {std::move(interface), std::move(address), true, true, loopback};
}

Address v6(std::string interface, std::string address) {
    return {std::move(interface), std::move(address), false, true, false};
}

TEST(JoinLink, TheLinkNamesAddressAndPort) {
    EXPECT_EQ(JoinLink::url("192.168.1.20", 5000), "http://192.168.1.20:5000/");
    EXPECT_EQ(JoinLink::url("2001:db8::7", 443), "http://[2001:db8::7]:443/");
}

TEST(JoinLink, GuestsGetTheAddressTheyCanReach) {
    const Address lo = v4("lo", "127.0.0.1", true);
    const Address docker = v4("docker0", "172.17.0.1");
    const Address wifi = v4("wlan0", "192.168.1.20");
    const Address linkLocal = v4("eth0", "169.254.3.4");
    const Address global6 = v6("wlan0", "2001:db8::7");
    const Address local6 = v6("wlan0", "fe80::1%wlan0");
    Address down = v4("eth1", "10.0.0.5");
    down.isUp = false;

    struct Case {
        std::optional<std::string> listen;
        std::vector<Address> addresses;
        std::vector<std::string> routed;
        std::string expected;
    };
    const Case cases[] = {
        {"127.0.0.1", {lo, wifi}, {"wlan0"}, "127.0.0.1"},           // listening on one address
        {"0.0.0.0", {lo, docker, wifi}, {"wlan0"}, "192.168.1.20"},  // the routed interface
        {std::nullopt, {lo, docker, wifi}, {"wlan0"}, "192.168.1.20"},
        {std::nullopt, {lo, docker, wifi}, {}, "172.17.0.1"},  // no route: the first usable
        {std::nullopt, {lo, linkLocal, down, local6, global6}, {}, "2001:db8::7"},
        {std::nullopt, {lo, linkLocal, local6}, {}, "127.0.0.1"},  // no network at all
        {std::nullopt, {}, {}, "127.0.0.1"},
    };
    for (const Case& each : cases) {
        EXPECT_EQ(JoinLink::guestAddress(each.listen, each.addresses, each.routed), each.expected);
    }
}

TEST(JoinLink, ThisComputerHasALink) {
    const std::string link = JoinLink::forThisComputer(std::nullopt, 5000);
    EXPECT_TRUE(link.starts_with("http://")) << link;
    EXPECT_TRUE(link.ends_with(":5000/")) << link;
    EXPECT_EQ(JoinLink::forThisComputer("127.0.0.1", 8), "http://127.0.0.1:8/");
}

}  // namespace
