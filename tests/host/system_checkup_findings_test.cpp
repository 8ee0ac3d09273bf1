// The checkup's findings for every state its checks can find: the exact text, verdict
// and fix, which is offered only for a state that was found. The states come from the
// real checks in system_checkup_itest.cpp; here each is given directly.
#include <gtest/gtest.h>

#include <string>

#include "host/checks/sandbox.h"
#include "host/checks/system_checkup.h"

namespace zoranth {

static void PrintTo(const SystemCheckup::Finding& finding, std::ostream* out) {
    *out << "{" << finding.id << ", " << static_cast<int>(finding.verdict) << ", \""
         << finding.detail << "\", \"" << finding.fix << "\", reason "
         << static_cast<int>(finding.reason) << "}";
}

namespace {

using Finding = SystemCheckup::Finding;
using Verdict = SystemCheckup::Verdict;
using Reason = SystemCheckup::Reason;
using AudioVerdict = AudioCapability::Verdict;
using Outcome = DiscoveryCheck::Outcome;

TEST(AudioFinding, FollowsTheProbeAndSpeaksOfASandboxOnlyInsideOne) {
    const Sandbox snap{Sandbox::Kind::snap, "zoranth-host"};
    const Sandbox flatpak{Sandbox::Kind::flatpak, "com.zoranth.host"};
    const struct {
        std::optional<AudioVerdict> verdict;
        Finding expected;
    } cases[] = {
        {AudioVerdict::granted(),
         {"audio", "Hearing this computer", Verdict::ok, "Zoranth can hear this computer.", "",
          Reason::audioGranted}},
        {AudioVerdict::denied("Access denied", snap),
         {"audio", "Hearing this computer", Verdict::problem,
          "The Snap sandbox keeps Zoranth from recording this computer's audio (the sound server "
          "said: Access denied).",
          "Let it record, then start Zoranth again: snap connect zoranth-host:audio-record",
          Reason::audioDenied}},
        {AudioVerdict::denied("Connection refused", flatpak),
         {"audio", "Hearing this computer", Verdict::problem,
          "The Flatpak sandbox keeps Zoranth from recording this computer's audio (the sound "
          "server said: Connection refused).",
          "Let it record, then start Zoranth again: flatpak override --user --socket=pulseaudio "
          "com.zoranth.host",
          Reason::audioDenied}},
        {AudioVerdict::unreachable("pa_context_connect failed: 6 — connection refused"),
         {"audio", "Hearing this computer", Verdict::problem,
          "Zoranth cannot reach the sound server: pa_context_connect failed: 6 — connection "
          "refused.",
          "Start PulseAudio or PipeWire's pulse service for this user, then check again.",
          Reason::soundServerMissing}},
        {AudioVerdict::undetermined("timed out"),
         {"audio", "Hearing this computer", Verdict::unknown, "Could not tell: timed out", "",
          Reason::audioUndetermined}},
        {std::nullopt,
         {"audio", "Hearing this computer", Verdict::unknown, "Not checked yet.", "",
          Reason::audioUndetermined}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SystemCheckup::audioFinding(c.verdict), c.expected);
    }
}

TEST(AudioVerdictOf, ARefusalIsAPermissionOnlyInsideASandbox) {
    const PulseError refused{1, "pa_stream_connect_record"};
    const PulseError noServer{6, "pa_context_connect"};
    const PulseError timeout{8, "pa_context_connect"};
    const Sandbox none;
    const Sandbox snap{Sandbox::Kind::snap, "zoranth-host"};
    EXPECT_EQ(AudioCapability::verdictOf(refused, snap),
              AudioVerdict::denied("Access denied", snap));
    EXPECT_EQ(AudioCapability::verdictOf(noServer, snap).which, AudioVerdict::Case::denied);
    EXPECT_EQ(AudioCapability::verdictOf(refused, none).which, AudioVerdict::Case::undetermined);
    EXPECT_EQ(AudioCapability::verdictOf(noServer, none).which, AudioVerdict::Case::unreachable);
    EXPECT_EQ(AudioCapability::verdictOf(timeout, snap).which, AudioVerdict::Case::undetermined);
}

TEST(SandboxDetection, ReadsSnapAndFlatpakFromTheEnvironment) {
    const auto from = [](std::map<std::string, std::string> variables) {
        return [variables](const char* name) -> std::optional<std::string> {
            const auto found = variables.find(name);
            return found == variables.end() ? std::nullopt : std::optional(found->second);
        };
    };
    const std::string noInfo = "/nonexistent/zoranth/.flatpak-info";
    EXPECT_EQ(Sandbox::detect(from({}), noInfo), Sandbox{});
    EXPECT_EQ(Sandbox::detect(from({{"SNAP", "/snap/zoranth-host/12"},
                                    {"SNAP_NAME", "zoranth-host"},
                                    {"SNAP_INSTANCE_NAME", "zoranth-host_beta"}}),
                              noInfo),
              (Sandbox{Sandbox::Kind::snap, "zoranth-host_beta"}));
    EXPECT_EQ(Sandbox::detect(from({{"FLATPAK_ID", "com.zoranth.host"}}), noInfo),
              (Sandbox{Sandbox::Kind::flatpak, "com.zoranth.host"}));
    EXPECT_EQ(Sandbox::detect(from({{"SNAP_NAME", "stale"}}), noInfo), Sandbox{})
        << "SNAP_NAME alone, without SNAP, is no sandbox";
}

FirewallInspection firewallOf(FirewallInspection::Kind kind, std::string name, Admission port,
                              Admission mdns) {
    FirewallInspection firewall;
    firewall.kind = kind;
    firewall.name = std::move(name);
    firewall.zone = "public";
    firewall.guestPort = std::move(port);
    firewall.mdns = std::move(mdns);
    return firewall;
}

TEST(NetworkFinding, NamesTheMissingPartWithItsOwnWords) {
    SystemCheckup::Setup setup;
    setup.firewall.guestPort = 40311;
    setup.avahiProgram = "/usr/sbin/avahi-daemon";
    setup.systemdMarker = "/nonexistent/zoranth/systemd";
    const FirewallInspection open =
        firewallOf(FirewallInspection::Kind::none, "", Admission::allowed("no firewall is active"),
                   Admission::allowed("no firewall is active"));
    const FirewallInspection ufw =
        firewallOf(FirewallInspection::Kind::ufw, "ufw", Admission::allowed("x"),
                   Admission::blocked("ufw's default incoming policy DROP"));
    const FirewallInspection hidden = firewallOf(
        FirewallInspection::Kind::firewalld, "firewalld", Admission::unknown("x"),
        Admission::unknown("firewalld did not let this user read the zone \u201cpublic\u201d"));
    const auto finding = [](Verdict verdict, std::string detail, std::string fix, Reason reason) {
        return Finding{"network",      "Guests finding this computer",
                       verdict,        std::move(detail),
                       std::move(fix), reason};
    };
    const struct {
        Outcome outcome;
        const FirewallInspection& firewall;
        Finding expected;
    } cases[] = {
        {{Outcome::Case::confirmed, "avahi 0.8"},
         open,
         finding(Verdict::ok,
                 "Guests can discover this computer: avahi-daemon (avahi 0.8) announces it.", "",
                 Reason::networkOK)},
        {{Outcome::Case::confirmed, "avahi 0.8"},
         ufw,
         finding(Verdict::problem,
                 "avahi-daemon announces this computer, but ufw keeps mDNS (UDP 5353) out: ufw's "
                 "default incoming policy DROP.",
                 "Phones cannot see the rave. Let them in with: sudo ufw allow 40311/tcp && sudo "
                 "ufw allow 5353/udp",
                 Reason::mdnsBlocked)},
        {{Outcome::Case::confirmed, "avahi 0.8"},
         hidden,
         finding(
             Verdict::unknown,
             "avahi-daemon announces this computer; whether firewalld lets mDNS (UDP 5353) in "
             "could not be read: firewalld did not let this user read the zone \u201cpublic\u201d.",
             "See the zone with: sudo firewall-cmd --zone=public --list-all",
             Reason::mdnsUnreadable)},
        {{Outcome::Case::daemonMissing, "org.freedesktop.Avahi is not on the system bus"},
         open,
         finding(Verdict::problem,
                 "avahi-daemon is not running (org.freedesktop.Avahi is not on the system bus), so "
                 "guests cannot discover this computer.",
                 "Start avahi-daemon (/usr/sbin/avahi-daemon) as root.", Reason::avahiMissing)},
        {{Outcome::Case::busUnreachable, "No such file or directory"},
         open,
         finding(Verdict::problem,
                 "The D-Bus system bus cannot be reached (No such file or directory), so "
                 "avahi-daemon cannot announce this computer.",
                 "", Reason::avahiMissing)},
        {{Outcome::Case::refused, "Not permitted"},
         open,
         finding(Verdict::problem, "avahi-daemon refused to announce this computer: Not permitted.",
                 "", Reason::networkRefused)},
        {{Outcome::Case::unconfirmed, ""},
         open,
         finding(Verdict::problem,
                 "avahi-daemon did not confirm the announcement within 4 seconds.", "",
                 Reason::networkUnconfirmed)},
        {{Outcome::Case::untestable, "a listener on 127.0.0.1: Too many open files"},
         open,
         finding(Verdict::unknown, "Could not test: a listener on 127.0.0.1: Too many open files.",
                 "", Reason::networkUntestable)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SystemCheckup::networkFinding(c.outcome, c.firewall, setup), c.expected);
    }
}

TEST(NetworkFinding, OffersToInstallOrStartTheDaemonAsThisComputerCan) {
    SystemCheckup::Setup setup;
    setup.avahiProgram = "/nonexistent/zoranth/avahi-daemon";
    const FirewallInspection none;
    const Outcome missing{Outcome::Case::daemonMissing, "gone"};
    EXPECT_EQ(SystemCheckup::networkFinding(missing, none, setup).fix,
              "Install avahi-daemon (on Debian and Ubuntu: sudo apt install avahi-daemon) and "
              "start it.");
    setup.avahiProgram = "/bin/sh";  // installed
    setup.systemdMarker = "/";       // booted by systemd
    EXPECT_EQ(SystemCheckup::networkFinding(missing, none, setup).fix,
              "Start it with: sudo systemctl enable --now avahi-daemon");
}

TEST(FirewallFinding, SaysWhatIsActiveAndWhatItDoesToTheSteadyPort) {
    const auto finding = [](Verdict verdict, std::string detail, std::string fix, Reason reason) {
        return Finding{"firewall",        "Letting guests connect", verdict,
                       std::move(detail), std::move(fix),           reason};
    };
    FirewallInspection none;
    FirewallInspection unreadNone;
    unreadNone.unread = {"nftables rules (nft: Operation not permitted)"};
    FirewallInspection otherZone = firewallOf(
        FirewallInspection::Kind::firewalld, "firewalld",
        Admission::blocked("the firewalld zone \u201chome\u201d does not open 40311/tcp"),
        Admission::allowed("x"));
    otherZone.zone = "home";
    otherZone.zoneIsDefault = false;
    const struct {
        FirewallInspection firewall;
        Finding expected;
    } cases[] = {
        {none, finding(Verdict::ok, "No firewall is active, so guests can reach TCP port 40311.",
                       "", Reason::firewallOff)},
        {unreadNone,
         finding(Verdict::ok,
                 "No firewall is active, so guests can reach TCP port 40311. Not looked at: "
                 "nftables rules (nft: Operation not permitted).",
                 "", Reason::firewallOff)},
        {firewallOf(FirewallInspection::Kind::ufw, "ufw",
                    Admission::allowed("the ufw rule \u201callow 40311/tcp\u201d"),
                    Admission::allowed("x")),
         finding(Verdict::ok,
                 "ufw lets guests in on TCP port 40311: the ufw rule \u201callow 40311/tcp\u201d.",
                 "", Reason::allowed)},
        {firewallOf(FirewallInspection::Kind::ufw, "ufw",
                    Admission::blocked("ufw's default incoming policy DROP"),
                    Admission::allowed("x")),
         finding(Verdict::problem,
                 "ufw keeps guests out of TCP port 40311: ufw's default incoming policy DROP.",
                 "Guests cannot connect. Let them in with: sudo ufw allow 40311/tcp && sudo ufw "
                 "allow 5353/udp",
                 Reason::portBlocked)},
        {otherZone,
         finding(
             Verdict::problem,
             "firewalld keeps guests out of TCP port 40311: the firewalld zone \u201chome\u201d "
             "does not open 40311/tcp.",
             "Guests cannot connect. Let them in with: sudo firewall-cmd --zone=home "
             "--add-port=40311/tcp && sudo firewall-cmd --zone=home --add-service=mdns && "
             "sudo firewall-cmd --permanent --zone=home --add-port=40311/tcp && sudo "
             "firewall-cmd --permanent --zone=home --add-service=mdns",
             Reason::portBlocked)},
        {firewallOf(FirewallInspection::Kind::ufw, "ufw",
                    Admission::unknown("ufw's rules belong to root, so this user cannot read them "
                                       "(/etc/ufw/user.rules: Permission denied)"),
                    Admission::allowed("x")),
         finding(Verdict::unknown,
                 "ufw is active; whether it lets guests in on TCP port 40311 could not be read: "
                 "ufw's rules belong to root, so this user cannot read them (/etc/ufw/user.rules: "
                 "Permission denied).",
                 "See its rules with: sudo ufw status verbose", Reason::firewallUnreadable)},
        {firewallOf(FirewallInspection::Kind::nftables, "nftables",
                    Admission::blocked("the nftables chain \u201cinet filter input\u201d (policy "
                                       "drop) drops it"),
                    Admission::allowed("x")),
         finding(
             Verdict::problem,
             "nftables keeps guests out of TCP port 40311: the nftables chain \u201cinet filter "
             "input\u201d (policy drop) drops it.",
             "Guests cannot connect. Add an nftables rule that accepts TCP port 40311.",
             Reason::portBlocked)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SystemCheckup::firewallFinding(c.firewall, 40311), c.expected);
    }
}

TEST(UnreachedFinding, BlamesTheMissingNetworkOrAvahisOwnFailure) {
    using Failure = ServiceRegistration::Failure;
    SystemCheckup::Setup setup;
    setup.avahiProgram = "/usr/sbin/avahi-daemon";
    setup.systemdMarker = "/nonexistent/zoranth/systemd";
    const auto finding = [](Verdict verdict, std::string detail, std::string fix, Reason reason) {
        return Finding{"network",      "Guests finding this computer",
                       verdict,        std::move(detail),
                       std::move(fix), reason};
    };
    EXPECT_EQ(SystemCheckup::unreachedFinding(false, false, std::nullopt, setup), std::nullopt);
    EXPECT_EQ(SystemCheckup::unreachedFinding(true, true, std::nullopt, setup),
              finding(Verdict::problem,
                      "Guests cannot reach this computer: no network interface is up with an "
                      "address.",
                      "", Reason::networkUnavailable));
    EXPECT_EQ(SystemCheckup::unreachedFinding(false, true, std::nullopt, setup),
              finding(Verdict::problem, "avahi-daemon never confirmed the rave's name.", "",
                      Reason::networkUnconfirmed));
    EXPECT_EQ(
        SystemCheckup::unreachedFinding(
            false, true, Failure{Failure::Case::daemonMissing, -2, "Daemon not running"}, setup),
        finding(Verdict::problem,
                "avahi-daemon is not running (Avahi: Daemon not running), so guests cannot "
                "discover this computer.",
                "Start avahi-daemon (/usr/sbin/avahi-daemon) as root.", Reason::avahiMissing));
    EXPECT_EQ(
        SystemCheckup::unreachedFinding(
            false, true, Failure{Failure::Case::registrationFailed, -8, "Not permitted"}, setup),
        finding(Verdict::problem,
                "avahi-daemon refused to announce the rave (Avahi: Not permitted).", "",
                Reason::networkRefused));
}

TEST(DiscoveryWarning, NamesAvahisOwnFailure) {
    using Failure = ServiceRegistration::Failure;
    const std::vector<std::string> missing = {
        "WARNING: guests will not be able to discover this computer: avahi-daemon is not running "
        "(Avahi: Daemon not running).",
        "Guests can still join by this computer's address and port, shown below."};
    EXPECT_EQ(SystemCheckup::discoveryWarning(
                  Failure{Failure::Case::daemonMissing, -2, "Daemon not running"}),
              missing);
    EXPECT_EQ(SystemCheckup::discoveryWarning(
                  Failure{Failure::Case::registrationFailed, -8, "Local name collision"})
                  .front(),
              "WARNING: guests will not be able to discover this computer: avahi-daemon refused "
              "the name (Avahi: Local name collision).");
    EXPECT_EQ(SystemCheckup::discoveryWarning(std::nullopt).front(),
              "WARNING: guests will not be able to discover this computer: avahi-daemon did not "
              "confirm the name in time.");
}

TEST(CheckupTidy, JoinsTheWordsWithSingleSpaces) {
    EXPECT_EQ(SystemCheckup::tidy("  Error executing command:\n\tNot authorized \r\n"),
              "Error executing command: Not authorized");
    EXPECT_EQ(SystemCheckup::tidy(" \n\t "), "");
}

}  // namespace
}  // namespace zoranth
