// Lets guests through the firewall that is active, in one step: the rave's steady TCP
// port and mDNS (UDP 5353), through ufw or firewalld (for now and for good), asked
// for through pkexec's password prompt unless this process is root already. The same
// commands are offered for copying into a terminal. apply() blocks, on child
// processes and on the prompt: call it through applyAsync(), which runs fixes one
// after another on the "com.zoranth.firewallfix" queue. The other members are pure.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/firewall/firewall_inspection.h"

namespace zoranth {

class FirewallFix {
  public:
    struct Outcome {
        enum class Case {
            failed,
            alreadyAllowed,
            fixedWithoutPassword,
            fixedWithPassword,
            cancelled
        };
        Case kind = Case::failed;
        std::string message;  // why it failed; empty otherwise

        static Outcome failed(std::string message) { return {Case::failed, std::move(message)}; }
        static Outcome alreadyAllowed() { return {Case::alreadyAllowed, {}}; }
        static Outcome fixedWithoutPassword() { return {Case::fixedWithoutPassword, {}}; }
        static Outcome fixedWithPassword() { return {Case::fixedWithPassword, {}}; }
        static Outcome cancelled() { return {Case::cancelled, {}}; }
        friend bool operator==(const Outcome&, const Outcome&) = default;
    };

    // One command as a list of words; the first is the program.
    using Command = std::vector<std::string>;

    struct Setup {
        // The firewall as it is now: FirewallInspection::inspect unless a test swaps it.
        std::function<FirewallInspection()> inspect;
        std::uint16_t port = 0;  // 0: the steady port, looked up when it is needed
        // What the privileged commands run under: the program (with its options) that
        // is handed "/bin/sh", "-c" and the commands.
        std::vector<std::string> elevation{std::string(pkexec)};
        bool isRoot = false;  // run the commands directly, without a prompt
        std::string ufw = "/usr/sbin/ufw";
        std::string firewallCmd = "/usr/bin/firewall-cmd";
        // Added to the commands' environment (a test's private system bus).
        std::vector<std::pair<std::string, std::string>> environment;

        // This process and this computer: the steady port, the interface guests use,
        // the system bus.
        static Setup standard();
    };

    static constexpr std::string_view queueLabel = "com.zoranth.firewallfix";
    static constexpr std::string_view pkexec = "/usr/bin/pkexec";
    // pkexec's status when the user dismissed the password prompt.
    static constexpr int dismissedStatus = 126;

    FirewallFix() : FirewallFix(Setup::standard()) {}
    explicit FirewallFix(Setup setup) : setup_(std::move(setup)) {}

    // Nothing when no firewall keeps guests out; the commands for the active firewall
    // otherwise, then a fresh look at whether guests get in.
    Outcome apply() const;

    // apply() on the fix queue; `done` runs there with the outcome.
    void applyAsync(std::function<void(Outcome)> done) const;

    // The commands for ufw or firewalld (empty for anything else). firewalld gets a
    // zone only when guests are not in its default zone.
    static std::vector<Command> commandsFor(const FirewallInspection& firewall, std::uint16_t port);

    // For the firewall active now: the commands one per line, and one line to paste
    // into a terminal ("sudo ufw allow 40000/tcp && sudo ufw allow 5353/udp").
    std::string commandPreview() const;
    std::string manualCommand() const;
    static std::string preview(const std::vector<Command>& commands);
    static std::string manual(const std::vector<Command>& commands);

    // The text in single quotes, each single quote inside written as '\''.
    static std::string shellQuoted(std::string_view text);

  private:
    Outcome runElevated(const std::vector<Command>& commands) const;
    Outcome runDirectly(const std::vector<Command>& commands) const;
    std::vector<Command> commandsNow() const;
    std::uint16_t portNow() const;

    Setup setup_;
};

}  // namespace zoranth
