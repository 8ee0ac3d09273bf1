// The firewall fix: the exact commands for ufw and firewalld, shown and pasted; what
// it does when nothing needs doing; each way the password prompt can end; and the
// commands reaching the firewall's tool word for word. The firewall's state is given
// here; firewalld itself answers in system_checkup_itest.cpp. The tool and the prompt
// are stand-ins that record what they were asked.
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
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
using Kind = FirewallInspection::Kind;

FirewallInspection firewall(Kind kind, Admission::Case port, Admission::Case mdns,
                            std::string zone = "public", bool zoneIsDefault = true) {
    FirewallInspection found;
    found.kind = kind;
    found.name = kind == Kind::ufw ? "ufw" : kind == Kind::firewalld ? "firewalld" : "nftables";
    found.zone = std::move(zone);
    found.zoneIsDefault = zoneIsDefault;
    found.guestPort = {port, "the port's reason"};
    found.mdns = {mdns, "mDNS's reason"};
    return found;
}

TEST(FirewallFixCommands, AreTheActiveFirewallsOwnForThePortAndMdns) {
    using Case = Admission::Case;
    const auto ufw =
        FirewallFix::commandsFor(firewall(Kind::ufw, Case::blocked, Case::blocked), 40311);
    EXPECT_EQ(FirewallFix::preview(ufw), "ufw allow 40311/tcp\nufw allow 5353/udp");
    EXPECT_EQ(FirewallFix::manual(ufw), "sudo ufw allow 40311/tcp && sudo ufw allow 5353/udp");

    const auto firewalld =
        FirewallFix::commandsFor(firewall(Kind::firewalld, Case::blocked, Case::allowed), 40311);
    EXPECT_EQ(FirewallFix::preview(firewalld),
              "firewall-cmd --add-port=40311/tcp\n"
              "firewall-cmd --add-service=mdns\n"
              "firewall-cmd --permanent --add-port=40311/tcp\n"
              "firewall-cmd --permanent --add-service=mdns");

    const auto home = FirewallFix::commandsFor(
        firewall(Kind::firewalld, Case::blocked, Case::allowed, "home", false), 40311);
    EXPECT_EQ(FirewallFix::manual(home),
              "sudo firewall-cmd --zone=home --add-port=40311/tcp && sudo firewall-cmd "
              "--zone=home --add-service=mdns && sudo firewall-cmd --permanent --zone=home "
              "--add-port=40311/tcp && sudo firewall-cmd --permanent --zone=home "
              "--add-service=mdns");

    EXPECT_TRUE(FirewallFix::commandsFor(firewall(Kind::nftables, Case::blocked, Case::blocked), 1)
                    .empty());
    EXPECT_TRUE(FirewallFix::commandsFor(FirewallInspection{}, 1).empty());
}

// A recording ufw and prompt in a folder of their own.
class StandIns {
  public:
    StandIns() {
        char pattern[] = "/tmp/zoranth-fix-XXXXXX";
        folder_ = ::mkdtemp(pattern);
        script("ufw", "printf '%s\\n' \"$*\" >> '" + log() + "'\n");
    }
    ~StandIns() { fs::remove_all(folder_); }

    // An executable shell script named `name` with `body`.
    std::string script(const std::string& name, const std::string& body) const {
        const fs::path path = folder_ / name;
        std::ofstream(path) << "#!/bin/sh\n" << body;
        fs::permissions(path, fs::perms::owner_all);
        return path.string();
    }
    std::string log() const { return (folder_ / "calls").string(); }
    std::vector<std::string> calls() const {
        std::vector<std::string> lines;
        std::ifstream in(log());
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines;
    }
    std::string ufw() const { return (folder_ / "ufw").string(); }

  private:
    fs::path folder_;
};

FirewallFix::Setup setupWith(const StandIns& standIns, std::vector<FirewallInspection> states,
                             std::vector<std::string> elevation) {
    auto remaining = std::make_shared<std::vector<FirewallInspection>>(std::move(states));
    FirewallFix::Setup setup;
    setup.inspect = [remaining] {
        FirewallInspection next = remaining->front();
        if (remaining->size() > 1) {
            remaining->erase(remaining->begin());
        }
        return next;
    };
    setup.port = 40311;
    setup.elevation = std::move(elevation);
    setup.ufw = standIns.ufw();
    return setup;
}

