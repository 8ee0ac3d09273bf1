#include "platform/network/local_interfaces.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>

#include <algorithm>

namespace zoranth {
namespace {

std::optional<std::string> numericOf(const sockaddr* address) {
    const socklen_t length =
        address->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    char host[NI_MAXHOST] = {};
    if (::getnameinfo(address, length, host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0 ||
        host[0] == '\0') {
        return std::nullopt;
    }
    return std::string(host);
}

}  // namespace

std::vector<LocalInterfaces::Address> LocalInterfaces::list() {
    ifaddrs* entries = nullptr;
    if (::getifaddrs(&entries) != 0) {
        return {};
    }
    std::vector<Address> addresses;
    for (const ifaddrs* entry = entries; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr ||
            (entry->ifa_addr->sa_family != AF_INET && entry->ifa_addr->sa_family != AF_INET6)) {
            continue;
        }
        auto numeric = numericOf(entry->ifa_addr);
        if (!numeric) {
            continue;
        }
        addresses.push_back({entry->ifa_name != nullptr ? entry->ifa_name : "", std::move(*numeric),
                             entry->ifa_addr->sa_family == AF_INET,
                             (entry->ifa_flags & IFF_UP) != 0,
                             (entry->ifa_flags & IFF_LOOPBACK) != 0});
    }
    ::freeifaddrs(entries);
    return addresses;
}

std::vector<std::string> LocalInterfaces::guestAddresses() {
    return guestAddresses(list());
}

std::vector<std::string> LocalInterfaces::guestAddresses(const std::vector<Address>& addresses) {
    std::vector<std::string> usable;
    for (const Address& address : addresses) {
        if (address.isIPv4 && address.isUp && !address.isLoopback &&
            std::ranges::find(usable, address.numeric) == usable.end()) {
            usable.push_back(address.numeric);
        }
    }
    return usable;
}

std::optional<std::string> LocalInterfaces::interfaceCarrying(const std::string& numeric) {
    for (const Address& address : list()) {
        if (address.numeric == numeric) {
            return address.interface;
        }
    }
    return std::nullopt;
}

}  // namespace zoranth
