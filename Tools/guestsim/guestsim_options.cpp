#include "guestsim/guestsim_options.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <functional>
#include <map>

namespace zoranth {
namespace {

using Failure = GuestsimOptions::Failure;

template <class Number>
std::optional<Number> parseNumber(std::string_view text) {
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::expected<double, Failure> parseSeconds(const std::string& text, double low, double high) {
    const auto value = parseNumber<double>(text);
    if (!value || !std::isfinite(*value) || *value < low || *value > high) {
        return std::unexpected(Failure{
            Failure::Case::badValue, text,
            "expected a number from " + std::to_string(low) + " to " + std::to_string(high)});
    }
    return *value;
}

std::expected<std::uint16_t, Failure> parsePort(const std::string& text) {
    const auto port = parseNumber<std::uint16_t>(text);
    if (!port || *port == 0) {
        return std::unexpected(
            Failure{Failure::Case::badValue, text, "expected a port from 1 to 65535"});
    }
    return *port;
}

// "HOST:PORT" or "PORT".
std::expected<void, Failure> parseTarget(const std::string& text, GuestsimOptions& options) {
    const auto colon = text.rfind(':');
    auto port = parsePort(colon == std::string::npos ? text : text.substr(colon + 1));
    if (!port) {
        return std::unexpected(port.error());
    }
    options.port = *port;
    if (colon != std::string::npos) {
        options.host = text.substr(0, colon);
    }
    return {};
}

}  // namespace

std::string GuestsimOptions::Failure::text() const {
    switch (kind) {
        case Case::unknownOption:
            return "unknown option " + argument;
        case Case::missingValue:
            return argument + " needs a value";
        case Case::badValue:
            return "bad value \"" + argument + "\": " + reason;
        case Case::badMix:
            return "bad guest mix \"" + argument + "\": " + reason;
        case Case::remoteHost:
            return "refusing " + argument +
                   ": not a loopback address (127.0.0.0/8); pass --allow-remote to reach "
                   "another machine";
        case Case::noPort:
            return "no port: give the host's port as --port P or HOST:PORT";
    }
    return {};
}

std::expected<GuestsimOptions, Failure> GuestsimOptions::parse(
    std::span<const std::string> arguments) {
    GuestsimOptions options;
    using Setter = std::function<std::expected<void, Failure>(const std::string&)>;
    const auto number = [](double& field, double low, double high) -> Setter {
        return [&field, low, high](const std::string& text) -> std::expected<void, Failure> {
            auto value = parseSeconds(text, low, high);
            if (!value) {
                return std::unexpected(value.error());
            }
            field = *value;
            return {};
        };
    };
    const std::map<std::string, Setter, std::less<>> valueOptions{
        {"--host",
         [&](const std::string& text) -> std::expected<void, Failure> {
             options.host = text;
             return {};
         }},
        {"--port",
         [&](const std::string& text) -> std::expected<void, Failure> {
             auto port = parsePort(text);
             if (!port) {
                 return std::unexpected(port.error());
             }
             options.port = *port;
             return {};
         }},
        {"--bind",
         [&](const std::string& text) -> std::expected<void, Failure> {
             in_addr ignored{};
             if (::inet_pton(AF_INET, text.c_str(), &ignored) != 1) {
                 return std::unexpected(
                     Failure{Failure::Case::badValue, text, "expected an IPv4 address"});
             }
             options.bind = text;
             return {};
         }},
        {"--name",
         [&](const std::string& text) -> std::expected<void, Failure> {
             const bool plain = std::ranges::all_of(text, [](unsigned char c) {
                 return std::isalnum(c) != 0 || c == '-' || c == '_' || c == '.';
             });
             if (text.empty() || text.size() > maxNameBytes || !plain) {
                 return std::unexpected(Failure{Failure::Case::badValue, text,
                                                "expected 1 to " + std::to_string(maxNameBytes) +
                                                    " letters, digits, '-', '_' or '.'"});
             }
             options.name = text;
             return {};
         }},
        {"--guests",
         [&](const std::string& text) -> std::expected<void, Failure> {
             auto mix = parseMix(text);
             if (!mix) {
                 return std::unexpected(mix.error());
             }
             options.mix = std::move(*mix);
             return {};
         }},
        {"--seed",
         [&](const std::string& text) -> std::expected<void, Failure> {
             const auto seed = parseNumber<std::uint64_t>(text);
             if (!seed) {
                 return std::unexpected(
                     Failure{Failure::Case::badValue, text, "expected a whole number"});
             }
             options.seed = *seed;
             return {};
         }},
        {"--seconds", number(options.seconds, 0.1, maxSeconds)},
        {"--clock-skew-ms", number(options.clockSkewMs, 0, 3.6e6)},
        {"--slow-fraction", number(options.slowFraction, 0.01, 1)},
        {"--stall-after", number(options.stallAfterSeconds, 0, maxSeconds)},
        {"--stall-for", number(options.stallForSeconds, 0.1, maxSeconds)},
    };
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& arg = arguments[i];
        std::expected<void, Failure> step;
        if (arg == "--help" || arg == "-h") {
            options.help = true;
            return options;
        } else if (arg == "--strict") {
            options.strict = true;
        } else if (arg == "--allow-remote") {
            options.allowRemote = true;
        } else if (const auto option = valueOptions.find(arg); option != valueOptions.end()) {
            if (i + 1 >= arguments.size()) {
                return std::unexpected(Failure{Failure::Case::missingValue, arg, {}});
            }
            step = option->second(arguments[++i]);
        } else if (arg.starts_with("-")) {
            step = std::unexpected(Failure{Failure::Case::unknownOption, arg, {}});
        } else {
            step = parseTarget(arg, options);
        }
        if (!step) {
            return std::unexpected(step.error());
        }
    }
    if (options.host == "localhost") {
        options.host = "127.0.0.1";
    }
    if (options.port == 0) {
        return std::unexpected(Failure{Failure::Case::noPort, {}, {}});
    }
    in_addr ignored{};
    if (::inet_pton(AF_INET, options.host.c_str(), &ignored) != 1) {
        return std::unexpected(
            Failure{Failure::Case::badValue, options.host, "expected an IPv4 address"});
    }
    if (!options.allowRemote && !isLoopback(options.host)) {
        return std::unexpected(Failure{Failure::Case::remoteHost, options.host, {}});
    }
    return options;
}

std::expected<GuestsimOptions::Mix, Failure> GuestsimOptions::parseMix(std::string_view text) {
    const auto bad = [&](std::string reason) {
        return std::unexpected(
            Failure{Failure::Case::badMix, std::string(text), std::move(reason)});
    };
    Mix mix;
    int total = 0;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t comma = std::min(text.find(',', start), text.size());
        const std::string_view item = text.substr(start, comma - start);
        start = comma + 1;
        const std::size_t equals = item.find('=');
        if (equals == std::string_view::npos) {
            return bad("expected BEHAVIOUR=COUNT, got \"" + std::string(item) + "\"");
        }
        const auto behaviour = SimulatedGuest::behaviourNamed(item.substr(0, equals));
        if (!behaviour) {
            return bad("no behaviour \"" + std::string(item.substr(0, equals)) +
                       "\" (normal, slow, stalled, flapping, garbage, silent)");
        }
        for (const auto& [seen, count] : mix) {
            if (seen == *behaviour) {
                return bad(std::string(item.substr(0, equals)) + " given twice");
            }
        }
        const auto count = parseNumber<int>(item.substr(equals + 1));
        if (!count || *count < 0 || *count > maxGuests) {
            return bad("bad count \"" + std::string(item.substr(equals + 1)) + "\"");
        }
        total += *count;
        mix.emplace_back(*behaviour, *count);
    }
    if (total == 0 || total > maxGuests) {
        return bad("expected 1 to " + std::to_string(maxGuests) + " guests in all");
    }
    return mix;
}

