// Asks firewalld over its D-Bus API on the system bus (sd-bus) what it is doing:
// whether it runs, its default zone, the zone of the interface guests use, and what
// that zone lets in where firewalld lets this user read it. Blocking, each call at
// most `timeout`: call it from a background thread.
#pragma once

#include <chrono>
#include <expected>
#include <optional>
#include <string>

#include "platform/firewall/firewalld_zone.h"

namespace zoranth {

struct FirewalldBus {
    // A D-Bus call that failed: its error name and message, or the sd-bus call and its
    // errno text when no message came back.
    struct Failure {
        std::string name;  // "org.fedoraproject.FirewallD1.NotAuthorizedException"
        std::string text;
        // "name: text", or the text alone without a name.
        std::string describe() const;
        friend bool operator==(const Failure&, const Failure&) = default;
    };

    // What firewalld told this user; a part it would not tell is empty, and the zone
    // then holds the refusal.
    struct State {
        std::string state;  // firewalld's own word: "RUNNING", "INIT", "FAILED"
        std::string defaultZone;
        std::string interfaceZone;  // the zone bound to the interface; empty: the default
        // The zone that applies to the interface, or why it could not be read.
        std::expected<FirewalldZone, Failure> zone = std::unexpected(Failure{});
        friend bool operator==(const State&, const State&) = default;
    };

    struct Setup {
        // Empty: the system bus ($DBUS_SYSTEM_BUS_ADDRESS or its standard socket).
        std::string busAddress;
        // The interface guests reach this computer through; empty when none is known.
        std::string interfaceName;
        std::chrono::milliseconds timeout{3000};
    };

    static constexpr const char* serviceName = "org.fedoraproject.FirewallD1";

    // Absent when firewalld is not on the bus; a failure when the bus cannot be
    // reached.
    static std::expected<std::optional<State>, Failure> inspect(const Setup& setup);
};

}  // namespace zoranth
