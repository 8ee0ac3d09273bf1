#include "cli/options.h"

#include <charconv>
#include <string_view>

namespace zoranth {

namespace {

struct Scan {
    Options options;
    std::optional<std::string> raveName;
};

// A decimal floating-point number filling the whole text, with an optional sign.
std::optional<double> parseDouble(std::string_view text) {
    if (text.starts_with('+') && !text.starts_with("+-")) {
        text.remove_prefix(1);
    }
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

// A decimal integer in 0...65535 filling the whole text; a leading '+' is allowed.
std::optional<std::uint16_t> parseU16(std::string_view text) {
    if (text.starts_with('+')) {
        text.remove_prefix(1);
    }
    if (text.empty() || text.front() < '0' || text.front() > '9') {
        return std::nullopt;
    }
    std::uint16_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

Scan scan(std::span<const std::string> arguments) {
    Scan result;
    Options& o = result.options;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& arg = arguments[i];
        const std::string* next = i + 1 < arguments.size() ? &arguments[i + 1] : nullptr;

        if (arg == "--beats") {
            o.command = "beats";
            if (next) {
                o.path = *next;
                ++i;
            }
        } else if (arg == "--tapcheck" || arg == "--goldens" || arg == "--serve" ||
                   arg == "--check") {
            o.command = arg.substr(2);
        } else if (arg == "--help" || arg == "-h") {
            o.command = "help";
        } else if (arg == "--record") {
            o.command = "record";
            if (next && !next->starts_with("--")) {
                o.path = *next;
                ++i;
            }
        } else if (arg == "--seconds") {
            if (next) {
                o.seconds = parseDouble(*next).value_or(o.seconds);
                ++i;
            }
        } else if (arg == "--port") {
            if (next) {
                o.port = parseU16(*next).value_or(0);
                ++i;
            }
        } else if (arg == "--delay-ms") {
            if (next) {
                o.delayMs = parseU16(*next).value_or(1500);
                ++i;
            }
        } else if (arg == "--max-guests") {
            if (next) {
                const auto guests = parseU16(*next);
                o.maxGuests = guests && *guests >= 1 && *guests <= 4096 ? *guests : 256;
                ++i;
            }
        } else if (arg == "--stress") {
            o.stress = true;
        } else if (arg == "--name") {
            if (next) {
                result.raveName = *next;
                ++i;
            }
        }
    }
    return result;
}

}  // namespace

Options Options::parse(std::span<const std::string> arguments) {
    return scan(arguments).options;
}

std::optional<std::string> Options::raveNameArgument(std::span<const std::string> arguments) {
    return scan(arguments).raveName;
}

}  // namespace zoranth
