#include "platform/firewall/firewall_inspection.h"

#include <unistd.h>

#include <cerrno>
#include <expected>
#include <fstream>
#include <sstream>
#include <system_error>

#include "platform/firewall/firewalld_bus.h"
#include "platform/firewall/nft_ruleset.h"
#include "platform/firewall/ufw_files.h"
#include "platform/process/child_process.h"

namespace zoranth {
namespace {

// The whole file, or the errno that stopped it being read.
std::expected<std::string, int> readFile(const std::string& path) {
    errno = 0;
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return std::unexpected(errno != 0 ? errno : EIO);
    }
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string errorText(int error) {
    return std::generic_category().message(error);
}

std::string firstLine(std::string text) {
    if (const std::size_t end = text.find('\n'); end != std::string::npos) {
        text.resize(end);
    }
    return text;
}

Traffic guestTraffic(const FirewallInspection::Setup& setup) {
    return {Traffic::Protocol::tcp, setup.guestPort};
}

// Why a root-owned file could not be read, as the finding says it.
std::string unreadableRules(const std::string& path, int error) {
    if (error == EACCES || error == EPERM) {
        return "ufw's rules belong to root, so this user cannot read them (" + path + ": " +
               errorText(error) + ")";
    }
    return "ufw's rules could not be read (" + path + ": " + errorText(error) + ")";
}

Admission byPolicy(const std::optional<std::string>& policy) {
    if (!policy) {
        return Admission::unknown("ufw's default incoming policy could not be read");
    }
    if (*policy == "ACCEPT") {
        return Admission::allowed("ufw's default incoming policy ACCEPT");
    }
    return Admission::blocked("ufw's default incoming policy " + *policy);
}

bool inspectFirewalld(const FirewallInspection::Setup& setup, FirewallInspection& found) {
    auto asked = FirewalldBus::inspect({.busAddress = setup.busAddress,
                                        .interfaceName = setup.interfaceName,
                                        .timeout = setup.timeout});
    if (!asked) {
        found.unread.push_back("firewalld, because the D-Bus system bus did not answer (" +
                               asked.error().describe() + ")");
        return false;
    }
    if (!*asked) {
        return false;
    }
    const FirewalldBus::State& state = **asked;
    found.kind = FirewallInspection::Kind::firewalld;
    const std::string zone = state.interfaceZone.empty() ? state.defaultZone : state.interfaceZone;
    found.zone = zone;
    found.zoneIsDefault = zone == state.defaultZone;
    found.name = "firewalld";
    if (!state.state.empty() && state.state != "RUNNING") {
        const Admission starting =
            Admission::unknown("firewalld reports its state as " + state.state);
        found.guestPort = starting;
        found.mdns = starting;
        return true;
    }
    if (!state.zone) {
        const std::string which =
            zone.empty() ? std::string("its zones") : "the zone \u201c" + zone + "\u201d";
        const Admission hidden =
            Admission::unknown("firewalld did not let this user read " + which + " (" +
                               state.zone.error().describe() + ")");
        found.guestPort = hidden;
        found.mdns = hidden;
        return true;
    }
    found.guestPort = state.zone->admits(guestTraffic(setup));
    found.mdns = state.zone->admits(mdnsTraffic);
    return true;
}

bool inspectUfwIfEnabled(const FirewallInspection::Setup& setup, FirewallInspection& found) {
    const auto config = readFile(setup.ufwConfig);
    if (!config || UfwFiles::enabled(*config) != true) {
        return false;
    }
    found = FirewallInspection::inspectUfw(setup);
    return true;
}

void inspectNftables(const FirewallInspection::Setup& setup, FirewallInspection& found) {
    if (::access(setup.nft.c_str(), X_OK) != 0) {
        return;  // without the tool nobody here wrote nftables rules by hand
    }
    ChildProcess::Options options;
    options.executable = setup.nft;
    options.arguments = {"-j", "list", "ruleset"};
    options.output = ChildProcess::Stream::pipe;
    options.error = ChildProcess::Stream::separate;
    options.environment = {{"LC_ALL", "C"}};
    options.ownProcessGroup = true;
    options.threadName = "zoranth-nft";
    const auto listed = ChildProcess::run(options, setup.timeout);
    if (!listed) {
        found.unread.push_back("nftables rules (" + listed.error().text() + ")");
        return;
    }
    if (listed->timedOut ||
        listed->exit != ChildProcess::Exit{ChildProcess::Exit::Case::exited, 0}) {
        const std::string said = firstLine(listed->errors);
        found.unread.push_back("nftables rules (nft: " +
                               (listed->timedOut ? std::string("no answer in time")
                                : said.empty()   ? listed->exit.text()
                                                 : said) +
                               ")");
        return;
    }
    const auto port = NftRuleset::judge(listed->output, guestTraffic(setup));
    const auto mdns = NftRuleset::judge(listed->output, mdnsTraffic);
    if (!port || !mdns) {
        found.unread.push_back("nftables rules (" + (port ? mdns.error() : port.error()) + ")");
        return;
    }
    if (!port->filtersInput) {
        return;
    }
    found.kind = FirewallInspection::Kind::nftables;
    found.name = "nftables";
    found.guestPort = port->admission;
    found.mdns = mdns->admission;
}

}  // namespace

FirewallInspection FirewallInspection::inspect(const Setup& setup) {
    FirewallInspection found;
    if (inspectFirewalld(setup, found) || inspectUfwIfEnabled(setup, found)) {
        return found;
    }
    inspectNftables(setup, found);
    return found;
}

FirewallInspection FirewallInspection::inspectUfw(const Setup& setup) {
    FirewallInspection found;
    found.kind = Kind::ufw;
    found.name = "ufw";
    const auto defaults = readFile(setup.ufwDefaults);
    const std::optional<std::string> policy =
        defaults ? UfwFiles::defaultInputPolicy(*defaults) : std::nullopt;
    const auto userRules = readFile(setup.ufwRules);
    const auto rules = userRules ? UfwFiles::rules(*userRules) : std::vector<UfwFiles::Rule>{};

    // ufw's order: its standard rules, the user's rules, then the default policy.
    const auto judge = [&](Traffic traffic, std::optional<Admission> standard) {
        if (standard) {
            return *standard;
        }
        if (!userRules) {
            return Admission::unknown(unreadableRules(setup.ufwRules, userRules.error()));
        }
        if (auto decided = UfwFiles::decide(rules, traffic)) {
            return *decided;
        }
        return byPolicy(policy);
    };
    found.guestPort = judge(guestTraffic(setup), std::nullopt);

    const auto before = readFile(setup.ufwBeforeRules);
    std::optional<Admission> standardMdns;
    if (before && UfwFiles::accepts(*before, mdnsTraffic)) {
        standardMdns = Admission::allowed("ufw's standard rules (before.rules) accept mDNS");
    } else if (!before && !(userRules && UfwFiles::decide(rules, mdnsTraffic))) {
        standardMdns = Admission::unknown(unreadableRules(setup.ufwBeforeRules, before.error()));
    }
    found.mdns = judge(mdnsTraffic, standardMdns);
    return found;
}

}  // namespace zoranth
