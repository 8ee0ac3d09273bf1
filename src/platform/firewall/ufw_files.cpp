#include "platform/firewall/ufw_files.h"

#include <charconv>

namespace zoranth {
namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// Calls `each` with every line, without its line feed.
template <typename Each>
void forEachLine(std::string_view text, Each each) {
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        each(text.substr(0, end));
        if (end == std::string_view::npos) {
            return;
        }
        text.remove_prefix(end + 1);
    }
}

std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> found;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && isBlank(line[i])) {
            ++i;
        }
        const std::size_t start = i;
        while (i < line.size() && !isBlank(line[i])) {
            ++i;
        }
        if (i > start) {
            found.push_back(line.substr(start, i - start));
        }
    }
    return found;
}

// The value of a shell-style KEY=value line, quotes removed.
std::optional<std::string> valueOf(std::string_view text, std::string_view key) {
    std::optional<std::string> value;
    forEachLine(text, [&](std::string_view line) {
        line = trimmed(line);
        if (!line.starts_with(key) || line.size() <= key.size() || line[key.size()] != '=') {
            return;
        }
        std::string_view raw = trimmed(line.substr(key.size() + 1));
        if (raw.size() >= 2 && (raw.front() == '"' || raw.front() == '\'') &&
            raw.back() == raw.front()) {
            raw = raw.substr(1, raw.size() - 2);
        }
        value = std::string(raw);  // the last assignment counts, as in the shell
    });
    return value;
}

std::optional<std::uint16_t> portNumber(std::string_view text) {
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value > 65535 || text.empty()) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

bool protocolCovers(std::string_view protocol, Traffic traffic) {
    return protocol == "any" || protocol == traffic.protocolName();
}

}  // namespace

std::optional<bool> UfwFiles::enabled(std::string_view ufwConf) {
    const auto value = valueOf(ufwConf, "ENABLED");
    if (value == "yes") {
        return true;
    }
    if (value == "no") {
        return false;
    }
    return std::nullopt;
}

std::optional<std::string> UfwFiles::defaultInputPolicy(std::string_view defaults) {
    auto value = valueOf(defaults, "DEFAULT_INPUT_POLICY");
    if (value && value->empty()) {
        return std::nullopt;
    }
    return value;
}

std::vector<UfwFiles::Rule> UfwFiles::rules(std::string_view userRules) {
    constexpr std::string_view marker = "### tuple ###";
    std::vector<Rule> found;
    forEachLine(userRules, [&](std::string_view line) {
        line = trimmed(line);
        if (!line.starts_with(marker)) {
            return;
        }
        const std::vector<std::string_view> fields = words(line.substr(marker.size()));
        // action protocol dport dst sport src [dapp sapp] direction [comment=…]
        if (fields.size() < 7 || fields[0].starts_with("route:")) {
            return;
        }
        std::size_t directionAt = 6;
        if (fields.size() >= 9 && !fields[6].starts_with("in") && !fields[6].starts_with("out")) {
            directionAt = 8;  // with application names
        }
        const std::string_view direction = fields[directionAt];
        if (!direction.starts_with("in") && !direction.starts_with("out")) {
            return;
        }
        std::string_view action = fields[0];
        action = action.substr(0, action.find('_'));  // "allow_log" → "allow"
        if (action.empty()) {
            return;
        }
        found.push_back({std::string(action), std::string(fields[1]), std::string(fields[2]),
                         direction.starts_with("in")});
    });
    return found;
}

bool UfwFiles::portsHold(std::string_view ports, std::uint16_t port) {
    if (ports == "any") {
        return true;
    }
    while (!ports.empty()) {
        const std::size_t comma = ports.find(',');
        const std::string_view part = ports.substr(0, comma);
        const std::size_t colon = part.find(':');
        if (colon == std::string_view::npos) {
            if (portNumber(part) == port) {
                return true;
            }
        } else {
            const auto low = portNumber(part.substr(0, colon));
            const auto high = portNumber(part.substr(colon + 1));
            if (low && high && *low <= port && port <= *high) {
                return true;
            }
        }
        if (comma == std::string_view::npos) {
            break;
        }
        ports.remove_prefix(comma + 1);
    }
    return false;
}

std::optional<Admission> UfwFiles::decide(const std::vector<Rule>& rules, Traffic traffic) {
    for (const Rule& rule : rules) {
        if (!rule.incoming || !protocolCovers(rule.protocol, traffic) ||
            !portsHold(rule.ports, traffic.port)) {
            continue;
        }
        const std::string said = "the ufw rule \u201c" + rule.action + " " + rule.ports +
                                 (rule.protocol == "any" ? "" : "/" + rule.protocol) + "\u201d";
        if (rule.action == "allow" || rule.action == "limit") {
            return Admission::allowed(said);
        }
        if (rule.action == "deny" || rule.action == "reject") {
            return Admission::blocked(said);
        }
    }
    return std::nullopt;
}

bool UfwFiles::accepts(std::string_view restoreFile, Traffic traffic) {
    bool accepted = false;
    forEachLine(restoreFile, [&](std::string_view line) {
        const std::vector<std::string_view> fields = words(line);
        if (accepted || fields.size() < 2 || fields[0] != "-A" || !fields[1].ends_with("-input")) {
            return;
        }
        bool protocol = false;
        bool port = false;
        bool accept = false;
        bool other = false;
        for (std::size_t i = 2; i < fields.size(); ++i) {
            const std::string_view option = fields[i];
            const std::string_view value = i + 1 < fields.size() ? fields[i + 1] : "";
            if (option == "-p") {
                protocol = value == traffic.protocolName();
                ++i;
            } else if (option == "--dport") {
                port = portNumber(value) == traffic.port;
                ++i;
            } else if (option == "-d") {
                ++i;  // the destination: this machine or mDNS's multicast group
            } else if (option == "-j") {
                accept = value == "ACCEPT";
                ++i;
            } else {
                other = true;
            }
        }
        accepted = protocol && port && accept && !other;
    });
    return accepted;
}

}  // namespace zoranth
