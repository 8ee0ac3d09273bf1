// Finds the firewall that is active on this computer and what it lets in: a guest's
// TCP connection to the rave's port, and mDNS (UDP 5353) for discovery. firewalld is
// asked over the system bus, ufw through its files, nftables through `nft -j list
// ruleset` where this user may run it. Blocking for up to a few seconds (D-Bus calls,
// one child process): call it from a background thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/firewall/admission.h"

namespace zoranth {

struct FirewallInspection {
    enum class Kind { none, firewalld, ufw, nftables };

    struct Setup {
        std::uint16_t guestPort = 0;
        std::string interfaceName;  // the interface guests use; empty when none is known
        std::string busAddress;     // empty: the system bus
        std::string ufwConfig = "/etc/ufw/ufw.conf";
        std::string ufwDefaults = "/etc/default/ufw";
        std::string ufwRules = "/etc/ufw/user.rules";
        std::string ufwBeforeRules = "/etc/ufw/before.rules";
        std::string nft = "/usr/sbin/nft";
        std::chrono::milliseconds timeout{3000};
    };

    Kind kind = Kind::none;
    // What is active, as a person would name it: "firewalld", "ufw", "nftables".
    std::string name;
    // firewalld: the zone that applies to guests, and whether it is the default one.
    std::string zone;
    bool zoneIsDefault = true;
    Admission guestPort = Admission::allowed("no firewall is active");  // TCP to the rave's port
    Admission mdns = Admission::allowed("no firewall is active");       // UDP 5353
    // What could not be looked at and why, when nothing was found active (a bus that
    // cannot be reached, nft without permission).
    std::vector<std::string> unread;

    // firewalld first (it runs nftables itself), then ufw, then nftables rules that
    // neither of them made.
    static FirewallInspection inspect(const Setup& setup);

    // ufw from its files alone (no bus, no nft).
    static FirewallInspection inspectUfw(const Setup& setup);
};

}  // namespace zoranth
