// The checkup over real inputs: ufw's own files (enabled, disabled, root's rules read
// by another user), a real firewalld answering on a private D-Bus system bus from a
// network and mount namespace this test made (never this machine's own firewall), no
// firewall at all (nft in an empty namespace), a bus without avahi-daemon, and a Snap
// in front of a refusing sound server: each finding's exact text and verdict.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "host/checks/firewall_fix.h"
#include "host/checks/system_checkup.h"
#include "platform/avahi/avahi_daemon.h"
#include "platform/firewall/firewalld_bus.h"
#include "platform/process/child_process.h"
#include "support/pulse_test_server.h"

namespace zoranth {

static void PrintTo(const FirewallFix::Outcome& outcome, std::ostream* out) {
    *out << "{case " << static_cast<int>(outcome.kind) << ", \"" << outcome.message << "\"}";
}

static void PrintTo(const Admission& admission, std::ostream* out) {
    *out << "{" << static_cast<int>(admission.kind) << ", \"" << admission.why << "\"}";
}

static void PrintTo(const SystemCheckup::Finding& finding, std::ostream* out) {
    *out << "{" << finding.id << ", verdict " << static_cast<int>(finding.verdict) << ", \""
         << finding.detail << "\", fix \"" << finding.fix << "\", reason "
         << static_cast<int>(finding.reason) << "}";
}

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Finding = SystemCheckup::Finding;
using Verdict = SystemCheckup::Verdict;
using Reason = SystemCheckup::Reason;

constexpr std::uint16_t port = 40311;

Finding firewallFinding(Verdict verdict, std::string detail, std::string fix, Reason reason) {
    return {"firewall",        "Letting guests connect", verdict,
            std::move(detail), std::move(fix),           reason};
}

Finding networkFinding(Verdict verdict, std::string detail, std::string fix, Reason reason) {
    return {"network", "Guests finding this computer", verdict, std::move(detail), std::move(fix),
            reason};
}

std::string readAll(const fs::path& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A folder of its own, removed afterwards.
struct Folder {
    fs::path path;
    Folder() {
        char pattern[] = "/tmp/zoranth-checkup-XXXXXX";
        path = ::mkdtemp(pattern);
    }
    ~Folder() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    std::string write(const std::string& name, const std::string& text,
                      fs::perms perms = fs::perms::owner_read | fs::perms::owner_write |
                                        fs::perms::group_read | fs::perms::others_read) const {
        std::ofstream(path / name) << text;
        fs::permissions(path / name, perms);
        return (path / name).string();
    }
};

// A D-Bus system bus of the test's own, with the system's policies (firewalld's
// included), and nobody on it at first.
class PrivateSystemBus {
  public:
    PrivateSystemBus() {
        // Other users (the test's nobody) must reach the socket inside.
        fs::permissions(folder_.path,
                        fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
        const std::string pidFile = (folder_.path / "pid").string();
        const std::string command =
            "dbus-daemon --config-file=/usr/share/dbus-1/system.conf "
            "--nopidfile --fork --address=" +
            address() + " --print-pid=3 3>'" + pidFile + "'";
        if (std::system(command.c_str()) == 0) {
            std::ifstream(pidFile) >> pid_;
        }
    }
    ~PrivateSystemBus() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
        }
    }
    bool running() const { return pid_ > 0; }
    std::string address() const { return "unix:path=" + (folder_.path / "bus").string(); }
    const Folder& folder() const { return folder_; }

  private:
    Folder folder_;
    pid_t pid_ = -1;
};

// An nft that lists the ruleset of an empty network namespace of its own.
std::string nftInEmptyNamespace(const Folder& folder) {
    return folder.write("nft", "#!/bin/sh\nexec unshare -n /usr/sbin/nft \"$@\"\n",
                        fs::perms::owner_all);
}

bool canMakeNamespaces() {
    return ::geteuid() == 0 && ::access("/usr/bin/unshare", X_OK) == 0 &&
           ::access("/usr/sbin/nft", X_OK) == 0;
}

// ufw's files as ufw 0.36 writes them, in a folder of their own.
struct UfwFiles {
    Folder folder;
    FirewallInspection::Setup setup;

