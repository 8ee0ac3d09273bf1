#include "host/checks/firewall_fix.h"

#include <pthread.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "host/checks/command_runner.h"
#include "host/diagnostic_log.h"

namespace zoranth {
namespace {

// The fix queue: serial, with a thread of its own rather than a strand of the shared
// I/O threads, because a fix can wait minutes at the password prompt and must not hold
// up guests' connections meanwhile. Created on first use and kept for the life of the
// process (its thread may still be waiting at a prompt when the process ends).
class FixQueue {
  public:
    static FixQueue& shared() {
        static FixQueue* const queue = new FixQueue;
        return *queue;
    }

    void post(std::function<void()> work) {
        {
            std::lock_guard guard(lock_);
            work_.push_back(std::move(work));
        }
        posted_.notify_one();
    }

  private:
    FixQueue() {
        std::thread([this] {
            // Thread names stop at 15 characters; the queue's label is in the header.
            pthread_setname_np(pthread_self(), "zoranth-fwfix");
            runForever();
        }).detach();
    }

    void runForever() {
        for (;;) {
            std::function<void()> next;
            {
                std::unique_lock guard(lock_);
                posted_.wait(guard, [this] { return !work_.empty(); });
                next = std::move(work_.front());
                work_.pop_front();
            }
            next();
        }
    }

    std::mutex lock_;
    std::condition_variable posted_;
    std::deque<std::function<void()>> work_;
};

// Inside double quotes the shell still expands $, ` and \, and " ends the quote: a
// pasted command must take the path literally.
std::string doubleQuoted(std::string_view text) {
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '$' || c == '`' || c == '\\' || c == '"') {
            quoted += '\\';
        }
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

// A word the shell takes as it is written (the system tool's path is one).
bool plainWord(std::string_view text) {
    for (char c : text) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '/' || c == '.' || c == '_' || c == '-';
        if (!plain) {
            return false;
        }
    }
    return !text.empty();
}

}  // namespace

FirewallFix::Outcome FirewallFix::apply() const {
    if (setup_.app.bundlePath.find("/AppTranslocation/") != std::string::npos) {
        return Outcome::failed(
            "Zoranth is running from a temporary copy. Move it to Applications first.");
    }
    if (!setup_.app.executablePath) {
        return Outcome::failed("Could not determine the app's location.");
    }
    const std::string& path = *setup_.app.executablePath;
    if (path.find('\n') != std::string::npos) {
        return Outcome::failed("The app's path contains a newline; refusing to run.");
    }
    if (isAllowed()) {
        return Outcome::alreadyAllowed();
    }
    runUnprivileged(path);
    if (isAllowed()) {
        return Outcome::fixedWithoutPassword();
    }
    const Outcome elevated = runElevated(path);
    if (elevated.kind == Outcome::Case::failed || elevated.kind == Outcome::Case::cancelled) {
        return elevated;
    }
    if (isAllowed()) {
        return Outcome::fixedWithPassword();
    }
    return Outcome::failed(
        "The firewall did not accept the change. It may be managed by your organisation.");
}

void FirewallFix::applyAsync(std::function<void(Outcome)> done) const {
    FixQueue::shared().post([fix = *this, done = std::move(done)] { done(fix.apply()); });
}

std::string FirewallFix::commandPreview() const {
    const std::string path = doubleQuoted(displayedPath());
    return setup_.tool + " --add " + path + "\n" + setup_.tool + " --unblockapp " + path;
}

std::string FirewallFix::manualCommand() const {
    const std::string path = doubleQuoted(displayedPath());
    return "sudo " + setup_.tool + " --add " + path + " && sudo " + setup_.tool + " --unblockapp " +
           path;
}

bool FirewallFix::isAllowed() const {
    const auto listed =
        MacCheckup::run(setup_.tool, {"--listapps"}, MacCheckup::firewallCommandTimeout);
    if (!listed) {
        return false;
    }
    const std::vector<std::string> candidates = MacCheckup::firewallCandidates(setup_.app);
    bool matched = false;
    for (const MacCheckup::FirewallEntry& entry : MacCheckup::parseListApps(*listed)) {
        if (!MacCheckup::matches(entry, candidates)) {
            continue;
        }
        if (entry.blocked) {
            return false;
        }
        matched = true;
    }
    return matched;
}

void FirewallFix::runUnprivileged(const std::string& path) const {
    MacCheckup::run(setup_.tool, {"--add", path}, MacCheckup::firewallCommandTimeout);
    MacCheckup::run(setup_.tool, {"--unblockapp", path}, MacCheckup::firewallCommandTimeout);
}

FirewallFix::Outcome FirewallFix::runElevated(const std::string& path) const {
    if (setup_.elevation.empty()) {
        return Outcome::failed("Could not build the request.");
    }
    std::vector<std::string> arguments(setup_.elevation.begin() + 1, setup_.elevation.end());
    arguments.insert(arguments.end(), {"/bin/sh", "-c", elevatedCommand(path)});
    // No timeout: the user may take their time at the password prompt.
    const auto result =
        CommandRunner::run({setup_.elevation.front(), arguments, std::nullopt, true});
    if (!result) {
        DiagnosticLog::write("checkup", "firewall fix: no elevation: " + result.error().text);
        return Outcome::failed("Could not build the request.");
    }
    if (result->exitStatus == 0) {
        return Outcome::fixedWithPassword();
    }
    if (result->exitStatus == dismissedStatus) {
        return Outcome::cancelled();
    }
    std::string message = MacCheckup::tidy(result->errors);
    if (!message.empty()) {
        return Outcome::failed(std::move(message));
    }
    return Outcome::failed("Unknown error");
}

std::string FirewallFix::elevatedCommand(const std::string& path) const {
    const std::string quoted = shellQuoted(path);
    const std::string tool = plainWord(setup_.tool) ? setup_.tool : shellQuoted(setup_.tool);
    return tool + " --add " + quoted + " && " + tool + " --unblockapp " + quoted;
}

std::string FirewallFix::shellQuoted(std::string_view text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    quoted += '\'';
    return quoted;
}

std::string FirewallFix::displayedPath() const {
    return setup_.app.executablePath.value_or(std::string(unknownPath));
}

}  // namespace zoranth
