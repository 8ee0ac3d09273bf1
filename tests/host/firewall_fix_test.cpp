// The firewall fix against a stand-in for the firewall tool and stand-ins for the
// administrator prompt: its refusals, each outcome, the exact commands and the quoting
// that carries any path to the tool unchanged.
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <vector>

#include "host/checks/firewall_fix.h"

namespace zoranth {

static void PrintTo(const FirewallFix::Outcome& outcome, std::ostream* out) {
    *out << "{case " << static_cast<int>(outcome.kind) << ", \"" << outcome.message << "\"}";
}

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Outcome = FirewallFix::Outcome;

const std::string fakeTool =
    std::string(ZORANTH_SOURCE_DIR) + "/tests/fixtures/fake_socketfilterfw";
const std::string self = "/opt/zoranth/bin/zoranth-host";

// The stand-in's list and call log in a folder of their own, and a tool that runs the
// stand-in with them; no test changes this process's environment.
class FakeFirewall {
  public:
    // `prelude`: shell lines the tool runs before the stand-in.
    explicit FakeFirewall(const std::string& apps, const std::string& changes = "anyone",
                          const std::string& prelude = "") {
        char pattern[] = "/tmp/zoranth-fix-XXXXXX";
        folder_ = ::mkdtemp(pattern);
        std::ofstream(folder_ / "apps") << apps;
        std::ofstream(folder_ / "calls");
        std::ofstream(tool()) << "#!/bin/sh\n"
                              << prelude << "FAKE_FIREWALL_CHANGES='" << changes
                              << "' FAKE_FIREWALL_STATE='" << folder_.string() << "' exec '"
                              << fakeTool << "' \"$@\"\n";
        fs::permissions(tool(), fs::perms::owner_all);
    }
    ~FakeFirewall() {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }
    std::string tool() const { return (folder_ / "socketfilterfw").string(); }

    // Every call the tool received, one line each as [argument][argument]...
    std::vector<std::string> calls() const {
        std::vector<std::string> lines;
        std::ifstream log(folder_ / "calls");
        for (std::string line; std::getline(log, line);) {
            lines.push_back(line);
        }
        return lines;
    }

