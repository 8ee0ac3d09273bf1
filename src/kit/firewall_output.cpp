#include "kit/firewall_output.h"

#include <charconv>

namespace zoranth {
namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
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

std::string lowerCased(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return lower;
}

bool isNumber(std::string_view text) {
    if (text.empty()) {
        return false;
    }
    for (char c : text) {
        if (!isDigit(c)) {
            return false;
        }
    }
    return true;
}

std::vector<std::string_view> lines(std::string_view text) {
    std::vector<std::string_view> result;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            result.push_back(text.substr(start));
            return result;
        }
        result.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

// The "( Allow incoming connections )" line under an application: whether it blocks,
// or nothing when the line is not one of the two answers.
std::optional<bool> blockedFrom(std::string_view line) {
    const std::string_view text = trimmed(line);
    if (text.size() < 2 || text.front() != '(' || text.back() != ')') {
        return std::nullopt;
    }
    const std::string_view inside = trimmed(text.substr(1, text.size() - 2));
    if (inside.starts_with("Block incoming")) {
        return true;
    }
    if (inside.starts_with("Allow incoming")) {
        return false;
    }
    return std::nullopt;
}

}  // namespace

std::optional<int> FirewallOutput::globalState(std::string_view output) {
    constexpr std::string_view marker = "State = ";
    const std::size_t at = output.find(marker);
    if (at == std::string_view::npos) {
        if (lowerCased(output).find("disabled") != std::string::npos) {
            return 0;
        }
        return std::nullopt;
    }
    const std::string_view rest = output.substr(at + marker.size());
    std::size_t digits = 0;
    while (digits < rest.size() && isDigit(rest[digits])) {
        ++digits;
    }
    int state = 0;
    const auto parsed = std::from_chars(rest.data(), rest.data() + digits, state);
    if (digits == 0 || parsed.ec != std::errc{}) {
        return std::nullopt;  // no digit, or a number too large to be a state
    }
    return state;
}

bool FirewallOutput::blockAll(std::string_view output) {
    const std::string lower = lowerCased(output);
    if (lower.find("block all state set to enabled") != std::string::npos) {
        return true;
    }
    if (lower.find("block all state set to disabled") != std::string::npos) {
        return false;
    }
    return lower.find("blocking all") != std::string::npos;
}

std::vector<FirewallOutput::Entry> FirewallOutput::listApps(std::string_view output) {
    std::vector<Entry> entries;
    const std::vector<std::string_view> all = lines(output);
    for (std::size_t i = 0; i < all.size(); ++i) {
        const std::size_t colon = all[i].find(':');
        if (colon == std::string_view::npos || !isNumber(trimmed(all[i].substr(0, colon)))) {
            continue;
        }
        const std::string_view target = trimmed(all[i].substr(colon + 1));
        if (target.empty() || i + 1 >= all.size()) {
            continue;
        }
        if (const auto blocked = blockedFrom(all[i + 1])) {
            entries.push_back({std::string(target), *blocked});
            ++i;
        }
    }
    return entries;
}

}  // namespace zoranth
