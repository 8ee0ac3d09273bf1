// One firewalld zone as its D-Bus API describes it (getZoneSettings2) and what it
// lets in: its target, its services and its ports. Pure values: any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/firewall/admission.h"

namespace zoranth {

struct FirewalldZone {
    struct Port {
        std::string port;      // "40000" or a range "40000-40010"
        std::string protocol;  // "tcp", "udp", "sctp", "dccp"
        friend bool operator==(const Port&, const Port&) = default;
    };

    // A service the zone lets in, with the ports firewalld defines for it.
    struct Service {
        std::string name;
        std::vector<Port> ports;
        friend bool operator==(const Service&, const Service&) = default;
    };

    std::string name;
    std::string target = "default";  // "default", "ACCEPT", "DROP" or "%%REJECT%%"
    std::vector<Service> services;
    std::vector<Port> ports;

    // The zone's answer for the traffic: the target ACCEPT lets everything in; a port
    // or a service it names lets it in; anything else is rejected or dropped.
    Admission admits(Traffic traffic) const;

    // Whether "40000" or "40000-40010" holds the port.
    static bool rangeHolds(std::string_view range, std::uint16_t port);

    friend bool operator==(const FirewalldZone&, const FirewalldZone&) = default;
};

}  // namespace zoranth