  private:
    fs::path folder_;
};

FirewallFix::Setup setupFor(const FakeFirewall& firewall, std::optional<std::string> executable,
                            std::vector<std::string> elevation) {
    FirewallFix::Setup setup;
    setup.app = {executable, executable.value_or(""), "com.zoranth.host"};
    setup.tool = firewall.tool();
    setup.elevation = std::move(elevation);
    return setup;
}

// Runs the privileged command as it is, with the stand-in told it runs as root.
const std::vector<std::string> asRoot = {"/usr/bin/env", "FAKE_FIREWALL_PRIVILEGED=1"};
const std::vector<std::string> dismissed = {"/bin/sh", "-c", "exit 126"};

TEST(FirewallFixRefusals, NeverTouchTheFirewall) {
    const struct {
        const char* why;
        MacCheckup::AppLocation app;
        std::string message;
    } cases[] = {
        {"a temporary copy",
         {self, "/private/var/folders/x/AppTranslocation/1234/d/Zoranth Host.app", std::nullopt},
         "Zoranth is running from a temporary copy. Move it to Applications first."},
        {"an unknown location",
         {std::nullopt, "", std::nullopt},
         "Could not determine the app's location."},
        {"a line feed in the path",
         {"/opt/evil\n/zoranth-host", "/opt/evil\n", std::nullopt},
         "The app's path contains a newline; refusing to run."},
    };
    for (const auto& row : cases) {
        FakeFirewall firewall("");
        FirewallFix::Setup setup = setupFor(firewall, self, asRoot);
        setup.app = row.app;
        EXPECT_EQ(FirewallFix(setup).apply(), Outcome::failed(row.message)) << row.why;
        EXPECT_TRUE(firewall.calls().empty()) << row.why;
    }
}

TEST(FirewallFixApply, DoesNothingWhenAlreadyAllowed) {
    FakeFirewall firewall("allow /usr/bin/other\nallow " + self + "\n");
    EXPECT_EQ(FirewallFix(setupFor(firewall, self, dismissed)).apply(), Outcome::alreadyAllowed());
    EXPECT_EQ(firewall.calls(), std::vector<std::string>{"[--listapps]"});
}

TEST(FirewallFixApply, CountsTheBundlePathAsThisApplication) {
    FakeFirewall firewall("allow /opt/zoranth/Zoranth Host.app\n");
    FirewallFix::Setup setup = setupFor(firewall, self, dismissed);
    setup.app.bundlePath = "/opt/zoranth/Zoranth Host.app";
    EXPECT_TRUE(FirewallFix(setup).isAllowed());
}

TEST(FirewallFixApply, DoesNotCountAnApplicationListedBothAllowedAndBlocked) {
    FakeFirewall firewall("allow " + self + "\nblock com.zoranth.host\n");
    EXPECT_FALSE(FirewallFix(setupFor(firewall, self, dismissed)).isAllowed());
}

TEST(FirewallFixApply, IsDoneWithoutAPasswordWhenTheToolLetsAnyoneChangeTheList) {
    FakeFirewall firewall("block " + self + "\n");
    EXPECT_EQ(FirewallFix(setupFor(firewall, self, dismissed)).apply(),
              Outcome::fixedWithoutPassword());
    EXPECT_EQ(firewall.calls(),
              (std::vector<std::string>{"[--listapps]", "[--add][" + self + "]",
                                        "[--unblockapp][" + self + "]", "[--listapps]"}));
}

TEST(FirewallFixApply, AsksForThePasswordWhenOnlyRootMayChangeTheList) {
    // Quotes, spaces and shell syntax in the path reach the tool unchanged.
    const std::string path = "/opt/Zoranth's \"Host\"/$(touch gotcha) `x` \\/zoranth-host";
    FakeFirewall firewall("", "root");
    EXPECT_EQ(FirewallFix(setupFor(firewall, path, asRoot)).apply(), Outcome::fixedWithPassword());
    const std::vector<std::string> expected = {
        "[--listapps]", "[--add][" + path + "]", "[--unblockapp][" + path + "]",
        "[--listapps]", "[--add][" + path + "]", "[--unblockapp][" + path + "]",
        "[--listapps]"};
    EXPECT_EQ(firewall.calls(), expected);
}

TEST(FirewallFixApply, ReportsWhatThePrivilegedStepEndedWith) {
    const struct {
        const char* why;
        std::string changes;
        std::vector<std::string> elevation;
        Outcome outcome;
    } cases[] = {
        {"the prompt was dismissed", "root", dismissed, Outcome::cancelled()},
        {"the prompt refused, saying why",
         "root",
         {"/bin/sh", "-c",
          "echo 'Error executing command as another user: Not authorized' >&2; exit 127"},
         Outcome::failed("Error executing command as another user: Not authorized")},
        {"it failed without a word",
         "root",
         {"/bin/sh", "-c", "exit 1"},
         Outcome::failed("Unknown error")},
        {"no prompt program",
         "root",
         {"/nonexistent/zoranth/pkexec"},
         Outcome::failed("Could not build the request.")},
        {"no prompt at all", "root", {}, Outcome::failed("Could not build the request.")},
        {"a managed firewall ignores the change", "nobody", asRoot,
         Outcome::failed("The firewall did not accept the change. It may be managed by your "
                         "organisation.")},
    };
    for (const auto& row : cases) {
        FakeFirewall firewall("", row.changes);
        EXPECT_EQ(FirewallFix(setupFor(firewall, self, row.elevation)).apply(), row.outcome)
            << row.why;
    }
}

TEST(FirewallFixApply, WithoutTheToolOnlyThePrivilegedStepDecides) {
    FirewallFix::Setup setup;
    setup.app = {self, self, "com.zoranth.host"};
    setup.tool = "/nonexistent/ApplicationFirewall/socketfilterfw";
    setup.elevation = dismissed;
    EXPECT_FALSE(FirewallFix(setup).isAllowed());
    EXPECT_EQ(FirewallFix(setup).apply(), Outcome::cancelled());

    setup.elevation = asRoot;
    const Outcome outcome = FirewallFix(setup).apply();
    EXPECT_EQ(outcome.kind, Outcome::Case::failed);
    EXPECT_NE(outcome.message.find("not found"), std::string::npos) << outcome.message;
}

TEST(FirewallFixQueue, RunsFixesOneAfterAnotherOnItsOwnThread) {
    char pattern[] = "/tmp/zoranth-fix-order-XXXXXX";
    const fs::path folder = ::mkdtemp(pattern);
    const std::string order = (folder / "order").string();
    // Each tool notes its fix and dawdles a little, so that overlapping fixes would mix.
    FakeFirewall first("block " + self + "\n", "anyone",
                       "echo first >> '" + order + "'; sleep 0.05\n");
    FakeFirewall second("block " + self + "\n", "anyone",
                        "echo second >> '" + order + "'; sleep 0.05\n");
    using Done = std::promise<std::pair<Outcome, std::string>>;
    const auto reporting = [](Done& done) {
        return [&done](Outcome outcome) {
            char name[16] = {};
            pthread_getname_np(pthread_self(), name, sizeof name);
            done.set_value({outcome, name});
        };
    };
    Done firstDone;
    Done secondDone;
    FirewallFix(setupFor(first, self, dismissed)).applyAsync(reporting(firstDone));
    FirewallFix(setupFor(second, self, dismissed)).applyAsync(reporting(secondDone));

    for (Done* done : {&firstDone, &secondDone}) {
        auto result = done->get_future();
        ASSERT_EQ(result.wait_for(20s), std::future_status::ready);
        const auto [outcome, thread] = result.get();
        EXPECT_EQ(outcome, Outcome::fixedWithoutPassword());
        EXPECT_EQ(thread, "zoranth-fwfix");
    }
    std::vector<std::string> calls;
    std::ifstream log(order);
    for (std::string line; std::getline(log, line);) {
        calls.push_back(line);
    }
    const std::vector<std::string> expected = {"first",  "first",  "first",  "first",
                                               "second", "second", "second", "second"};
    EXPECT_EQ(calls, expected);
    std::error_code ignored;
    fs::remove_all(folder, ignored);
}

TEST(FirewallFixCommands, PreviewAndManualCommandNameTheSystemTool) {
    FirewallFix::Setup setup;
    setup.app = {"/opt/Zoranth Host/zoranth-host", "/opt/Zoranth Host/zoranth-host", std::nullopt};
    setup.tool = std::string(MacCheckup::systemFirewallTool);
    const FirewallFix fix(setup);
    EXPECT_EQ(fix.commandPreview(),
              "/usr/libexec/ApplicationFirewall/socketfilterfw --add \"/opt/Zoranth "
              "Host/zoranth-host\"\n"
              "/usr/libexec/ApplicationFirewall/socketfilterfw --unblockapp \"/opt/Zoranth "
              "Host/zoranth-host\"");
    EXPECT_EQ(fix.manualCommand(),
              "sudo /usr/libexec/ApplicationFirewall/socketfilterfw --add \"/opt/Zoranth "
              "Host/zoranth-host\" && sudo /usr/libexec/ApplicationFirewall/socketfilterfw "
              "--unblockapp \"/opt/Zoranth Host/zoranth-host\"");
    EXPECT_EQ(fix.elevatedCommand("/opt/it's/zoranth-host"),
              "/usr/libexec/ApplicationFirewall/socketfilterfw --add '/opt/it'\\''s/zoranth-host' "
              "&& /usr/libexec/ApplicationFirewall/socketfilterfw --unblockapp "
              "'/opt/it'\\''s/zoranth-host'");

    setup.app = {std::nullopt, "", std::nullopt};
    EXPECT_EQ(FirewallFix(setup).commandPreview(),
              "/usr/libexec/ApplicationFirewall/socketfilterfw --add \"<Zoranth Host>\"\n"
              "/usr/libexec/ApplicationFirewall/socketfilterfw --unblockapp \"<Zoranth Host>\"");
}

// Pasted into a terminal, the manual command must not run anything hidden in a path.
TEST(FirewallFixCommands, TheManualCommandTakesAnyPathLiterally) {
    const std::string path = "/opt/$(touch gotcha)/`id`/a\"b\\c/zoranth-host";
    FirewallFix::Setup setup;
    setup.app = {path, path, std::nullopt};
    setup.tool = "/bin/echo";
    // sudo shows the words it was given instead of running them.
    const std::string shown =
        "sudo() { printf '[%s]' \"$@\"; echo; }; " + FirewallFix(setup).manualCommand();
    EXPECT_EQ(MacCheckup::run("/bin/sh", {"-c", shown}, 5s),
              "[/bin/echo][--add][" + path + "]\n[/bin/echo][--unblockapp][" + path + "]\n");
}

TEST(FirewallFixCommands, ShellQuotingSurvivesTheShell) {
    const std::string cases[] = {
        "/Applications/Zoranth Host.app",
        "it's",
        "''",
        "",
        "a\\b\"c$d`e`",
        "$(id)",
        "end'",
        "tab\there",
        "new\nline",
    };
    for (const std::string& text : cases) {
        const auto echoed =
            MacCheckup::run("/bin/sh", {"-c", "printf '%s' " + FirewallFix::shellQuoted(text)}, 5s);
        EXPECT_EQ(echoed, text);
    }
    EXPECT_EQ(FirewallFix::shellQuoted("Zoranth's Host"), "'Zoranth'\\''s Host'");
}

}  // namespace
}  // namespace zoranth
