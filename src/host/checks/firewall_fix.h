// Lets guests through the application firewall in one step: adds this program's
// executable to the firewall's list and unblocks it, first without privileges, then
// through the administrator prompt (pkexec). apply() blocks, on child processes and on
// the prompt: call it through applyAsync(), which runs fixes one after another on the
// "com.zoranth.firewallfix" queue. The other members are callable from any thread.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "host/checks/mac_checkup.h"

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

    struct Setup {
        MacCheckup::AppLocation app = MacCheckup::AppLocation::current();
        std::string tool = MacCheckup::firewallTool();
        // What the privileged command runs under: the program (with its options) that
        // is handed "/bin/sh", "-c" and the command.
        std::vector<std::string> elevation{std::string(pkexec)};
    };

    static constexpr std::string_view queueLabel = "com.zoranth.firewallfix";
    static constexpr std::string_view pkexec = "/usr/bin/pkexec";
    // pkexec's status when the user dismissed the password prompt.
    static constexpr int dismissedStatus = 126;
    static constexpr std::string_view unknownPath = "<Zoranth Host>";

    FirewallFix() : FirewallFix(Setup{}) {}
    explicit FirewallFix(Setup setup) : setup_(std::move(setup)) {}

    // Refuses a temporary copy, an unknown location and a path with a line feed; then
    // nothing if already allowed, else the unprivileged step, else the privileged one.
    Outcome apply() const;

    // apply() on the fix queue; `done` runs there with the outcome.
    void applyAsync(std::function<void(Outcome)> done) const;

    // The two commands the fix runs, one per line.
    std::string commandPreview() const;
    // One line to paste into a terminal.
    std::string manualCommand() const;

    // The firewall lists this program under one of its names, and never as blocked.
    bool isAllowed() const;

    // "--add" then "--unblockapp" without privileges; what they print is ignored.
    void runUnprivileged(const std::string& path) const;

    // Both commands as one shell command through the elevation program: success (as
    // fixedWithPassword, for the caller to check), cancelled, or failed with its message.
    Outcome runElevated(const std::string& path) const;

    // "tool --add 'path' && tool --unblockapp 'path'".
    std::string elevatedCommand(const std::string& path) const;

    // The text in single quotes, each single quote inside written as '\''.
    static std::string shellQuoted(std::string_view text);

  private:
    std::string displayedPath() const;

    Setup setup_;
};

}  // namespace zoranth
