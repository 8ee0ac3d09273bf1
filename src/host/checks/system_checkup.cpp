#include "host/checks/system_checkup.h"

#include <pthread.h>
#include <unistd.h>

#include <thread>

#include "host/checks/firewall_fix.h"
#include "host/net/network_watch.h"
#include "host/net/steady_port.h"

namespace zoranth {
namespace {

using Verdict = SystemCheckup::Verdict;
using Reason = SystemCheckup::Reason;
using Finding = SystemCheckup::Finding;

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool exists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

Finding networkResult(Verdict verdict, std::string detail, std::string fix, Reason reason) {
    return {"network", "Guests finding this computer", verdict, std::move(detail), std::move(fix),
            reason};
}

Finding firewallResult(Verdict verdict, std::string detail, std::string fix, Reason reason) {
    return {"firewall",        "Letting guests connect", verdict,
            std::move(detail), std::move(fix),           reason};
}

// How to read rules that this user may not: the active firewall's own listing.
std::string seeRules(const FirewallInspection& firewall) {
    switch (firewall.kind) {
        case FirewallInspection::Kind::ufw:
            return "See its rules with: sudo ufw status verbose";
        case FirewallInspection::Kind::firewalld:
            return firewall.zone.empty()
                       ? "See the default zone with: sudo firewall-cmd --list-all"
                       : "See the zone with: sudo firewall-cmd --zone=" + firewall.zone +
                             " --list-all";
        case FirewallInspection::Kind::nftables:
            return "See the rules with: sudo nft list ruleset";
        case FirewallInspection::Kind::none:
            break;
    }
    return {};
}

// The commands that let guests in through the active firewall, or what to do where
// there are none to offer (rules written for nftables by hand).
std::string letIn(const FirewallInspection& firewall, std::uint16_t port, const char* what) {
    const std::string command = FirewallFix::manual(FirewallFix::commandsFor(firewall, port));
    if (command.empty()) {
        return std::string("Add an nftables rule that accepts ") + what + ".";
    }
    return "Let them in with: " + command;
}

std::string avahiFix(const SystemCheckup::Setup& setup) {
    if (!exists(setup.avahiProgram)) {
        return "Install avahi-daemon (on Debian and Ubuntu: sudo apt install avahi-daemon) and "
               "start it.";
    }
    if (exists(setup.systemdMarker)) {
        return "Start it with: sudo systemctl enable --now avahi-daemon";
    }
    return "Start avahi-daemon (" + setup.avahiProgram + ") as root.";
}

}  // namespace

FirewallInspection::Setup SystemCheckup::firewallSetup() {
    FirewallInspection::Setup setup;
    setup.guestPort = SteadyPort().settle();
    setup.interfaceName = NetworkWatch::guestInterface().value_or("");
    return setup;
}

SystemCheckup::Setup SystemCheckup::Setup::standard() {
    Setup setup;
    setup.firewall = firewallSetup();
    return setup;
}

std::vector<Finding> SystemCheckup::runAll(const std::optional<AudioCapability::Verdict>& audio) {
    return runAll(audio, Setup::standard());
}

std::vector<Finding> SystemCheckup::runAll(const std::optional<AudioCapability::Verdict>& audio,
                                           const Setup& setup) {
    const FirewallInspection firewall = FirewallInspection::inspect(setup.firewall);
    std::vector<Finding> findings;
    findings.push_back(audioFinding(audio));
    findings.push_back(
        networkFinding(DiscoveryCheck::run(setup.discoveryPatience), firewall, setup));
    findings.push_back(firewallFinding(firewall, setup.firewall.guestPort));
    return findings;
}

void SystemCheckup::runAllAsync(std::optional<AudioCapability::Verdict> audio,
                                FindingsHandler done) {
    // A thread of its own: the checks block for seconds, which would hold up a queue
    // thread that guests' connections need.
    std::thread([audio = std::move(audio), done = std::move(done)] {
        pthread_setname_np(pthread_self(), "zoranth-checkup");
        done(runAll(audio));
    }).detach();
}

Finding SystemCheckup::audioFinding(const std::optional<AudioCapability::Verdict>& verdict) {
    Finding finding{"audio", "Hearing this computer",  Verdict::unknown, "Not checked yet.",
                    "",      Reason::audioUndetermined};
    if (!verdict) {
        return finding;
    }
    using Case = AudioCapability::Verdict::Case;
    switch (verdict->which) {
        case Case::granted:
            finding.verdict = Verdict::ok;
            finding.detail = "Zoranth can hear this computer.";
            finding.reason = Reason::audioGranted;
            break;
        case Case::denied:
            finding.verdict = Verdict::problem;
            finding.detail = "The " + verdict->sandbox.label() +
                             " sandbox keeps Zoranth from recording this computer's audio (the "
                             "sound server said: " +
                             verdict->reason + ").";
            finding.fix = "Let it record, then start Zoranth again: " + verdict->sandbox.audioFix();
            finding.reason = Reason::audioDenied;
            break;
        case Case::unreachable:
            finding.verdict = Verdict::problem;
            finding.detail = "Zoranth cannot reach the sound server: " + verdict->reason + ".";
            finding.fix =
                "Start PulseAudio or PipeWire's pulse service for this user, then check "
                "again.";
            finding.reason = Reason::soundServerMissing;
            break;
        case Case::undetermined:
            finding.detail = "Could not tell: " + verdict->reason;
            break;
    }
    return finding;
}

Finding SystemCheckup::networkFinding(const DiscoveryCheck::Outcome& outcome,
                                      const FirewallInspection& firewall, const Setup& setup) {
    using Case = DiscoveryCheck::Outcome::Case;
    switch (outcome.kind) {
        case Case::busUnreachable:
            return networkResult(Verdict::problem,
                                 "The D-Bus system bus cannot be reached (" + outcome.text +
                                     "), so avahi-daemon cannot announce this computer.",
                                 "", Reason::avahiMissing);
        case Case::daemonMissing:
            return networkResult(Verdict::problem,
                                 "avahi-daemon is not running (" + outcome.text +
                                     "), so guests cannot discover this computer.",
                                 avahiFix(setup), Reason::avahiMissing);
        case Case::refused:
            return networkResult(
                Verdict::problem,
                "avahi-daemon refused to announce this computer: " + outcome.text + ".", "",
                Reason::networkRefused);
        case Case::unconfirmed:
            return networkResult(Verdict::problem,
                                 "avahi-daemon did not confirm the announcement within " +
                                     std::to_string(DiscoveryCheck::patienceSeconds) + " seconds.",
                                 "", Reason::networkUnconfirmed);
        case Case::untestable:
            return networkResult(Verdict::unknown, "Could not test: " + outcome.text + ".", "",
                                 Reason::networkUntestable);
        case Case::confirmed:
            break;
    }
    switch (firewall.mdns.kind) {
        case Admission::Case::allowed:
            break;
        case Admission::Case::blocked:
            return networkResult(Verdict::problem,
                                 "avahi-daemon announces this computer, but " + firewall.name +
                                     " keeps mDNS (UDP 5353) out: " + firewall.mdns.why + ".",
                                 "Phones cannot see the rave. " +
                                     letIn(firewall, setup.firewall.guestPort, "UDP port 5353"),
                                 Reason::mdnsBlocked);
        case Admission::Case::unknown:
            return networkResult(
                Verdict::unknown,
                "avahi-daemon announces this computer; whether " + firewall.name +
                    " lets mDNS (UDP 5353) in could not be read: " + firewall.mdns.why + ".",
                seeRules(firewall), Reason::mdnsUnreadable);
    }
    const std::string daemon =
        outcome.text.empty() ? "avahi-daemon" : "avahi-daemon (" + outcome.text + ")";
    return networkResult(Verdict::ok,
                         "Guests can discover this computer: " + daemon + " announces it.", "",
                         Reason::networkOK);
}

Finding SystemCheckup::firewallFinding(const FirewallInspection& firewall, std::uint16_t port) {
    const std::string tcp = "TCP port " + std::to_string(port);
    if (firewall.kind == FirewallInspection::Kind::none) {
        std::string detail = "No firewall is active, so guests can reach " + tcp + ".";
        if (!firewall.unread.empty()) {
            detail += " Not looked at:";
            for (std::size_t i = 0; i < firewall.unread.size(); ++i) {
                detail += (i == 0 ? " " : "; ") + firewall.unread[i];
            }
            detail += ".";
        }
        return firewallResult(Verdict::ok, detail, "", Reason::firewallOff);
    }
    switch (firewall.guestPort.kind) {
        case Admission::Case::allowed:
            return firewallResult(
                Verdict::ok,
                firewall.name + " lets guests in on " + tcp + ": " + firewall.guestPort.why + ".",
                "", Reason::allowed);
        case Admission::Case::blocked:
            return firewallResult(
                Verdict::problem,
                firewall.name + " keeps guests out of " + tcp + ": " + firewall.guestPort.why + ".",
                "Guests cannot connect. " + letIn(firewall, port, tcp.c_str()),
                Reason::portBlocked);
        case Admission::Case::unknown:
            break;
    }
    return firewallResult(Verdict::unknown,
                          firewall.name + " is active; whether it lets guests in on " + tcp +
                              " could not be read: " + firewall.guestPort.why + ".",
                          seeRules(firewall), Reason::firewallUnreadable);
}

Finding SystemCheckup::checkFirewall() {
    const FirewallInspection::Setup setup = firewallSetup();
    return firewallFinding(FirewallInspection::inspect(setup), setup.guestPort);
}

std::optional<Finding> SystemCheckup::unreachedFinding(
    bool networkUnavailable, bool listeningUnadvertised,
    const std::optional<ServiceRegistration::Failure>& failure, const Setup& setup) {
    if (networkUnavailable) {
        return networkResult(Verdict::problem,
                             "Guests cannot reach this computer: no network interface is up with "
                             "an address.",
                             "", Reason::networkUnavailable);
    }
    if (!listeningUnadvertised) {
        return std::nullopt;
    }
    if (!failure) {
        return networkResult(Verdict::problem, "avahi-daemon never confirmed the rave's name.", "",
                             Reason::networkUnconfirmed);
    }
    if (failure->kind == ServiceRegistration::Failure::Case::registrationFailed) {
        return networkResult(
            Verdict::problem,
            "avahi-daemon refused to announce the rave (Avahi: " + failure->text + ").", "",
            Reason::networkRefused);
    }
    return networkResult(Verdict::problem,
                         "avahi-daemon is not running (Avahi: " + failure->text +
                             "), so guests cannot discover this computer.",
                         avahiFix(setup), Reason::avahiMissing);
}

std::vector<std::string> SystemCheckup::discoveryWarning(
    const std::optional<ServiceRegistration::Failure>& failure) {
    std::string cause = "avahi-daemon did not confirm the name in time.";
    if (failure) {
        cause = failure->kind == ServiceRegistration::Failure::Case::registrationFailed
                    ? "avahi-daemon refused the name (Avahi: " + failure->text + ")."
                    : "avahi-daemon is not running (Avahi: " + failure->text + ").";
    }
    return {"WARNING: guests will not be able to discover this computer: " + cause,
            "Guests can still join by this computer's address and port, shown below."};
}

std::string SystemCheckup::tidy(std::string_view text) {
    std::string tidied;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && isSpace(text[i])) {
            ++i;
        }
        const std::size_t start = i;
        while (i < text.size() && !isSpace(text[i])) {
            ++i;
        }
        if (i > start) {
            if (!tidied.empty()) {
                tidied += ' ';
            }
            tidied.append(text.substr(start, i - start));
        }
    }
    return tidied;
}

}  // namespace zoranth