TEST(FirewallFixApply, EndsEachWayThePromptCanEnd) {
    using Case = Admission::Case;
    const FirewallInspection blocked = firewall(Kind::ufw, Case::blocked, Case::allowed);
    const FirewallInspection open = firewall(Kind::ufw, Case::allowed, Case::allowed);
    const FirewallInspection unreadable = firewall(Kind::ufw, Case::unknown, Case::unknown);
    const std::vector<std::string> runsIt = {"/usr/bin/env"};
    const struct {
        const char* why;
        std::vector<FirewallInspection> states;
        std::vector<std::string> elevation;
        Outcome outcome;
        std::size_t calls;
    } cases[] = {
        {"no firewall is active", {FirewallInspection{}}, runsIt, Outcome::alreadyAllowed(), 0},
        {"the port and mDNS are let in already", {open}, runsIt, Outcome::alreadyAllowed(), 0},
        {"the password was given", {blocked, open}, runsIt, Outcome::fixedWithPassword(), 2},
        {"root's rules, taken at the commands' word",
         {unreadable},
         runsIt,
         Outcome::fixedWithPassword(),
         2},
        {"the prompt was dismissed",
         {blocked},
         {"/bin/sh", "-c", "exit 126"},
         Outcome::cancelled(),
         0},
        {"the prompt refused, saying why",
         {blocked},
         {"/bin/sh", "-c",
          "echo 'Error executing command as another user: Not authorized' >&2; exit 127"},
         Outcome::failed("Error executing command as another user: Not authorized"),
         0},
        {"it failed without a word",
         {blocked},
         {"/bin/sh", "-c", "exit 1"},
         Outcome::failed("pkexec ended with exit status 1"),
         0},
        {"no prompt program",
         {blocked},
         {"/nonexistent/zoranth/pkexec"},
         Outcome::failed("Could not ask for the password: /nonexistent/zoranth/pkexec: No such "
                         "file or directory"),
         0},
        {"the firewall still keeps guests out",
         {blocked, blocked},
         runsIt,
         Outcome::failed("The firewall did not accept the change: the port's reason."),
         2},
        {"hand-written nftables rules",
         {firewall(Kind::nftables, Case::blocked, Case::blocked)},
         runsIt,
         Outcome::failed("Rules written directly for nftables are left as they are. Add a rule "
                         "that accepts TCP port 40311 and UDP port 5353 to them."),
         0},
    };
    for (const auto& c : cases) {
        StandIns standIns;
        EXPECT_EQ(FirewallFix(setupWith(standIns, c.states, c.elevation)).apply(), c.outcome)
            << c.why;
        EXPECT_EQ(standIns.calls().size(), c.calls) << c.why;
    }
}

TEST(FirewallFixApply, TheToolGetsEachCommandWordForWord) {
    using Case = Admission::Case;
    const FirewallInspection blocked = firewall(Kind::ufw, Case::blocked, Case::blocked);
    const FirewallInspection open = firewall(Kind::ufw, Case::allowed, Case::allowed);
    StandIns standIns;
    FirewallFix::Setup setup = setupWith(standIns, {blocked, open}, {"/usr/bin/env"});
    EXPECT_EQ(FirewallFix(setup).apply(), Outcome::fixedWithPassword());
    const std::vector<std::string> expected = {"allow 40311/tcp", "allow 5353/udp"};
    EXPECT_EQ(standIns.calls(), expected);

    // As root the commands run directly, one after another, without a prompt.
    StandIns asRoot;
    setup = setupWith(asRoot, {blocked, open}, {"/nonexistent/zoranth/pkexec"});
    setup.isRoot = true;
    EXPECT_EQ(FirewallFix(setup).apply(), Outcome::fixedWithoutPassword());
    EXPECT_EQ(asRoot.calls(), expected);
}

TEST(FirewallFixQuoting, SurvivesTheShell) {
    const std::string odd = "/opt/it's \"here\"/$HOME/`x`\\";
    const auto done = [&] {
        StandIns standIns;
        const std::string echo = standIns.script("echo-args", "printf '%s' \"$1\"\n");
        std::FILE* pipe = ::popen(
            ("/bin/sh -c " + FirewallFix::shellQuoted(echo + " " + FirewallFix::shellQuoted(odd)))
                .c_str(),
            "r");
        std::string out;
        char buffer[256];
        for (std::size_t n = 0; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
            out.append(buffer, n);
        }
        ::pclose(pipe);
        return out;
    }();
    EXPECT_EQ(done, odd);
}

TEST(FirewallFixQueue, RunsFixesOneAfterAnotherOnItsOwnThread) {
    using Case = Admission::Case;
    StandIns standIns;
    // Each prompt notes its start and end and dawdles, so that overlapping fixes would mix.
    const std::string prompt = standIns.script("prompt", "echo start >> '" + standIns.log() +
                                                             "'; sleep 0.1; echo end >> '" +
                                                             standIns.log() + "'; exit 126\n");
    using Done = std::promise<std::pair<Outcome, std::string>>;
    const auto reporting = [](Done& done) {
        return [&done](Outcome outcome) {
            char name[16] = {};
            pthread_getname_np(pthread_self(), name, sizeof name);
            done.set_value({outcome, name});
        };
    };
    Done first;
    Done second;
    const auto setup = [&] {
        return setupWith(standIns, {firewall(Kind::ufw, Case::blocked, Case::blocked)}, {prompt});
    };
    FirewallFix(setup()).applyAsync(reporting(first));
    FirewallFix(setup()).applyAsync(reporting(second));
    for (Done* done : {&first, &second}) {
        auto result = done->get_future();
        ASSERT_EQ(result.wait_for(20s), std::future_status::ready);
        const auto [outcome, thread] = result.get();
        EXPECT_EQ(outcome, Outcome::cancelled());
        EXPECT_EQ(thread, "zoranth-fwfix");
    }
    const std::vector<std::string> expected = {"start", "end", "start", "end"};
    EXPECT_EQ(standIns.calls(), expected);
}

}  // namespace
}  // namespace zoranth
