// The checkup's findings: the firewall verdict's rules in their order, the names the
// application matches under, the audio and network findings, and the one-shot that
// settles a race between two outcomes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/checks/mac_checkup.h"

namespace zoranth {

static void PrintTo(const MacCheckup::Finding& finding, std::ostream* out) {
    *out << "{" << finding.id << ", verdict " << static_cast<int>(finding.verdict) << ", reason "
         << static_cast<int>(finding.reason) << ", \"" << finding.detail << "\", \"" << finding.fix
         << "\"}";
}

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Entry = MacCheckup::FirewallEntry;
using Reason = MacCheckup::Reason;
using Verdict = MacCheckup::Verdict;

const std::string self = "/opt/zoranth/bin/zoranth-host";
const std::vector<std::string> candidates = {self, "com.zoranth.host"};

const std::string blockAllDetail = "The firewall is set to block all incoming connections.";

struct VerdictCase {
    const char* rule;
    std::optional<int> globalState;
    bool blockAll;
    std::vector<Entry> entries;
    Verdict verdict;
    Reason reason;
    std::string detail;
};

TEST(FirewallVerdict, TheFirstRuleThatAppliesWins) {
    const std::vector<Entry> blocked = {{self, true}};
    const std::vector<Entry> allowed = {{self, false}};
    const VerdictCase cases[] = {
        {"off beats block-all and a blocked entry", 0, true, blocked, Verdict::ok,
         Reason::firewallOff, "The firewall is off. Guests can reach this Mac."},
        {"block-all beats a blocked entry", 1, true, blocked, Verdict::problem,
         Reason::blockAllIncoming, blockAllDetail},
        {"block-all beats an unreadable state", std::nullopt, true, allowed, Verdict::problem,
         Reason::blockAllIncoming, blockAllDetail},
        {"an unreadable state beats the entries", std::nullopt, false, allowed, Verdict::unknown,
         Reason::stateUnreadable, "Could not read the firewall state."},
        {"state 2 blocks all", 2, false, allowed, Verdict::problem, Reason::blockAllIncoming,
         blockAllDetail},
        {"a blocked entry", 1, false, blocked, Verdict::problem, Reason::appBlocked,
         "Zoranth is blocked by the firewall."},
        {"listed twice, allowed first",
         1,
         false,
         {{self, false}, {self, true}},
         Verdict::problem,
         Reason::appBlocked,
         "Zoranth is blocked by the firewall."},
        {"listed twice, blocked first",
         1,
         false,
         {{self, true}, {"com.zoranth.host", false}},
         Verdict::problem,
         Reason::appBlocked,
         "Zoranth is blocked by the firewall."},
        {"allowed, others blocked",
         1,
         false,
         {{"/usr/bin/other", true}, {self, false}},
         Verdict::ok,
         Reason::allowed,
         "Guests can reach this Mac."},
        {"allowed under the identifier",
         1,
         false,
         {{"com.zoranth.host", false}},
         Verdict::ok,
         Reason::allowed,
         "Guests can reach this Mac."},
        {"any other state counts as on", 7, false, allowed, Verdict::ok, Reason::allowed,
         "Guests can reach this Mac."},
        {"only other applications listed",
         1,
         false,
         {{"/usr/bin/other", false}},
         Verdict::warning,
         Reason::notInList,
         "Guests haven't been allowed through the firewall yet."},
        {"a similar name is not this one",
         1,
         false,
         {{self + "2", false}, {"com.zoranth", false}},
         Verdict::warning,
         Reason::notInList,
         "Guests haven't been allowed through the firewall yet."},
        {"an empty list",
         1,
         false,
         {},
         Verdict::warning,
         Reason::notInList,
         "Guests haven't been allowed through the firewall yet."},
    };
    for (const auto& row : cases) {
        const auto finding =
            MacCheckup::firewallVerdict(row.globalState, row.blockAll, row.entries, candidates);
        EXPECT_EQ(finding.verdict, row.verdict) << row.rule;
        EXPECT_EQ(finding.reason, row.reason) << row.rule;
        EXPECT_EQ(finding.detail, row.detail) << row.rule;
        EXPECT_EQ(finding.id, "firewall") << row.rule;
        EXPECT_EQ(finding.title, "Letting guests connect") << row.rule;
        EXPECT_EQ(finding.settingsURL,
                  "x-apple.systempreferences:com.apple.Network-Settings.extension")
            << row.rule;
        EXPECT_EQ(finding.fix.empty(), row.verdict == Verdict::ok) << row.rule;
    }
}

TEST(FirewallVerdict, FixesSayWhatToDo) {
    const auto blockAll = MacCheckup::firewallVerdict(2, false, {}, candidates);
    EXPECT_EQ(blockAll.fix,
              "Guests cannot reach this Mac. Open Firewall settings, click Options\u2026, and "
              "turn off \u201c"
              "Block all incoming connections\u201d. Leave the firewall itself on \u2014 that "
              "setting also blocks AirDrop, screen sharing and file sharing.");
    EXPECT_EQ(MacCheckup::firewallVerdict(1, false, {}, candidates).fix,
              "macOS will interrupt with a permission dialog the first time a guest connects. "
              "Allowing Zoranth now means that never happens.");
    EXPECT_EQ(MacCheckup::firewallVerdict(std::nullopt, false, {}, candidates).fix,
              "Check System Settings > Network > Firewall by hand.");
    const auto unreadable = MacCheckup::firewallUnreadableFinding();
    EXPECT_EQ(unreadable.reason, Reason::firewallUnreadable);
    EXPECT_EQ(unreadable.verdict, Verdict::unknown);
    EXPECT_EQ(unreadable.detail, "Could not read the firewall setting.");
    EXPECT_EQ(unreadable.fix, "Check System Settings > Network > Firewall by hand.");
}

class TemporaryFolder {
  public:
    TemporaryFolder() {
        char pattern[] = "/tmp/zoranth-checkup-XXXXXX";
        path_ = ::mkdtemp(pattern);
    }
    ~TemporaryFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

void makeExecutable(const fs::path& path) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << "#!/bin/sh\n";
    fs::permissions(path, fs::perms::owner_all);
}

// The firewall may list the program under a link to it, or the program may run through
// one: both sides are resolved before they are compared.
TEST(FirewallCandidates, MatchThroughSymbolicLinksOnBothSides) {
    TemporaryFolder folder;
    const fs::path real = folder.path() / "real" / "zoranth-host";
    makeExecutable(real);
    fs::create_directory_symlink(folder.path() / "real", folder.path() / "linked");
    const fs::path viaLink = folder.path() / "linked" / "zoranth-host";

    const MacCheckup::AppLocation app{viaLink.string(), viaLink.string(), "com.zoranth.host"};
    const auto names = MacCheckup::firewallCandidates(app);
    EXPECT_EQ(names, (std::vector<std::string>{real.string(), "com.zoranth.host"}));

    const std::vector<Entry> listedUnderTheLink = {{viaLink.string(), false}};
    EXPECT_EQ(MacCheckup::firewallVerdict(1, false, listedUnderTheLink, names).reason,
              Reason::allowed);
    const std::vector<Entry> listedUnwound = {
        {(folder.path() / "linked" / ".." / "real" / "." / "zoranth-host").string(), true}};
    EXPECT_EQ(MacCheckup::firewallVerdict(1, false, listedUnwound, names).reason,
              Reason::appBlocked);
}

TEST(FirewallCandidates, AreTheExecutableTheBundleAndTheIdentifierInOrder) {
    const MacCheckup::AppLocation app{"/opt/z/bin/zoranth-host", "/opt/z/Zoranth Host.app",
                                      "com.zoranth.host"};
    EXPECT_EQ(MacCheckup::firewallCandidates(app),
              (std::vector<std::string>{"/opt/z/bin/zoranth-host", "/opt/z/Zoranth Host.app",
                                        "com.zoranth.host"}));
    const MacCheckup::AppLocation unknown{std::nullopt, "", std::nullopt};
    EXPECT_TRUE(MacCheckup::firewallCandidates(unknown).empty());
}

TEST(FirewallCandidates, ThisProcessIsKnownByItsResolvedExecutable) {
    const auto app = MacCheckup::AppLocation::current();
    ASSERT_TRUE(app.executablePath.has_value());
    EXPECT_EQ(*app.executablePath, fs::canonical("/proc/self/exe").string());
    EXPECT_EQ(MacCheckup::firewallCandidates().front(), *app.executablePath);
}

TEST(AudioFinding, FollowsTheProbesVerdict) {
    const std::string fix =
        "Open System Settings > Privacy & Security > Audio Recording and turn on Zoranth Host. "
        "Without it the rave runs but every guest hears silence.";
    const struct {
        std::optional<AudioCapability::Verdict> verdict;
        Verdict expected;
        std::string detail;
        std::string fix;
        Reason reason;
    } cases[] = {
        {AudioCapability::Verdict::granted(), Verdict::ok, "Zoranth can hear this Mac.", "",
         Reason::audioGranted},
        {AudioCapability::Verdict::denied(), Verdict::problem,
         "Not allowed, so there is nothing to send.", fix, Reason::audioDenied},
        {std::nullopt, Verdict::unknown, "Not checked yet.", fix, Reason::audioUndetermined},
        {AudioCapability::Verdict::undetermined("no sound server is running"), Verdict::unknown,
         "Could not tell: no sound server is running", fix, Reason::audioUndetermined},
    };
    for (const auto& row : cases) {
        const MacCheckup::Finding expected{
            "audio",
            "Hearing this Mac",
            row.expected,
            row.detail,
            row.fix,
            row.reason,
            "x-apple.systempreferences:com.apple.preference.security?Privacy_AudioCapture"};
        EXPECT_EQ(MacCheckup::audioFinding(row.verdict), expected);
    }
}

TEST(NetworkFinding, HasOneTextPerOutcome) {
    const struct {
        Reason reason;
        Verdict verdict;
        std::string detail;
        std::string fix;
    } cases[] = {
        {Reason::networkOK, Verdict::ok, "Guests can discover this Mac.", ""},
        {Reason::networkDenied, Verdict::problem, "Guests cannot see this Mac.",
         "Open Privacy & Security > Local Network and turn on Zoranth Host. Without it your rave "
         "is invisible, even to a phone on the same Wi-Fi."},
        {Reason::networkUnconfirmed, Verdict::problem, "Bonjour never confirmed the service.",
         "Guests will not be able to find this Mac. Open Privacy & Security > Local Network and "
         "turn on Zoranth Host."},
        {Reason::networkUntestable, Verdict::unknown, "Could not test.", ""},
    };
    for (const auto& row : cases) {
        const MacCheckup::Finding expected{
            "network",
            "Guests finding this Mac",
            row.verdict,
            row.detail,
            row.fix,
            row.reason,
            "x-apple.systempreferences:com.apple.preference.security?Privacy_LocalNetwork"};
        EXPECT_EQ(MacCheckup::networkFinding(row.reason), expected);
    }
}

TEST(CheckupRunAll, TakesAKnownDenialWithoutTestingAndKeepsTheOrder) {
    std::promise<std::vector<MacCheckup::Finding>> delivered;
    MacCheckup::runAllAsync(AudioCapability::Verdict::granted(), true,
                            [&](std::vector<MacCheckup::Finding> findings) {
                                delivered.set_value(std::move(findings));
                            });
    auto result = delivered.get_future();
    ASSERT_EQ(result.wait_for(30s), std::future_status::ready);
    const auto findings = result.get();
    ASSERT_GE(findings.size(), 3u);
    EXPECT_EQ(findings[0], MacCheckup::audioFinding(AudioCapability::Verdict::granted()));
    EXPECT_EQ(findings[1], MacCheckup::networkFinding(Reason::networkDenied));
    EXPECT_EQ(findings[2].id, "firewall");
    for (std::size_t i = 3; i < findings.size(); ++i) {
        EXPECT_EQ(findings[i].reason, Reason::duplicateInstall);
    }
}

// Two outcomes claimed at the same moment, many times over: one wins every time.
TEST(CheckupOneShot, LetsExactlyOneOfTwoRacingClaimsThrough) {
    for (int round = 0; round < 200; ++round) {
        MacCheckup::OneShot once;
        std::atomic<bool> go{false};
        std::atomic<int> wins{0};
        const auto racer = [&] {
            while (!go.load()) {
            }
            if (once.claim()) {
                ++wins;
            }
        };
        std::thread first(racer);
        std::thread second(racer);
        go = true;
        first.join();
        second.join();
        ASSERT_EQ(wins.load(), 1) << "round " << round;
        EXPECT_FALSE(once.claim());
    }
}

}  // namespace
}  // namespace zoranth
