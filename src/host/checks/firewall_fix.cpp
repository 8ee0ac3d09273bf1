#include "host/checks/firewall_fix.h"

#include <pthread.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "host/checks/system_checkup.h"
#include "host/diagnostic_log.h"
#include "host/net/steady_port.h"
#include "platform/process/child_process.h"

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

// The program a shown command names, as run here: the setup's own path for it.
FirewallFix::Command asRun(FirewallFix::Command command, const FirewallFix::Setup& setup) {
    if (!command.empty()) {
        command.front() = command.front() == "ufw" ? setup.ufw : setup.firewallCmd;
    }
    return command;
}

std::string joined(const FirewallFix::Command& command, bool quote) {
    std::string text;
    for (const std::string& word : command) {
        if (!text.empty()) {
            text += ' ';
        }
        text += quote ? FirewallFix::shellQuoted(word) : word;
    }
    return text;
}

bool guestsGetIn(const FirewallInspection& firewall) {
    return firewall.guestPort.kind == Admission::Case::allowed &&
           firewall.mdns.kind == Admission::Case::allowed;
}

}  // namespace

FirewallFix::Setup FirewallFix::Setup::standard() {
    // Looked at when a fix runs or is shown, not when the window that offers it opens.
    Setup setup;
    setup.inspect = [] { return FirewallInspection::inspect(SystemCheckup::firewallSetup()); };
    setup.isRoot = ::geteuid() == 0;
    return setup;
}

std::uint16_t FirewallFix::portNow() const {
    return setup_.port != 0 ? setup_.port : SteadyPort().settle();
}

FirewallFix::Outcome FirewallFix::apply() const {
    const FirewallInspection before = setup_.inspect();
    if (before.kind == FirewallInspection::Kind::none || guestsGetIn(before)) {
        return Outcome::alreadyAllowed();
    }
    const std::uint16_t port = portNow();
    const std::vector<Command> commands = commandsFor(before, port);
    if (commands.empty()) {
        return Outcome::failed(
            "Rules written directly for nftables are left as they are. Add a rule that "
            "accepts TCP port " +
            std::to_string(port) + " and UDP port 5353 to them.");
    }
    const Outcome ran = setup_.isRoot ? runDirectly(commands) : runElevated(commands);
    if (ran.kind != Outcome::Case::fixedWithPassword &&
        ran.kind != Outcome::Case::fixedWithoutPassword) {
        return ran;
    }
    // A firewall whose rules this user cannot read is taken at the commands' word.
    const FirewallInspection after = setup_.inspect();
    if (after.guestPort.kind == Admission::Case::blocked ||
        after.mdns.kind == Admission::Case::blocked) {
        return Outcome::failed("The firewall did not accept the change: " +
                               (after.guestPort.kind == Admission::Case::blocked
                                    ? after.guestPort.why
                                    : after.mdns.why) +
                               ".");
    }
    return ran;
}

void FirewallFix::applyAsync(std::function<void(Outcome)> done) const {
    FixQueue::shared().post([fix = *this, done = std::move(done)] { done(fix.apply()); });
}

std::vector<FirewallFix::Command> FirewallFix::commandsFor(const FirewallInspection& firewall,
                                                           std::uint16_t port) {
    const std::string tcp = std::to_string(port) + "/tcp";
    switch (firewall.kind) {
        case FirewallInspection::Kind::ufw:
            return {{"ufw", "allow", tcp}, {"ufw", "allow", "5353/udp"}};
        case FirewallInspection::Kind::firewalld: {
            // firewall-cmd takes one kind of change at a time (a port and a service
            // together are refused), each once for now and once for good.
            std::vector<std::string> zone;
            if (!firewall.zoneIsDefault && !firewall.zone.empty()) {
                zone.push_back("--zone=" + firewall.zone);
            }
            std::vector<Command> commands;
            for (const char* permanence : {"", "--permanent"}) {
                for (const std::string& change :
                     {"--add-port=" + tcp, std::string("--add-service=mdns")}) {
                    Command command{"firewall-cmd"};
                    if (*permanence != 0) {
                        command.push_back(permanence);
                    }
                    command.insert(command.end(), zone.begin(), zone.end());
                    command.push_back(change);
                    commands.push_back(std::move(command));
                }
            }
            return commands;
        }
        case FirewallInspection::Kind::nftables:
        case FirewallInspection::Kind::none:
            break;
    }
    return {};
}