    UfwFiles(bool enabled, const std::string& userRules) {
        // Like /etc/ufw: everyone may look in, some files are root's alone.
        fs::permissions(folder.path, fs::perms::owner_all | fs::perms::group_read |
                                         fs::perms::group_exec | fs::perms::others_read |
                                         fs::perms::others_exec);
        setup.guestPort = port;
        setup.busAddress = "unix:path=/nonexistent/zoranth/bus";
        setup.nft = "/nonexistent/zoranth/nft";
        setup.ufwConfig =
            folder.write("ufw.conf", std::string("# /etc/ufw/ufw.conf\nENABLED=") +
                                         (enabled ? "yes" : "no") + "\nLOGLEVEL=low\n");
        setup.ufwDefaults = folder.write(
            "ufw", "IPV6=yes\nDEFAULT_INPUT_POLICY=\"DROP\"\nDEFAULT_OUTPUT_POLICY=\"ACCEPT\"\n");
        // Root's, as ufw leaves them.
        const auto rootOnly =
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
        setup.ufwRules = folder.write(
            "user.rules", "*filter\n### RULES ###\n" + userRules + "### END RULES ###\nCOMMIT\n",
            rootOnly);
        setup.ufwBeforeRules =
            folder.write("before.rules",
                         "# allow MULTICAST mDNS for service discovery\n"
                         "-A ufw-before-input -p udp -d 224.0.0.251 --dport 5353 -j ACCEPT\n",
                         rootOnly);
    }
};

// Runs `inspect` in a child process as the user nobody and brings back the firewall
// finding it made.
std::string asNobody(const std::function<std::string()>& inspect) {
    int ends[2];
    if (::pipe(ends) != 0) {
        return "no pipe";
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(ends[0]);
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
            std::_Exit(3);
        }
        const std::string said = inspect();
        (void)!::write(ends[1], said.data(), said.size());
        std::_Exit(0);
    }
    ::close(ends[1]);
    std::string said;
    char buffer[1024];
    for (ssize_t n = 0; (n = ::read(ends[0], buffer, sizeof buffer)) > 0;) {
        said.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(ends[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return said;
}

TEST(CheckupUfw, AnEnabledUfwWithoutARuleKeepsGuestsOutButLetsMdnsIn) {
    UfwFiles ufw(true,
                 "### tuple ### allow tcp 22 0.0.0.0/0 any 0.0.0.0/0 in\n"
                 "-A ufw-user-input -p tcp --dport 22 -j ACCEPT\n");
    const FirewallInspection firewall = FirewallInspection::inspect(ufw.setup);
    EXPECT_EQ(SystemCheckup::firewallFinding(firewall, port),
              firewallFinding(Verdict::problem,
                              "ufw keeps guests out of TCP port 40311: ufw's default incoming "
                              "policy DROP.",
                              "Guests cannot connect. Let them in with: sudo ufw allow 40311/tcp "
                              "&& sudo ufw allow 5353/udp",
                              Reason::portBlocked));
    SystemCheckup::Setup setup;
    setup.firewall = ufw.setup;
    EXPECT_EQ(SystemCheckup::networkFinding({DiscoveryCheck::Outcome::Case::confirmed, "avahi 0.8"},
                                            firewall, setup),
              networkFinding(Verdict::ok,
                             "Guests can discover this computer: avahi-daemon (avahi 0.8) "
                             "announces it.",
                             "", Reason::networkOK));
}

TEST(CheckupUfw, AnAllowRuleForTheSteadyPortLetsGuestsIn) {
    UfwFiles ufw(true,
                 "### tuple ### allow tcp 40311 0.0.0.0/0 any 0.0.0.0/0 in\n"
                 "-A ufw-user-input -p tcp --dport 40311 -j ACCEPT\n");
    EXPECT_EQ(SystemCheckup::firewallFinding(FirewallInspection::inspect(ufw.setup), port),
              firewallFinding(Verdict::ok,
                              "ufw lets guests in on TCP port 40311: the ufw rule \u201callow "
                              "40311/tcp\u201d.",
                              "", Reason::allowed));
}

TEST(CheckupUfw, ADisabledUfwIsNoFirewall) {
    UfwFiles ufw(false, "");
    EXPECT_EQ(SystemCheckup::firewallFinding(FirewallInspection::inspect(ufw.setup), port),
              firewallFinding(Verdict::ok,
                              "No firewall is active, so guests can reach TCP port 40311. Not "
                              "looked at: firewalld, because the D-Bus system bus did not answer "
                              "(sd_bus_start: No such file or directory).",
                              "", Reason::firewallOff));
}

TEST(CheckupUfw, RootsRulesAreSaidToBeUnreadableByAnotherUser) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root, to read the rules as nobody";
    }
    UfwFiles ufw(true, "### tuple ### allow tcp 40311 0.0.0.0/0 any 0.0.0.0/0 in\n");
    const std::string said = asNobody([&] {
        const Finding finding =
            SystemCheckup::firewallFinding(FirewallInspection::inspect(ufw.setup), port);
        return finding.detail + "|" + finding.fix + "|" +
               std::to_string(static_cast<int>(finding.verdict));
    });
    EXPECT_EQ(said,
              "ufw is active; whether it lets guests in on TCP port 40311 could not be "
              "read: ufw's rules belong to root, so this user cannot read them (" +
                  ufw.setup.ufwRules +
                  ": Permission denied).|See its rules with: sudo ufw status verbose|" +
                  std::to_string(static_cast<int>(Verdict::unknown)));
}

TEST(CheckupNoFirewall, NothingActiveIsSaidPlainly) {
    if (!canMakeNamespaces()) {
        GTEST_SKIP() << "needs root and nft, to list an empty namespace's ruleset";
    }
    PrivateSystemBus bus;
    ASSERT_TRUE(bus.running());
    FirewallInspection::Setup setup;
    setup.guestPort = port;
    setup.busAddress = bus.address();
    setup.ufwConfig = "/nonexistent/zoranth/ufw.conf";
    setup.nft = nftInEmptyNamespace(bus.folder());
    const FirewallInspection firewall = FirewallInspection::inspect(setup);
    EXPECT_EQ(
        SystemCheckup::firewallFinding(firewall, port),
        firewallFinding(Verdict::ok, "No firewall is active, so guests can reach TCP port 40311.",
                        "", Reason::firewallOff));
    EXPECT_EQ(firewall.mdns.kind, Admission::Case::allowed);
}

TEST(CheckupAvahi, ABusWithoutTheDaemonNamesIt) {
    PrivateSystemBus bus;
    ASSERT_TRUE(bus.running());
    const auto daemon = AvahiDaemon::version(bus.address());
    ASSERT_FALSE(daemon.has_value());
    SystemCheckup::Setup setup;
    setup.systemdMarker = "/nonexistent/zoranth/systemd";
    const DiscoveryCheck::Outcome outcome = DiscoveryCheck::outcomeOf(daemon.error());
    const std::string fix = ::access(setup.avahiProgram.c_str(), F_OK) == 0
                                ? "Start avahi-daemon (/usr/sbin/avahi-daemon) as root."
                                : "Install avahi-daemon (on Debian and Ubuntu: sudo apt install "
                                  "avahi-daemon) and start it.";
    EXPECT_EQ(SystemCheckup::networkFinding(outcome, FirewallInspection{}, setup),
              networkFinding(Verdict::problem,
                             "avahi-daemon is not running (org.freedesktop.Avahi is not on the "
                             "system bus), so guests cannot discover this computer.",
                             fix, Reason::avahiMissing));
}

TEST(CheckupSandbox, ASnapInFrontOfARefusingServerOffersItsConnection) {
    ZORANTH_SKIP_WITHOUT_PULSE();
    PulseDeniedServer denied;
    ASSERT_TRUE(denied.ready());
    const Finding outside = SystemCheckup::audioFinding(AudioCapability::probe());
    EXPECT_EQ(outside.verdict, Verdict::unknown);
    EXPECT_EQ(outside.fix, "") << "outside a sandbox a refusal is no permission to grant";
    EXPECT_EQ(outside.detail.find("sandbox"), std::string::npos) << outside.detail;

    ScopedEnvironment snap("SNAP", "/snap/zoranth-host/12");
    ScopedEnvironment name("SNAP_NAME", "zoranth-host");
    EXPECT_EQ(SystemCheckup::audioFinding(AudioCapability::probe()),
              (Finding{"audio", "Hearing this computer", Verdict::problem,
                       "The Snap sandbox keeps Zoranth from recording this computer's audio (the "
                       "sound server said: Access denied).",
                       "Let it record, then start Zoranth again: snap connect "
                       "zoranth-host:audio-record",
                       Reason::audioDenied}));
}

// One real firewalld for the suite: started in a network and mount namespace of its
// own (its nftables rules go there, its configuration is a tmpfs), answering on a
// private system bus. Its namespace has a veth pair, zr0 and zr1, for zones to bind.
class FirewalldInNamespace : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!canMakeNamespaces() || ::access("/usr/sbin/firewalld", X_OK) != 0 ||
            ::access("/usr/sbin/ip", X_OK) != 0) {
            skipWhy_ = "needs root, unshare, ip, nft and firewalld (scripts/setup installs them)";
            return;
        }
        bus_ = std::make_unique<PrivateSystemBus>();
        if (!bus_->running()) {
            skipWhy_ = "the private D-Bus system bus did not start";
            return;
        }
        const std::string log = (bus_->folder().path / "firewalld.log").string();
        const std::string script =
            bus_->folder().write("firewalld.sh",
                                 "set -e\n"
                                 "mount --make-rprivate /\n"
                                 "mount -t tmpfs tmpfs /etc/firewalld\n"
                                 "mount -t tmpfs tmpfs /run\n"
                                 "ip link set lo up\n"
                                 "ip link add zr0 type veth peer name zr1\n"
                                 "ip addr add 192.0.2.10/24 dev zr0\n"
                                 "ip link set zr0 up\n"
                                 "exec firewalld --nofork --nopid --log-file '" +
                                     log + "'\n",
                                 fs::perms::owner_all);
        ChildProcess::Options options;
        options.executable = "/usr/bin/unshare";
        options.arguments = {"-n", "-m", "/bin/sh", script};
        options.input = ChildProcess::Stream::null;
        options.output = ChildProcess::Stream::null;
        options.environment = {{"DBUS_SYSTEM_BUS_ADDRESS", bus_->address()}};
        options.threadName = "zoranth-fwd";
        auto launched = ChildProcess::launch(options, {});
        if (!launched) {
            skipWhy_ = "firewalld could not be started: " + launched.error().text();
            return;
        }
        firewalld_ = *launched;
        // It takes a few seconds to load its zones and write its rules.
        const auto giveUp = std::chrono::steady_clock::now() + 60s;
        while (std::chrono::steady_clock::now() < giveUp && firewalld_->isRunning()) {
            const auto state =
                FirewalldBus::inspect({.busAddress = bus_->address(), .interfaceName = {}});
            if (state && *state && (*state)->state == "RUNNING") {
                return;
            }
            std::this_thread::sleep_for(200ms);
        }
        skipWhy_ = "firewalld did not come up in its namespace; its log: " + readAll(log);
        firewalld_.reset();
    }

    static void TearDownTestSuite() {
        if (firewalld_) {
            firewalld_->terminate(5s);
        }
        firewalld_.reset();
        bus_.reset();
    }

    void SetUp() override {
        if (!skipWhy_.empty()) {
            GTEST_SKIP() << skipWhy_;
        }
    }

    static FirewallInspection::Setup setup(std::string interfaceName = {}) {
        FirewallInspection::Setup setup;
        setup.guestPort = port;
        setup.busAddress = bus_->address();
        setup.interfaceName = std::move(interfaceName);
        return setup;
    }

    // firewall-cmd on the private bus, as root.
    static FirewallFix::Outcome fix(const FirewallInspection::Setup& inspection) {
        FirewallFix::Setup fixSetup;
        fixSetup.inspect = [inspection] { return FirewallInspection::inspect(inspection); };
        fixSetup.port = port;
        fixSetup.isRoot = true;
        fixSetup.environment = {{"DBUS_SYSTEM_BUS_ADDRESS", bus_->address()}};
        return FirewallFix(fixSetup).apply();
    }

    static int firewallCmd(const std::vector<std::string>& arguments) {
        ChildProcess::Options options;
        options.executable = "/usr/bin/firewall-cmd";
        options.arguments = arguments;
        options.environment = {{"DBUS_SYSTEM_BUS_ADDRESS", bus_->address()}};
        const auto done = ChildProcess::run(options, 30s);
        return done && done->exit.kind == ChildProcess::Exit::Case::exited ? done->exit.code : -1;
    }

    static inline std::string skipWhy_;
    static inline std::unique_ptr<PrivateSystemBus> bus_;
    static inline std::shared_ptr<ChildProcess> firewalld_;
};

