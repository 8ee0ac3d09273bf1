// Whether guests can join a rave on this computer right now: the audio-recording
// permission, discovery on the local network, the application firewall and second
// installed copies, each turned into a finding with user-facing text. Stateless; the
// checks that run commands or touch the network block or complete later, so call them
// from a background thread, never from the window's thread.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "host/capture/audio_capability.h"
#include "kit/firewall_output.h"

namespace zoranth {

struct MacCheckup {
    enum class Verdict { ok, warning, problem, unknown };

    enum class Reason {
        firewallOff,
        allowed,
        blockAllIncoming,
        appBlocked,
        notInList,
        stateUnreadable,
        firewallUnreadable,
        audioGranted,
        audioDenied,
        audioUndetermined,
        networkOK,
        networkDenied,
        networkUnconfirmed,
        networkUntestable,
        translocated,  // shared with the window's cards; no check here produces it
        duplicateInstall,
    };

    struct Finding {
        std::string id;  // "audio", "network", "firewall" or "duplicate-" + path
        std::string title;
        Verdict verdict = Verdict::unknown;
        std::string detail;
        std::string fix;  // empty when nothing is needed
        Reason reason = Reason::audioUndetermined;
        std::optional<std::string> settingsURL;
        friend bool operator==(const Finding&, const Finding&) = default;
    };

    using FirewallEntry = FirewallOutput::Entry;

    // Where this application runs from, under the names the firewall may list it by.
    // Linux has no bundles: a program stands for itself, so the bundle path is the
    // executable's own path.
    struct AppLocation {
        std::optional<std::string> executablePath;
        std::string bundlePath;
        std::optional<std::string> bundleIdentifier;

        // This process: its executable, resolved, and the application id.
        static AppLocation current();
    };

    // Where other copies of the program may be installed: the folders searched for
    // executables and the data folders whose applications/ hold desktop entries.
    struct InstallSearch {
        std::vector<std::string> binFolders;
        std::vector<std::string> dataFolders;

        // $PATH; $XDG_DATA_HOME (or ~/.local/share) then $XDG_DATA_DIRS (or
        // /usr/local/share:/usr/share).
        static InstallSearch fromEnvironment();
    };

    // Makes sure a waiting caller resumes exactly once when a success handler and a
    // timeout race: the first claim wins, every later one loses.
    class OneShot {
      public:
        bool claim();

      private:
        std::mutex lock_;
        bool used_ = false;
    };

    using FindingHandler = std::function<void(Finding)>;
    using FindingsHandler = std::function<void(std::vector<Finding>)>;

    static constexpr std::string_view applicationIdentifier = "com.zoranth.host";
    static constexpr std::string_view programName = "zoranth-host";
    static constexpr std::string_view selfTestServiceType = "_zoranthcheck._tcp";
    static constexpr std::chrono::milliseconds networkPatience{4000};
    static constexpr std::chrono::milliseconds firewallCommandTimeout{5000};
    static constexpr std::string_view systemFirewallTool =
        "/usr/libexec/ApplicationFirewall/socketfilterfw";
    static constexpr std::string_view firewallToolVariable = "ZORANTH_FIREWALL_TOOL";

    // The firewall tool: $ZORANTH_FIREWALL_TOOL when set (tests point it at a stand-in),
    // otherwise the system's.
    static std::string firewallTool();

    // audio, network, firewall, then one finding per second copy, in that order. The
    // network is not tested when the local-network watcher already reports a denial.
    // Blocks for up to about 20 s.
    static std::vector<Finding> runAll(std::optional<AudioCapability::Verdict> audio,
                                       bool localNetworkDenied);
    // The same on a thread of its own; `done` runs there.
    static void runAllAsync(std::optional<AudioCapability::Verdict> audio, bool localNetworkDenied,
                            FindingsHandler done);

    // Absent verdict: not probed yet.
    static Finding audioFinding(const std::optional<AudioCapability::Verdict>& verdict);

    // Advertises a short-lived loopback listener as "_zoranthcheck._tcp" under the
    // computer's name: confirmed once the daemon has established it, otherwise
    // unconfirmed when `patience` runs out. `done` runs exactly once, on an I/O thread,
    // after the listener and its advertisement are gone.
    static void checkLocalNetwork(FindingHandler done,
                                  std::chrono::milliseconds patience = networkPatience);
    static Finding checkLocalNetwork();

    static Finding networkFinding(Reason reason);

    // Three runs of the firewall tool of at most 5 s each.
    static Finding checkFirewall();
    static Finding checkFirewall(const std::string& tool, std::span<const std::string> candidates);
    static Finding firewallUnreadableFinding();

    // Other installed copies of the program, resolved through links, in search order.
    static std::vector<std::string> duplicateInstalls();
    static std::vector<std::string> duplicateInstalls(const AppLocation& self,
                                                      const InstallSearch& where);
    static Finding duplicateFinding(const std::string& path);

    // The words of the text joined by single spaces.
    static std::string tidy(std::string_view text);

    // Runs the program (no shell) and returns what it printed on standard output when it
    // exited, whatever its status; nothing when it could not start, ended by a signal or
    // outlived the timeout (it is then terminated).
    static std::optional<std::string> run(const std::string& path,
                                          const std::vector<std::string>& arguments,
                                          std::chrono::milliseconds timeout);

    static std::optional<int> parseGlobalState(std::string_view output);
    static bool parseBlockAll(std::string_view output);
    static std::vector<FirewallEntry> parseListApps(std::string_view output);

    // The names the firewall may list this application under, paths resolved.
    static std::vector<std::string> firewallCandidates();
    static std::vector<std::string> firewallCandidates(const AppLocation& app);

    // The first rule that applies: off, block all, unreadable, state 2, a matching entry
    // blocked, matching entries all allowed, not listed.
    static Finding firewallVerdict(std::optional<int> globalState, bool blockAll,
                                   std::span<const FirewallEntry> entries,
                                   std::span<const std::string> candidates);

    // A path resolved through symbolic links and made standard (its missing tail is
    // normalised as written); any other name as it is.
    static std::string resolvedName(const std::string& name);

    // Whether an entry names one of the candidates.
    static bool matches(const FirewallEntry& entry, std::span<const std::string> candidates);
};

}  // namespace zoranth