bool GuestsimOptions::isLoopback(const std::string& host) {
    in_addr address{};
    return ::inet_pton(AF_INET, host.c_str(), &address) == 1 &&
           (ntohl(address.s_addr) >> 24) == 127;
}

int GuestsimOptions::guestCount() const {
    int total = 0;
    for (const auto& [behaviour, count] : mix) {
        total += count;
    }
    return total;
}

std::vector<SimulatedGuest::Settings> GuestsimOptions::guestSettings() const {
    std::vector<SimulatedGuest::Settings> guests;
    const auto milliseconds = [](double seconds) {
        return std::chrono::milliseconds(std::llround(seconds * 1000));
    };
    for (const auto& [behaviour, count] : mix) {
        for (int i = 0; i < count; ++i) {
            SimulatedGuest::Settings settings;
            settings.index = static_cast<int>(guests.size()) + 1;
            settings.behaviour = behaviour;
            settings.host = host;
            settings.port = port;
            settings.bindAddress = bind;
            settings.namePrefix = name;
            // Spread over [-skew, +skew] in 21 steps, differently for neighbours.
            const int step = (settings.index * 37) % 21 - 10;
            settings.clockSkewNanos = std::llround(clockSkewMs * 1e6 * step / 10.0);
            settings.clockTruthKnown = isLoopback(host);
            settings.seed = seed;
            settings.slowFraction = slowFraction;
            settings.stallAfter = milliseconds(stallAfterSeconds);
            settings.stallFor = milliseconds(stallForSeconds);
            guests.push_back(settings);
        }
    }
    return guests;
}

std::string GuestsimOptions::usage() {
    return "usage: zoranth-guestsim [HOST:]PORT [options]\n"
           "Plays many guests against a rave's host and checks what they receive.\n"
           "\n"
           "  --host H              the host's IPv4 address (default 127.0.0.1)\n"
           "  --port P              the host's port\n"
           "  --bind ADDRESS        connect from this IPv4 address of this machine, e.g.\n"
           "                        127.0.0.2 to tell these guests' traffic apart\n"
           "  --name NAME           the guests are called NAME-01-normal, NAME-02-slow, ...\n"
           "                        (default guestsim)\n"
           "  --guests MIX          e.g. normal=10,slow=2,stalled=2,flapping=2,garbage=2,silent=2\n"
           "                        (default normal=10)\n"
           "  --seconds N           how long to run (default 10)\n"
           "  --strict              also fail on a normal guest's clock offset beyond +-1 ms,\n"
           "                        and on a garbage guest the host kept\n"
           "  --allow-remote        allow a host outside 127.0.0.0/8\n"
           "  --seed N              random choices (default 1)\n"
           "  --clock-skew-ms X     guests' clocks run up to X ms off the host's (default 0)\n"
           "  --slow-fraction F     share of the stream a slow guest reads (default 0.5)\n"
           "  --stall-after S       a stalled guest stops reading S s after connecting, once it\n"
           "                        has sent its first report (default 1)\n"
           "  --stall-for S         and reads again S s later (default 15)\n"
           "\n"
           "Exit status: 0 when every normal guest received every chunk in order, 20 ms\n"
           "apart, and stayed connected; 1 otherwise; 2 for a usage error.\n";
}

}  // namespace zoranth
