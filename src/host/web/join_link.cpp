#include "host/web/join_link.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

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

bool usable(const JoinLink::InterfaceAddress& entry) {
    return entry.isUp && !entry.isLoopback && !entry.isLinkLocal;
}

std::optional<JoinLink::InterfaceAddress> describe(const ifaddrs& entry) {
    if (entry.ifa_addr == nullptr) {
        return std::nullopt;
    }
    JoinLink::InterfaceAddress result;
    result.interface = entry.ifa_name != nullptr ? entry.ifa_name : "";
    result.isUp = (entry.ifa_flags & IFF_UP) != 0 && (entry.ifa_flags & IFF_RUNNING) != 0;
    result.isLoopback = (entry.ifa_flags & IFF_LOOPBACK) != 0;
    std::array<char, INET6_ADDRSTRLEN> text{};
    if (entry.ifa_addr->sa_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(entry.ifa_addr);
        ::inet_ntop(AF_INET, &v4->sin_addr, text.data(), text.size());
        const std::uint32_t host = ntohl(v4->sin_addr.s_addr);
        result.isLinkLocal = (host >> 16) == 0xA9FE;  // 169.254/16
    } else if (entry.ifa_addr->sa_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(entry.ifa_addr);
        ::inet_ntop(AF_INET6, &v6->sin6_addr, text.data(), text.size());
        result.isIPv6 = true;
        result.isLinkLocal = IN6_IS_ADDR_LINKLOCAL(&v6->sin6_addr);
    } else {
        return std::nullopt;
    }
    result.address = text.data();
    return result;
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
                                   const std::vector<InterfaceAddress>& addresses,
                                   const std::vector<std::string>& defaultRouteInterfaces) {
    if (listenAddress && !isUnspecified(*listenAddress)) {
        return *listenAddress;
    }
    const auto routed = [&](const InterfaceAddress& entry) {
        return std::find(defaultRouteInterfaces.begin(), defaultRouteInterfaces.end(),
                         entry.interface) != defaultRouteInterfaces.end();
    };
    const std::array<std::function<bool(const InterfaceAddress&)>, 3> preferences = {
        [&](const InterfaceAddress& entry) {
            return usable(entry) && !entry.isIPv6 && routed(entry);
        },
        [&](const InterfaceAddress& entry) { return usable(entry) && !entry.isIPv6; },
        [&](const InterfaceAddress& entry) { return usable(entry); },
    };
    for (const auto& preferred : preferences) {
        const auto found = std::find_if(addresses.begin(), addresses.end(), preferred);
        if (found != addresses.end()) {
            return found->address;
        }
    }
    return "127.0.0.1";
}

std::vector<JoinLink::InterfaceAddress> JoinLink::interfaceAddresses() {
    std::vector<InterfaceAddress> result;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        return result;
    }
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (auto described = describe(*entry)) {
            result.push_back(std::move(*described));
        }
    }
    ::freeifaddrs(list);
    return result;
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
    return url(guestAddress(listenAddress, interfaceAddresses(), defaultRouteInterfaces()), port);
}

}  // namespace zoranth
