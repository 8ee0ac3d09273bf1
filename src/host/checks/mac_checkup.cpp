#include "host/checks/mac_checkup.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "host/checks/command_runner.h"
#include "host/checks/network_self_test.h"

namespace zoranth {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view audioFix =
    "Open System Settings > Privacy & Security > Audio Recording and turn on Zoranth Host. "
    "Without it the rave runs but every guest hears silence.";
constexpr std::string_view blockAllFix =
    "Guests cannot reach this Mac. Open Firewall settings, click Options\u2026, and turn off "
    "\u201cBlock all incoming connections\u201d. Leave the firewall itself on \u2014 that setting "
    "also blocks AirDrop, screen sharing and file sharing.";
constexpr std::string_view firewallByHand = "Check System Settings > Network > Firewall by hand.";

MacCheckup::Finding firewallFinding(MacCheckup::Verdict verdict, std::string detail,
                                    std::string fix, MacCheckup::Reason reason) {
    return {"firewall",
            "Letting guests connect",
            verdict,
            std::move(detail),
            std::move(fix),
            reason,
            "x-apple.systempreferences:com.apple.Network-Settings.extension"};
}

MacCheckup::Finding blockAllFinding() {
    return firewallFinding(MacCheckup::Verdict::problem,
                           "The firewall is set to block all incoming connections.",
                           std::string(blockAllFix), MacCheckup::Reason::blockAllIncoming);
}

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::vector<std::string> splitList(const char* value) {
    std::vector<std::string> parts;
    if (value == nullptr) {
        return parts;
    }
    std::string_view rest(value);
    for (;;) {
        const std::size_t colon = rest.find(':');
        const std::string_view part = rest.substr(0, colon);
        if (!part.empty()) {
            parts.emplace_back(part);
        }
        if (colon == std::string_view::npos) {
            return parts;
        }
        rest.remove_prefix(colon + 1);
    }
}

const char* nonEmpty(const char* value) {
    return value != nullptr && *value != 0 ? value : nullptr;
}

// The program a desktop entry's Exec or TryExec value starts, with its quoting undone.
std::string programOf(std::string_view value) {
    while (!value.empty() && isSpace(value.front())) {
        value.remove_prefix(1);
    }
    std::string program;
    if (!value.empty() && value.front() == '"') {
        for (std::size_t i = 1; i < value.size() && value[i] != '"'; ++i) {
            if (value[i] == '\\' && i + 1 < value.size()) {
                ++i;
            }
            program += value[i];
        }
        return program;
    }
    for (char c : value) {
        if (isSpace(c)) {
            break;
        }
        program += c;
    }
    return program;
}

// The absolute programs a desktop entry's main group names in Exec and TryExec.
std::vector<std::string> programsNamedBy(const fs::path& entry) {
    std::vector<std::string> programs;
    std::ifstream file(entry);
    bool inMainGroup = false;
    for (std::string line; std::getline(file, line);) {
        if (line.starts_with("[")) {
            inMainGroup = line.starts_with("[Desktop Entry]");
            continue;
        }
        if (!inMainGroup) {
            continue;
        }
        for (std::string_view key : {"Exec", "TryExec"}) {
            std::string_view text(line);
            if (!text.starts_with(key)) {
                continue;
            }
            text.remove_prefix(key.size());
            while (!text.empty() && isSpace(text.front())) {
                text.remove_prefix(1);
            }
            if (text.starts_with("=")) {
                std::string program = programOf(text.substr(1));
                if (program.starts_with("/")) {
                    programs.push_back(std::move(program));
                }
            }
        }
    }
    return programs;
}

// Desktop entries below one applications folder, in name order so that the result
// does not depend on the file system's order.
std::vector<fs::path> desktopEntries(const fs::path& folder) {
    std::vector<fs::path> entries;
    std::error_code error;
    fs::recursive_directory_iterator walk(folder, fs::directory_options::skip_permission_denied,
                                          error);
    for (; !error && walk != fs::recursive_directory_iterator(); walk.increment(error)) {
        if (walk.depth() > 3) {
            walk.disable_recursion_pending();
        }
        std::error_code ignored;
        if (walk->path().extension() == ".desktop" && walk->is_regular_file(ignored)) {
            entries.push_back(walk->path());
        }
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

}  // namespace

bool MacCheckup::OneShot::claim() {
    std::lock_guard guard(lock_);
    if (used_) {
        return false;
    }
    used_ = true;
    return true;
}

MacCheckup::AppLocation MacCheckup::AppLocation::current() {
    AppLocation location;
    std::error_code error;
    const fs::path executable = fs::read_symlink("/proc/self/exe", error);
    if (!error && executable.is_absolute()) {
        location.executablePath = executable.string();
        location.bundlePath = executable.string();
    }
    location.bundleIdentifier = std::string(applicationIdentifier);
    return location;
}

MacCheckup::InstallSearch MacCheckup::InstallSearch::fromEnvironment() {
    InstallSearch search;
    search.binFolders = splitList(std::getenv("PATH"));
    if (const char* dataHome = nonEmpty(std::getenv("XDG_DATA_HOME"))) {
        search.dataFolders.emplace_back(dataHome);
    } else if (const char* home = nonEmpty(std::getenv("HOME"))) {
        search.dataFolders.push_back(std::string(home) + "/.local/share");
    }
    const char* dataDirs = nonEmpty(std::getenv("XDG_DATA_DIRS"));
    for (std::string& folder : splitList(dataDirs ? dataDirs : "/usr/local/share/:/usr/share/")) {
        search.dataFolders.push_back(std::move(folder));
    }
    return search;
}

std::string MacCheckup::firewallTool() {
    if (const char* tool = nonEmpty(std::getenv(std::string(firewallToolVariable).c_str()))) {
        return tool;
    }
    return std::string(systemFirewallTool);
}

std::vector<MacCheckup::Finding> MacCheckup::runAll(std::optional<AudioCapability::Verdict> audio,
                                                    bool localNetworkDenied) {
    std::vector<Finding> findings;
    findings.push_back(audioFinding(audio));
    findings.push_back(localNetworkDenied ? networkFinding(Reason::networkDenied)
                                          : checkLocalNetwork());
    findings.push_back(checkFirewall());
    for (const std::string& path : duplicateInstalls()) {
        findings.push_back(duplicateFinding(path));
    }
    return findings;
}

void MacCheckup::runAllAsync(std::optional<AudioCapability::Verdict> audio, bool localNetworkDenied,
                             FindingsHandler done) {
    // A thread of its own: the checks block for seconds, which would hold up a queue
    // thread that guests' connections need.
    std::thread([audio = std::move(audio), localNetworkDenied, done = std::move(done)] {
        pthread_setname_np(pthread_self(), "zoranth-checkup");
        done(runAll(audio, localNetworkDenied));
    }).detach();
}

MacCheckup::Finding MacCheckup::audioFinding(
    const std::optional<AudioCapability::Verdict>& verdict) {
    Finding finding{"audio",
                    "Hearing this Mac",
                    Verdict::unknown,
                    "Not checked yet.",
                    std::string(audioFix),
                    Reason::audioUndetermined,
                    "x-apple.systempreferences:com.apple.preference.security?Privacy_AudioCapture"};
    if (!verdict) {
        return finding;
    }
    switch (verdict->which) {
        case AudioCapability::Verdict::Case::granted:
            finding.verdict = Verdict::ok;
            finding.detail = "Zoranth can hear this Mac.";
            finding.fix.clear();
            finding.reason = Reason::audioGranted;
            break;
        case AudioCapability::Verdict::Case::denied:
            finding.verdict = Verdict::problem;
            finding.detail = "Not allowed, so there is nothing to send.";
            finding.reason = Reason::audioDenied;
            break;
        case AudioCapability::Verdict::Case::undetermined:
            finding.detail = "Could not tell: " + verdict->reason;
            break;
    }
    return finding;
}

MacCheckup::Finding MacCheckup::networkFinding(Reason reason) {
    Finding finding{"network",
                    "Guests finding this Mac",
                    Verdict::unknown,
                    "Could not test.",
                    "",
                    Reason::networkUntestable,
                    "x-apple.systempreferences:com.apple.preference.security?Privacy_LocalNetwork"};
    switch (reason) {
        case Reason::networkOK:
            finding.verdict = Verdict::ok;
            finding.detail = "Guests can discover this Mac.";
            finding.reason = reason;
            break;
        case Reason::networkDenied:
            finding.verdict = Verdict::problem;
            finding.detail = "Guests cannot see this Mac.";
            finding.fix =
                "Open Privacy & Security > Local Network and turn on Zoranth Host. Without it "
                "your rave is invisible, even to a phone on the same Wi-Fi.";
            finding.reason = reason;
            break;
        case Reason::networkUnconfirmed:
            finding.verdict = Verdict::problem;
            finding.detail = "Bonjour never confirmed the service.";
            finding.fix =
                "Guests will not be able to find this Mac. Open Privacy & Security > Local "
                "Network and turn on Zoranth Host.";
            finding.reason = reason;
            break;
        default:
            break;
    }
    return finding;
}

void MacCheckup::checkLocalNetwork(FindingHandler done, std::chrono::milliseconds patience) {
    NetworkSelfTest::begin(std::move(done), patience);
}

MacCheckup::Finding MacCheckup::checkLocalNetwork() {
    auto delivered = std::make_shared<std::promise<Finding>>();
    auto finding = delivered->get_future();
    checkLocalNetwork([delivered](Finding result) { delivered->set_value(std::move(result)); });
    return finding.get();
}

MacCheckup::Finding MacCheckup::checkFirewall() {
    return checkFirewall(firewallTool(), firewallCandidates());
}

MacCheckup::Finding MacCheckup::checkFirewall(const std::string& tool,
                                              std::span<const std::string> candidates) {
    const auto state = run(tool, {"--getglobalstate"}, firewallCommandTimeout);
    if (!state) {
        return firewallUnreadableFinding();
    }
    const std::string blockAll = run(tool, {"--getblockall"}, firewallCommandTimeout).value_or("");
    const std::string apps = run(tool, {"--listapps"}, firewallCommandTimeout).value_or("");
    const std::vector<FirewallEntry> entries = parseListApps(apps);
    return firewallVerdict(parseGlobalState(*state), parseBlockAll(blockAll), entries, candidates);
}

MacCheckup::Finding MacCheckup::firewallUnreadableFinding() {
    return firewallFinding(Verdict::unknown, "Could not read the firewall setting.",
                           std::string(firewallByHand), Reason::firewallUnreadable);
}

std::vector<std::string> MacCheckup::duplicateInstalls() {
    return duplicateInstalls(AppLocation::current(), InstallSearch::fromEnvironment());
}

std::vector<std::string> MacCheckup::duplicateInstalls(const AppLocation& self,
                                                       const InstallSearch& where) {
    std::vector<std::string> found;
    if (!self.executablePath) {
        return found;  // without knowing this copy, every copy might be this one
    }
    const std::string own = resolvedName(*self.executablePath);
    const auto consider = [&](const fs::path& candidate) {
        std::error_code error;
        if (candidate.filename() != programName || !fs::is_regular_file(candidate, error) ||
            ::access(candidate.c_str(), X_OK) != 0) {
            return;
        }
        std::string resolved = resolvedName(candidate.string());
        if (resolved != own && std::find(found.begin(), found.end(), resolved) == found.end()) {
            found.push_back(std::move(resolved));
        }
    };
    for (const std::string& folder : where.binFolders) {
        consider(fs::path(folder) / programName);
    }
    // An entry that names the program without a folder finds it on PATH, searched above.
    for (const std::string& folder : where.dataFolders) {
        for (const fs::path& entry : desktopEntries(fs::path(folder) / "applications")) {
            for (const std::string& program : programsNamedBy(entry)) {
                consider(program);
            }
        }
    }
    return found;
}

MacCheckup::Finding MacCheckup::duplicateFinding(const std::string& path) {
    return {"duplicate-" + path,
            "Another copy of Zoranth",
            Verdict::warning,
            "There is a second copy at " + path + ".",
            "Permissions are granted to a specific copy, so a toggle you turn on may apply to that "
            "one instead of this one. Delete it and grant permission again.",
            Reason::duplicateInstall,
            std::nullopt};
}

std::string MacCheckup::tidy(std::string_view text) {
    std::string tidied;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && isSpace(text[i])) {
            ++i;
        }
        const std::size_t start = i;
        while (i < text.size() && !isSpace(text[i])) {
            ++i;
        }
        if (i > start) {
            if (!tidied.empty()) {
                tidied += ' ';
            }
            tidied.append(text.substr(start, i - start));
        }
    }
    return tidied;
}

