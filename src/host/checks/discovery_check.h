// Whether guests can discover this computer: is avahi-daemon reachable over the system
// D-Bus, and does it establish a short-lived announcement ("_zoranthcheck._tcp", a
// loopback listener, at most a few seconds)? begin() is callable from any thread except
// the I/O threads and blocks while it asks the bus; the announcement runs on its own
// strand of the I/O threads and its result arrives there (or, when avahi-daemon is not
// there to ask, at once on the calling thread).
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "platform/avahi/avahi_daemon.h"

namespace zoranth {

struct DiscoveryCheck {
    struct Outcome {
        enum class Case {
            confirmed,       // avahi-daemon established the announcement
            busUnreachable,  // no system bus to reach avahi-daemon on
            daemonMissing,   // avahi-daemon is not running (or went away)
            refused,         // avahi-daemon refused the announcement
            unconfirmed,     // no answer within the patience
            untestable,      // no listener could be set up here
        };
        Case kind = Case::untestable;
        // The failing component's own text (Avahi's, the bus's, the socket's); for
        // confirmed, avahi-daemon's version.
        std::string text;
        friend bool operator==(const Outcome&, const Outcome&) = default;
    };

    using Handler = std::function<void(Outcome)>;

    static constexpr const char* serviceType = "_zoranthcheck._tcp";
    static constexpr std::chrono::milliseconds patience{4000};
    static constexpr int patienceSeconds = 4;

    // Asks the bus first (a missing daemon is told at once, without waiting), then
    // advertises. `done` runs exactly once, after the listener and its advertisement
    // are gone. Both go to the system bus ($DBUS_SYSTEM_BUS_ADDRESS).
    static void begin(Handler done, std::chrono::milliseconds patience = DiscoveryCheck::patience);

    // What the bus's answer about avahi-daemon means when it is not there.
    static Outcome outcomeOf(const AvahiDaemon::Failure& failure);

    // The same, waiting for the outcome.
    static Outcome run(std::chrono::milliseconds patience = DiscoveryCheck::patience);
};

}  // namespace zoranth