TEST_F(FirewalldInNamespace, ItsDefaultZoneKeepsGuestsAndMdnsOutUntilTheFixLetsThemIn) {
    const FirewallInspection before = FirewallInspection::inspect(setup());
    EXPECT_EQ(before.kind, FirewallInspection::Kind::firewalld);
    EXPECT_EQ(before.zone, "public");
    EXPECT_EQ(SystemCheckup::firewallFinding(before, port),
              firewallFinding(Verdict::problem,
                              "firewalld keeps guests out of TCP port 40311: the firewalld zone "
                              "\u201cpublic\u201d does not open 40311/tcp.",
                              "Guests cannot connect. Let them in with: sudo firewall-cmd "
                              "--add-port=40311/tcp && sudo firewall-cmd --add-service=mdns && "
                              "sudo firewall-cmd --permanent --add-port=40311/tcp && sudo "
                              "firewall-cmd --permanent --add-service=mdns",
                              Reason::portBlocked));
    SystemCheckup::Setup checkup;
    checkup.firewall = setup();
    EXPECT_EQ(SystemCheckup::networkFinding({DiscoveryCheck::Outcome::Case::confirmed, "avahi 0.8"},
                                            before, checkup),
              networkFinding(Verdict::problem,
                             "avahi-daemon announces this computer, but firewalld keeps mDNS "
                             "(UDP 5353) out: the firewalld zone \u201cpublic\u201d does not "
                             "open 5353/udp.",
                             "Phones cannot see the rave. Let them in with: sudo firewall-cmd "
                             "--add-port=40311/tcp && sudo firewall-cmd --add-service=mdns && "
                             "sudo firewall-cmd --permanent --add-port=40311/tcp && sudo "
                             "firewall-cmd --permanent --add-service=mdns",
                             Reason::mdnsBlocked));

    EXPECT_EQ(fix(setup()), FirewallFix::Outcome::fixedWithoutPassword());
    const FirewallInspection after = FirewallInspection::inspect(setup());
    EXPECT_EQ(SystemCheckup::firewallFinding(after, port),
              firewallFinding(Verdict::ok,
                              "firewalld lets guests in on TCP port 40311: the firewalld zone "
                              "\u201cpublic\u201d opens 40311/tcp.",
                              "", Reason::allowed));
    EXPECT_EQ(after.mdns,
              Admission::allowed("the firewalld zone \u201cpublic\u201d allows the service mdns"));
    EXPECT_EQ(fix(setup()), FirewallFix::Outcome::alreadyAllowed());
    // Made permanent too.
    EXPECT_EQ(firewallCmd({"--permanent", "--query-port=40311/tcp"}), 0);
    EXPECT_EQ(firewallCmd({"--permanent", "--query-service=mdns"}), 0);
    for (const char* undo : {"--remove-port=40311/tcp", "--remove-service=mdns"}) {
        firewallCmd({undo});
        firewallCmd({"--permanent", undo});
    }
}