std::optional<std::string> MacCheckup::run(const std::string& path,
                                           const std::vector<std::string>& arguments,
                                           std::chrono::milliseconds timeout) {
    auto result = CommandRunner::run({path, arguments, timeout, false});
    if (!result || !result->exitStatus) {
        return std::nullopt;
    }
    return std::move(result->output);
}

std::optional<int> MacCheckup::parseGlobalState(std::string_view output) {
    return FirewallOutput::globalState(output);
}

bool MacCheckup::parseBlockAll(std::string_view output) {
    return FirewallOutput::blockAll(output);
}

std::vector<MacCheckup::FirewallEntry> MacCheckup::parseListApps(std::string_view output) {
    return FirewallOutput::listApps(output);
}

std::vector<std::string> MacCheckup::firewallCandidates() {
    return firewallCandidates(AppLocation::current());
}

std::vector<std::string> MacCheckup::firewallCandidates(const AppLocation& app) {
    std::vector<std::string> candidates;
    const auto add = [&](const std::string& name) {
        if (name.empty()) {
            return;
        }
        std::string resolved = resolvedName(name);
        if (std::find(candidates.begin(), candidates.end(), resolved) == candidates.end()) {
            candidates.push_back(std::move(resolved));
        }
    };
    if (app.executablePath) {
        add(*app.executablePath);
    }
    add(app.bundlePath);
    if (app.bundleIdentifier) {
        add(*app.bundleIdentifier);
    }
    return candidates;
}

