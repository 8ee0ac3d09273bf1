// The link a guest's phone opens to join the rave: "http://<address>:<port>/", with
// the address of the network interface guests reach this computer through. Pure
// choices over the interface list, plus one reader of this machine's routes.
// Any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/network/local_interfaces.h"

namespace zoranth {

struct JoinLink {
    // "http://192.168.1.20:5000/"; an IPv6 address goes in brackets.
    static std::string url(std::string_view address, std::uint16_t port);

    // The address guests use: the listening address when the host listens on one
    // address only; else an IPv4 address of an interface carrying a default route;
    // else any other usable IPv4 address, then a global IPv6 one; loopback last, so
    // a computer without a network still shows a link that works on itself.
    static std::string guestAddress(const std::optional<std::string>& listenAddress,
                                    const std::vector<LocalInterfaces::Address>& addresses,
                                    const std::vector<std::string>& defaultRouteInterfaces);

    // The interfaces that carry an IPv4 default route (/proc/net/route).
    static std::vector<std::string> defaultRouteInterfaces();

    // The link for this machine as it is now: guestAddress() over its interfaces.
    static std::string forThisComputer(const std::optional<std::string>& listenAddress,
                                       std::uint16_t port);
};

}  // namespace zoranth
