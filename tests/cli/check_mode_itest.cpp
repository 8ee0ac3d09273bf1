// zoranth-host --check on this machine, against the test services (the sound server,
// avahi-daemon on loopback): every finding with its tag (the guest page's too), fixes
// wrapped, the closing line and the exit status; and the same with avahi-daemon
// missing from the bus.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "cli/host_run.h"

namespace zoranth {
namespace {

class CheckMode : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::getenv("ZORANTH_TEST_SERVICES") == nullptr) {
            GTEST_SKIP() << "needs the test services: eval \"$(scripts/test-services start)\"";
        }
    }

    std::string hostLog() const {
        std::ifstream log(state_.path() / "zoranth" / "host.log");
        std::stringstream text;
        text << log.rdbuf();
        return text.str();
    }

    // The port the checkup settled on for this user, as raves will use it.
    std::string steadyPort() const {
        std::string port;
        std::getline(std::ifstream(state_.path() / "zoranth" / "rave-port"), port);
        return port;
    }

    ScratchFolder state_;
};

TEST_F(CheckMode, ThisMachineIsReadyAndExitsWithZero) {
    if (std::system("avahi-browse --version >/dev/null 2>&1") != 0 ||
        std::system("pgrep -x avahi-daemon >/dev/null") != 0) {
        GTEST_SKIP() << "needs the shared test services' avahi-daemon";
    }
    const HostRun run = runHost(state_.path(), "--check");
    const auto lines = run.lines();
    ASSERT_EQ(lines.size(), 8u) << run.output;
    EXPECT_EQ(lines[0], "");
    EXPECT_EQ(lines[1], "=== system checks ===");
    EXPECT_EQ(lines[2], "[PASS] Hearing this computer: Zoranth can hear this computer.");
    EXPECT_TRUE(
        lines[3].starts_with("[PASS] Guests finding this computer: Guests can discover "
                             "this computer: avahi-daemon (avahi 0."))
        << lines[3];
    EXPECT_TRUE(lines[3].ends_with(") announces it.")) << lines[3];
    ASSERT_FALSE(steadyPort().empty());
    // Nothing filters here; a user who may not list nftables rules is told so.
    EXPECT_TRUE(
        lines[4].starts_with("[PASS] Letting guests connect: No firewall is active, so "
                             "guests can reach TCP port " +
                             steadyPort() + "."))
        << lines[4];
    // A trial server of the rave's kind hands a browser the guest page.
    const std::regex page(
        R"(\[PASS\] Guest page: Phones can join from a browser: the guest page answers at )"
        R"(http://127\.0\.0\.1:\d+/ \(guests open it at this computer's address and the )"
        R"(rave's port\)\.)");
    EXPECT_TRUE(std::regex_match(lines[5], page)) << lines[5];
    EXPECT_EQ(lines[6], "");
    EXPECT_EQ(lines[7], "Ready to start a rave.");
    EXPECT_EQ(run.status, 0);
    // Every line also went to the host log.
    EXPECT_NE(hostLog().find("  === system checks ==="), std::string::npos);
    EXPECT_NE(hostLog().find("  Ready to start a rave."), std::string::npos);
}

// A system bus of the test's own, with nobody on it: the shared avahi-daemon keeps
// running for everyone else.
TEST_F(CheckMode, WithoutAvahiDaemonItIsNamedAndTheCheckFails) {
    const std::string bus = (state_.path() / "bus").string();
    const std::string pidFile = (state_.path() / "bus.pid").string();
    ASSERT_EQ(std::system(("dbus-daemon --config-file=/usr/share/dbus-1/system.conf --nopidfile "
                           "--fork --address=unix:path=" +
                           bus + " --print-pid=3 3>'" + pidFile + "'")
                              .c_str()),
              0);
    pid_t daemon = -1;
    std::ifstream(pidFile) >> daemon;

    const HostRun run =
        runHost(state_.path(), "--check", "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + bus);
    ::kill(daemon, SIGTERM);
    const auto lines = run.lines();
    ASSERT_GE(lines.size(), 8u) << run.output;
    EXPECT_EQ(lines[3],
              "[FAIL] Guests finding this computer: avahi-daemon is not running "
              "(org.freedesktop.Avahi is not on the system bus), so guests cannot discover this "
              "computer.");
    const std::string fix =
        ::access("/usr/sbin/avahi-daemon", F_OK) == 0
            ? ::access("/run/systemd/system", F_OK) == 0
                  ? "       Start it with: sudo systemctl enable --now avahi-daemon"
                  : "       Start avahi-daemon (/usr/sbin/avahi-daemon) as root."
            : "       Install avahi-daemon (on Debian and Ubuntu: sudo apt";
    EXPECT_EQ(lines[4], fix);
    EXPECT_EQ(lines.back(), "1 setting(s) need attention before guests can join.");
    EXPECT_EQ(run.status, 1);
}

}  // namespace
}  // namespace zoranth
