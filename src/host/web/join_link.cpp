#include "host/web/join_link.h"

#include <algorithm>
#include <array>
#include <fstream>
#include <functional>
#include <sstream>

namespace zoranth {
namespace {

bool isUnspecified(std::string_view address) {
    return address.empty() || address == "0.0.0.0" || address == "::";
}

// Link-local addresses (169.254/16, fe80::/10) change with every attachment and are
// no address a phone on the network is given.
bool usable(const LocalInterfaces::Address& entry) {
    const bool linkLocal = entry.numeric.starts_with("169.254.") ||
                           entry.numeric.starts_with("fe80:") || entry.numeric.starts_with("FE80:");
    return entry.isUp && !entry.isLoopback && !linkLocal;
}

}  // namespace

std::string JoinLink::url(std::string_view address, std::uint16_t port) {
    const bool bracketed = address.find(':') != std::string_view::npos;
    std::string link = "http://";
    link += bracketed ? "[" + std::string(address) + "]" : std::string(address);
    link += ":" + std::to_string(port) + "/";
    return link;
}

std::string JoinLink::guestAddress(const std::optional<std::string>& listenAddress,
                                   const std::vector<LocalInterfaces::Address>& addresses,
                                   const std::vector<std::string>& defaultRouteInterfaces) {
    if (listenAddress && !isUnspecified(*listenAddress)) {
        return *listenAddress;
    }
    const auto routed = [&](const LocalInterfaces::Address& entry) {
        return std::find(defaultRouteInterfaces.begin(), defaultRouteInterfaces.end(),
                         entry.interface) != defaultRouteInterfaces.end();
    };
    const std::array<std::function<bool(const LocalInterfaces::Address&)>, 3> preferences = {
        [&](const LocalInterfaces::Address& entry) {
            return usable(entry) && entry.isIPv4 && routed(entry);
        },
        [&](const LocalInterfaces::Address& entry) { return usable(entry) && entry.isIPv4; },
        [&](const LocalInterfaces::Address& entry) { return usable(entry); },
    };
    for (const auto& preferred : preferences) {
        const auto found = std::find_if(addresses.begin(), addresses.end(), preferred);
        if (found != addresses.end()) {
            return found->numeric;
        }
    }
    return "127.0.0.1";
}

std::vector<std::string> JoinLink::defaultRouteInterfaces() {
    // "Iface Destination Gateway Flags ..." with the destination in hex: 00000000 is
    // the default route.
    std::vector<std::string> result;
    std::ifstream routes("/proc/net/route");
    std::string line;
    std::getline(routes, line);
    while (std::getline(routes, line)) {
        std::istringstream fields(line);
        std::string interface;
        std::string destination;
        if (fields >> interface >> destination && destination == "00000000") {
            result.push_back(interface);
        }
    }
    return result;
}

std::string JoinLink::forThisComputer(const std::optional<std::string>& listenAddress,
                                      std::uint16_t port) {
    return url(guestAddress(listenAddress, LocalInterfaces::list(), defaultRouteInterfaces()),
               port);
}

}  // namespace zoranth
