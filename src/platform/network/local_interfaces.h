// This computer's network interfaces and their addresses, as the system lists them
// (getifaddrs): where guests can reach the host, and which interface carries an address.
// Reads the system's list anew on every call; any thread.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace zoranth {

struct LocalInterfaces {
    LocalInterfaces() = delete;

    struct Address {
        std::string interface;  // "wlan0"
        std::string numeric;    // "192.168.1.20", "fe80::1%wlan0"
        bool isIPv4 = false;
        bool isUp = false;
        bool isLoopback = false;
        friend bool operator==(const Address&, const Address&) = default;
    };

    // Every IPv4 and IPv6 address, in the system's interface order; empty when the list
    // cannot be read.
    static std::vector<Address> list();

    // The IPv4 addresses of every interface that is up and not a loopback, in interface
    // order, without repeats: where guests on the local network reach this computer.
    static std::vector<std::string> guestAddresses();
    static std::vector<std::string> guestAddresses(const std::vector<Address>& addresses);

    // The interface that carries this numeric address (IPv4, or IPv6 without a scope).
    static std::optional<std::string> interfaceCarrying(const std::string& numeric);
};

}  // namespace zoranth
