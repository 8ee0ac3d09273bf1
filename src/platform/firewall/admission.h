// Whether a firewall lets one kind of new incoming traffic in (a guest's TCP
// connection to the rave's port, or an mDNS query on UDP 5353), and what decided it.
// A plain value: any thread.
#pragma once

#include <cstdint>
#include <string>

namespace zoranth {

struct Admission {
    enum class Case { allowed, blocked, unknown };
    Case kind = Case::unknown;
    // allowed, blocked: what decided it ("the default incoming policy DROP");
    // unknown: what could not be read and why.
    std::string why;

    static Admission allowed(std::string why) { return {Case::allowed, std::move(why)}; }
    static Admission blocked(std::string why) { return {Case::blocked, std::move(why)}; }
    static Admission unknown(std::string why) { return {Case::unknown, std::move(why)}; }
    friend bool operator==(const Admission&, const Admission&) = default;
};

// One kind of new incoming traffic: a transport protocol and a destination port.
struct Traffic {
    enum class Protocol { tcp, udp };
    Protocol protocol = Protocol::tcp;
    std::uint16_t port = 0;

    // "tcp" or "udp"
    const char* protocolName() const { return protocol == Protocol::tcp ? "tcp" : "udp"; }
    friend bool operator==(const Traffic&, const Traffic&) = default;
};

// mDNS, the queries phones send to find the rave.
inline constexpr Traffic mdnsTraffic{Traffic::Protocol::udp, 5353};

}  // namespace zoranth