std::string FirewallFix::commandPreview() const {
    return preview(commandsNow());
}

std::string FirewallFix::manualCommand() const {
    return manual(commandsNow());
}

std::string FirewallFix::preview(const std::vector<Command>& commands) {
    std::string text;
    for (const Command& command : commands) {
        if (!text.empty()) {
            text += '\n';
        }
        text += joined(command, false);
    }
    return text;
}

std::string FirewallFix::manual(const std::vector<Command>& commands) {
    std::string text;
    for (const Command& command : commands) {
        if (!text.empty()) {
            text += " && ";
        }
        text += "sudo " + joined(command, false);
    }
    return text;
}

std::vector<FirewallFix::Command> FirewallFix::commandsNow() const {
    return commandsFor(setup_.inspect(), portNow());
}

FirewallFix::Outcome FirewallFix::runDirectly(const std::vector<Command>& commands) const {
    for (const Command& shown : commands) {
        Command command = asRun(shown, setup_);
        ChildProcess::Options options;
        options.executable = command.front();
        options.arguments.assign(command.begin() + 1, command.end());
        options.error = ChildProcess::Stream::separate;
        options.environment = setup_.environment;
        options.ownProcessGroup = true;
        options.threadName = "zoranth-fwfix";
        const auto done = ChildProcess::run(options, std::chrono::seconds(30));
        if (!done) {
            return Outcome::failed(done.error().text());
        }
        if (done->exit != ChildProcess::Exit{ChildProcess::Exit::Case::exited, 0}) {
            const std::string said = SystemCheckup::tidy(done->errors);
            return Outcome::failed(joined(shown, false) + ": " +
                                   (said.empty() ? done->exit.text() : said));
        }
    }
    return Outcome::fixedWithoutPassword();
}

FirewallFix::Outcome FirewallFix::runElevated(const std::vector<Command>& commands) const {
    if (setup_.elevation.empty()) {
        return Outcome::failed("Could not build the request.");
    }
    std::string script;
    for (const Command& shown : commands) {
        if (!script.empty()) {
            script += " && ";
        }
        script += joined(asRun(shown, setup_), true);
    }
    ChildProcess::Options options;
    options.executable = setup_.elevation.front();
    options.arguments.assign(setup_.elevation.begin() + 1, setup_.elevation.end());
    options.arguments.insert(options.arguments.end(), {"/bin/sh", "-c", script});
    options.error = ChildProcess::Stream::separate;
    options.environment = setup_.environment;
    options.threadName = "zoranth-fwfix";
    // No timeout and no process group of its own: the user may take their time at the
    // prompt, which may be pkexec's own on this process's terminal.
    const auto done = ChildProcess::run(options, std::nullopt);
    if (!done) {
        DiagnosticLog::write("checkup", "firewall fix: no elevation: " + done.error().text());
        return Outcome::failed("Could not ask for the password: " + done.error().text());
    }
    const ChildProcess::Exit& exit = done->exit;
    if (exit.kind == ChildProcess::Exit::Case::exited && exit.code == 0) {
        return Outcome::fixedWithPassword();
    }
    if (exit.kind == ChildProcess::Exit::Case::exited && exit.code == dismissedStatus) {
        return Outcome::cancelled();
    }
    std::string message = SystemCheckup::tidy(done->errors);
    if (message.empty()) {
        message = "pkexec ended with " + exit.text();
    }
    return Outcome::failed(message);
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

}  // namespace zoranth
