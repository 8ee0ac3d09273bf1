// checkFirewall against a stand-in for the firewall tool that prints what the real one
// prints, and against a tool that is not there, as on this system.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "host/checks/mac_checkup.h"

namespace zoranth {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Reason = MacCheckup::Reason;

const std::string fakeTool =
    std::string(ZORANTH_SOURCE_DIR) + "/tests/fixtures/fake_socketfilterfw";
const std::string self = "/opt/zoranth/bin/zoranth-host";
const std::vector<std::string> candidates = {self, "com.zoranth.host"};

// A folder with the stand-in's list of applications and a tool that runs the stand-in
// in one of its cases, so that no test changes this process's environment.
class FakeFirewall {
  public:
    FakeFirewall(const std::string& caseName, const std::string& apps) {
        char pattern[] = "/tmp/zoranth-firewall-XXXXXX";
        folder_ = ::mkdtemp(pattern);
        std::ofstream(folder_ / "apps") << apps;
        std::ofstream(tool()) << "#!/bin/sh\nFAKE_FIREWALL_CASE='" << caseName
                              << "' FAKE_FIREWALL_STATE='" << folder_.string() << "' exec '"
                              << fakeTool << "' \"$@\"\n";
        fs::permissions(tool(), fs::perms::owner_all);
    }
    ~FakeFirewall() {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }
    std::string tool() const { return (folder_ / "socketfilterfw").string(); }

  private:
    fs::path folder_;
};

TEST(CheckFirewall, ReadsTheToolsThreeAnswers) {
    const struct {
        const char* caseName;
        std::string apps;
        Reason reason;
    } cases[] = {
        {"off", "block " + self + "\n", Reason::firewallOff},
        {"blockall", "allow " + self + "\n", Reason::blockAllIncoming},
        {"state2", "allow " + self + "\n", Reason::blockAllIncoming},
        {"unreadable", "allow " + self + "\n", Reason::stateUnreadable},
        {"silent", "", Reason::stateUnreadable},  // it exited: an empty answer, not none
        {"killed", "", Reason::firewallUnreadable},
        {"on", "allow /usr/bin/other\nallow " + self + "\n", Reason::allowed},
        {"on", "allow com.zoranth.host\nblock " + self + "\n", Reason::appBlocked},
        {"on", "allow /usr/bin/other\n", Reason::notInList},
        {"on", "", Reason::notInList},
    };
    for (const auto& row : cases) {
        FakeFirewall firewall(row.caseName, row.apps);
        EXPECT_EQ(MacCheckup::checkFirewall(firewall.tool(), candidates).reason, row.reason)
            << row.caseName << " with " << row.apps;
    }
}

TEST(CheckFirewall, AMissingToolMakesTheSettingUnreadable) {
    EXPECT_EQ(
        MacCheckup::checkFirewall("/nonexistent/ApplicationFirewall/socketfilterfw", candidates),
        MacCheckup::firewallUnreadableFinding());
}

TEST(CheckFirewall, OnThisSystemTheToolIsAbsentAndTheSettingUnreadable) {
    if (MacCheckup::firewallTool() != MacCheckup::systemFirewallTool ||
        fs::exists(MacCheckup::systemFirewallTool)) {
        GTEST_SKIP() << "this system has a firewall tool, or a stand-in is named";
    }
    EXPECT_EQ(MacCheckup::checkFirewall(), MacCheckup::firewallUnreadableFinding());
}

TEST(CheckFirewall, AToolThatNeverAnswersIsEndedAndTheSettingUnreadable) {
    FakeFirewall firewall("hang", "");
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(MacCheckup::checkFirewall(firewall.tool(), candidates),
              MacCheckup::firewallUnreadableFinding());
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_GE(took, MacCheckup::firewallCommandTimeout);
    EXPECT_LT(took, MacCheckup::firewallCommandTimeout + 3s);
}

}  // namespace
}  // namespace zoranth