MacCheckup::Finding MacCheckup::firewallVerdict(std::optional<int> globalState, bool blockAll,
                                                std::span<const FirewallEntry> entries,
                                                std::span<const std::string> candidates) {
    if (globalState == 0) {
        return firewallFinding(Verdict::ok, "The firewall is off. Guests can reach this Mac.", "",
                               Reason::firewallOff);
    }
    if (blockAll) {
        return blockAllFinding();
    }
    if (!globalState) {
        return firewallFinding(Verdict::unknown, "Could not read the firewall state.",
                               std::string(firewallByHand), Reason::stateUnreadable);
    }
    if (globalState == 2) {
        return blockAllFinding();
    }
    bool listed = false;
    for (const FirewallEntry& entry : entries) {
        if (!matches(entry, candidates)) {
            continue;
        }
        if (entry.blocked) {
            return firewallFinding(Verdict::problem, "Zoranth is blocked by the firewall.",
                                   "Guests cannot reach this Mac. This usually means a firewall "
                                   "prompt was dismissed or denied at some point.",
                                   Reason::appBlocked);
        }
        listed = true;
    }
    if (listed) {
        return firewallFinding(Verdict::ok, "Guests can reach this Mac.", "", Reason::allowed);
    }
    return firewallFinding(Verdict::warning,
                           "Guests haven't been allowed through the firewall yet.",
                           "macOS will interrupt with a permission dialog the first time a guest "
                           "connects. Allowing Zoranth now means that never happens.",
                           Reason::notInList);
}

std::string MacCheckup::resolvedName(const std::string& name) {
    if (!name.starts_with("/")) {
        return name;
    }
    std::error_code error;
    fs::path resolved = fs::weakly_canonical(fs::path(name), error);
    if (error) {
        resolved = fs::path(name).lexically_normal();
    }
    return resolved.string();
}

bool MacCheckup::matches(const FirewallEntry& entry, std::span<const std::string> candidates) {
    const std::string target = resolvedName(entry.target);
    return std::find(candidates.begin(), candidates.end(), target) != candidates.end();
}

}  // namespace zoranth
