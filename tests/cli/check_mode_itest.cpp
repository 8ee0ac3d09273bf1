// zoranth-host --check on this machine, against the test services: every finding with
// its tag, fixes wrapped, the closing line and the exit status.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

const std::string fakeTool =
    std::string(ZORANTH_SOURCE_DIR) + "/tests/fixtures/fake_socketfilterfw";

struct HostRun {
    std::string output;
    int status = -1;
};

class CheckMode : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::getenv("ZORANTH_TEST_SERVICES") == nullptr) {
            GTEST_SKIP() << "needs the test services: eval \"$(scripts/test-services start)\"";
        }
        char pattern[] = "/tmp/zoranth-check-itest-XXXXXX";
        folder_ = ::mkdtemp(pattern);
        fs::create_directories(folder_ / "bin");
        fs::create_directories(folder_ / "share");
    }
    void TearDown() override {
        std::error_code ignored;
        if (!folder_.empty()) {
            fs::remove_all(folder_, ignored);
        }
    }

    // Runs the executable with the test services' environment plus `environment`; no
    // other copy of the program is on its search path or in its desktop entries.
    HostRun check(const std::string& environment) {
        const std::string command =
            "env -u ZORANTH_FIREWALL_TOOL XDG_STATE_HOME='" + (folder_ / "state").string() +
            "' PATH='" + (folder_ / "bin").string() + ":/usr/bin:/bin' XDG_DATA_HOME='" +
            (folder_ / "share").string() + "' XDG_DATA_DIRS='" + (folder_ / "share").string() +
            "' " + environment + " '" + ZORANTH_HOST_EXE + "' --check";
        HostRun run;
        FILE* pipe = ::popen(command.c_str(), "r");
        if (pipe == nullptr) {
            return run;
        }
        char buffer[4096];
        for (std::size_t n = 0; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
            run.output.append(buffer, n);
        }
        const int wait = ::pclose(pipe);
        run.status = WIFEXITED(wait) ? WEXITSTATUS(wait) : -1;
        return run;
    }

    std::string hostLog() const {
        std::ifstream log(folder_ / "state" / "zoranth" / "host.log");
        std::stringstream text;
        text << log.rdbuf();
        return text.str();
    }

    fs::path folder_;
};

TEST_F(CheckMode, AReadyMachinePassesEveryCheckAndExitsWithZero) {
    const HostRun run = check("ZORANTH_FIREWALL_TOOL='" + fakeTool + "' FAKE_FIREWALL_CASE=off");
    EXPECT_EQ(run.output,
              "\n"
              "=== system checks ===\n"
              "[PASS] Hearing this Mac: Zoranth can hear this Mac.\n"
              "[PASS] Guests finding this Mac: Guests can discover this Mac.\n"
              "[PASS] Letting guests connect: The firewall is off. Guests can reach this Mac.\n"
              "\n"
              "Ready to start a rave.\n");
    EXPECT_EQ(run.status, 0);
    // Every line also went to the host log.
    EXPECT_NE(hostLog().find("  === system checks ==="), std::string::npos);
    EXPECT_NE(hostLog().find("  Ready to start a rave."), std::string::npos);
}

TEST_F(CheckMode, ThisMachinesMissingFirewallToolIsUnknownAndStillReady) {
    if (fs::exists("/usr/libexec/ApplicationFirewall/socketfilterfw")) {
        GTEST_SKIP() << "this machine has a firewall tool";
    }
    const HostRun run = check("");
    EXPECT_EQ(run.output,
              "\n"
              "=== system checks ===\n"
              "[PASS] Hearing this Mac: Zoranth can hear this Mac.\n"
              "[PASS] Guests finding this Mac: Guests can discover this Mac.\n"
              "[????] Letting guests connect: Could not read the firewall setting.\n"
              "       Check System Settings > Network > Firewall by hand.\n"
              "\n"
              "Ready to start a rave.\n");
    EXPECT_EQ(run.status, 0);
}

// The daemon is out of reach for the child only (another bus address): the shared
// daemon keeps running for everyone else.
TEST_F(CheckMode, WithoutServiceDiscoveryAndWithASecondCopyThreeSettingsNeedAttention) {
    const fs::path copy = folder_ / "bin" / "zoranth-host";
    std::ofstream(copy) << "#!/bin/sh\n";
    fs::permissions(copy, fs::perms::owner_all);

    const HostRun run = check(
        "DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/zoranth/system_bus_socket "
        "ZORANTH_FIREWALL_TOOL='" +
        fakeTool + "' FAKE_FIREWALL_CASE=on");
    EXPECT_EQ(run.output,
              "\n"
              "=== system checks ===\n"
              "[PASS] Hearing this Mac: Zoranth can hear this Mac.\n"
              "[FAIL] Guests finding this Mac: Bonjour never confirmed the service.\n"
              "       Guests will not be able to find this Mac. Open Privacy & Security >\n"
              "       Local Network and turn on Zoranth Host.\n"
              "[TODO] Letting guests connect: Guests haven't been allowed through the firewall "
              "yet.\n"
              "       macOS will interrupt with a permission dialog the first time a guest\n"
              "       connects. Allowing Zoranth now means that never happens.\n"
              "[TODO] Another copy of Zoranth: There is a second copy at " +
                  copy.string() +
                  ".\n"
                  "       Permissions are granted to a specific copy, so a toggle you turn on may\n"
                  "       apply to that one instead of this one.\n"
                  "\n"
                  "3 setting(s) need attention before guests can join.\n");
    EXPECT_EQ(run.status, 1);
}

}  // namespace