TEST_F(FirewalldInNamespace, TheZoneOfTheInterfaceGuestsUseDecides) {
    ASSERT_EQ(firewallCmd({"--zone=trusted", "--change-interface=zr0"}), 0);
    const FirewallInspection trusted = FirewallInspection::inspect(setup("zr0"));
    EXPECT_EQ(trusted.zone, "trusted");
    EXPECT_FALSE(trusted.zoneIsDefault);
    EXPECT_EQ(SystemCheckup::firewallFinding(trusted, port),
              firewallFinding(Verdict::ok,
                              "firewalld lets guests in on TCP port 40311: the firewalld zone "
                              "\u201ctrusted\u201d accepts everything (target ACCEPT).",
                              "", Reason::allowed));
    ASSERT_EQ(firewallCmd({"--zone=drop", "--change-interface=zr0"}), 0);
    const FirewallInspection dropped = FirewallInspection::inspect(setup("zr0"));
    EXPECT_EQ(SystemCheckup::firewallFinding(dropped, port).fix,
              "Guests cannot connect. Let them in with: sudo firewall-cmd --zone=drop "
              "--add-port=40311/tcp && sudo firewall-cmd --zone=drop --add-service=mdns && sudo "
              "firewall-cmd --permanent --zone=drop --add-port=40311/tcp && sudo firewall-cmd "
              "--permanent --zone=drop --add-service=mdns");
    // An interface firewalld holds no zone for is in the default zone.
    EXPECT_EQ(FirewallInspection::inspect(setup("zr1")).zone, "public");
    firewallCmd({"--zone=drop", "--remove-interface=zr0"});
}

TEST_F(FirewalldInNamespace, AnotherUserIsToldWhatFirewalldWouldNotShow) {
    const std::string said = asNobody([] {
        const Finding finding =
            SystemCheckup::firewallFinding(FirewallInspection::inspect(setup()), port);
        return finding.detail + "|" + finding.fix;
    });
    // Without polkit firewalld tells only root anything; with it, the zone's name but
    // not its ports.
    EXPECT_TRUE(
        said.starts_with("firewalld is active; whether it lets guests in on TCP port "
                         "40311 could not be read: firewalld did not let this user read "))
        << said;
    EXPECT_NE(said.find("(org.fedoraproject.FirewallD1.NotAuthorizedException: "),
              std::string::npos)
        << said;
    EXPECT_NE(said.find(").|See the "), std::string::npos) << said;
}

}  // namespace
}  // namespace zoranth
