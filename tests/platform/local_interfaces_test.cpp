// Where guests reach this computer: the up, non-loopback IPv4 addresses, once each, in
// the system's order.
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/network/local_interfaces.h"

namespace zoranth {
namespace {

using Address = LocalInterfaces::Address;

TEST(LocalInterfaces, GuestsReachTheUpNonLoopbackIPv4AddressesOnceEachInOrder) {
    const std::vector<Address> addresses{
        {"lo", "127.0.0.1", true, true, true},
        {"wlan0", "192.168.1.20", true, true, false},
        {"wlan0", "fe80::1%wlan0", false, true, false},
        {"eth0", "10.0.0.5", true, false, false},  // down
        {"eth1", "10.0.0.7", true, true, false},
        {"eth1:1", "192.168.1.20", true, true, false},  // the same address again
    };
    EXPECT_EQ(LocalInterfaces::guestAddresses(addresses),
              (std::vector<std::string>{"192.168.1.20", "10.0.0.7"}));
}

TEST(LocalInterfaces, TheSystemsListHasTheLoopbackAndNamesItsInterface) {
    const auto addresses = LocalInterfaces::list();
    EXPECT_TRUE(std::ranges::any_of(addresses, [](const Address& address) {
        return address.numeric == "127.0.0.1" && address.isLoopback && address.isUp;
    }));
    EXPECT_EQ(LocalInterfaces::interfaceCarrying("127.0.0.1"), std::optional<std::string>("lo"));
    EXPECT_EQ(LocalInterfaces::interfaceCarrying("192.0.2.255"), std::nullopt);
    for (const auto& address : LocalInterfaces::guestAddresses()) {
        EXPECT_FALSE(address.starts_with("127.")) << address;
    }
}

}  // namespace
}  // namespace zoranth
