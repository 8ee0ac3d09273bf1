// Whether guests can join a rave on this computer right now: can the host record the
// system audio (the sound server, and a sandbox's permission where there is one), can
// guests discover it (avahi-daemon, and mDNS through the firewall) and can they
// connect (the active firewall and the rave's steady port). Each check becomes a
// finding with user-facing text; no check ever fails. Also the discovery texts the
// front ends print. The checks block for seconds (D-Bus, child processes, a
// short-lived announcement): call them from a background thread, never from the
// window's thread; the text functions are pure.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/capture/audio_capability.h"
#include "host/checks/discovery_check.h"
#include "platform/avahi/service_registration.h"
#include "platform/firewall/firewall_inspection.h"

namespace zoranth {

struct SystemCheckup {
    enum class Verdict { ok, warning, problem, unknown };

    enum class Reason {
        firewallOff,
        allowed,
        portBlocked,
        firewallUnreadable,
        audioGranted,
        audioDenied,
        audioUndetermined,
        soundServerMissing,
        networkOK,
        avahiMissing,
        networkRefused,
        networkUnconfirmed,
        networkUntestable,
        mdnsBlocked,
        mdnsUnreadable,
        networkUnavailable,
    };

    struct Finding {
        std::string id;  // "audio", "network" or "firewall"
        std::string title;
        Verdict verdict = Verdict::unknown;
        std::string detail;
        std::string fix;  // empty when nothing is needed, or nothing was found to fix
        Reason reason = Reason::audioUndetermined;
        friend bool operator==(const Finding&, const Finding&) = default;
    };

    using FindingsHandler = std::function<void(std::vector<Finding>)>;

    // What the checks look at; tests point them elsewhere.
    struct Setup {
        FirewallInspection::Setup firewall;
        std::chrono::milliseconds discoveryPatience = DiscoveryCheck::patience;
        // Where avahi-daemon would be installed, for the fix when it is not running.
        std::string avahiProgram = "/usr/sbin/avahi-daemon";
        // Present on a machine that systemd booted.
        std::string systemdMarker = "/run/systemd/system";

        // This computer: firewallSetup() and the standard paths.
        static Setup standard();
    };

    // The firewall as guests meet it: the steady port (remembered now if no rave has
    // chosen one yet) and the interface guests use.
    static FirewallInspection::Setup firewallSetup();

    // audio, network, firewall, in that order. Blocks for up to about 10 s.
    static std::vector<Finding> runAll(const std::optional<AudioCapability::Verdict>& audio);
    static std::vector<Finding> runAll(const std::optional<AudioCapability::Verdict>& audio,
                                       const Setup& setup);
    // The same on a thread of its own; `done` runs there.
    static void runAllAsync(std::optional<AudioCapability::Verdict> audio, FindingsHandler done);

    // Absent verdict: not probed yet.
    static Finding audioFinding(const std::optional<AudioCapability::Verdict>& verdict);

    // Discovery as the outcome of the announcement and what the firewall does to mDNS.
    static Finding networkFinding(const DiscoveryCheck::Outcome& outcome,
                                  const FirewallInspection& firewall, const Setup& setup);

    // The firewall between guests and the steady port.
    static Finding firewallFinding(const FirewallInspection& firewall, std::uint16_t port);
    // Inspects the firewall now (up to a few seconds).
    static Finding checkFirewall();

    // What a rave nobody joins blames on the network: no network at all, or a rave
    // avahi-daemon never announced (its own failure where it gave one). Absent when
    // neither holds.
    static std::optional<Finding> unreachedFinding(
        bool networkUnavailable, bool listeningUnadvertised,
        const std::optional<ServiceRegistration::Failure>& failure, const Setup& setup);

    // What serve mode prints, after its "listening on port …" line, when avahi-daemon
    // never confirmed the rave's name: the daemon's own failure where it gave one.
    static std::vector<std::string> discoveryWarning(
        const std::optional<ServiceRegistration::Failure>& failure);

    // The words of the text joined by single spaces.
    static std::string tidy(std::string_view text);
};

}  // namespace zoranth
