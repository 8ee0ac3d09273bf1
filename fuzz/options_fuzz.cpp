// Feeds arbitrary argument lists, mixing the real option names with arbitrary text,
// through the terminal modes' option parsing, and checks what must hold for any
// input: no crash or out-of-bounds read, the same answer every time, a known mode,
// values that keep their defaults unless their option was given, and values that
// come from the arguments themselves.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <source_location>
#include <string>
#include <string_view>
#include <vector>

#include "cli/options.h"

namespace {

using zoranth::Options;

constexpr std::array<std::string_view, 15> optionNames{
    "--beats",    "--tapcheck", "--goldens", "--serve",   "--check",
    "--help",     "-h",         "--record",  "--seconds", "--port",
    "--delay-ms", "--stress",   "--name",    "--helper",  "--record=x"};
constexpr std::array<std::string_view, 8> modes{"gui",   "beats", "tapcheck", "goldens",
                                                "serve", "check", "help",     "record"};

void require(bool condition, std::source_location where = std::source_location::current()) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken at line %u\n", static_cast<unsigned>(where.line()));
        std::abort();
    }
}

bool occurs(const std::vector<std::string>& arguments, std::string_view option) {
    return std::find(arguments.begin(), arguments.end(), option) != arguments.end();
}

// The decimal digits of an argument that could have given `port` or `delayMs`.
bool spellsNumber(const std::vector<std::string>& arguments, unsigned value) {
    const std::string digits = std::to_string(value);
    return std::any_of(arguments.begin(), arguments.end(), [&](std::string_view argument) {
        if (argument.starts_with('+')) {
            argument.remove_prefix(1);
        }
        while (argument.size() > 1 && argument.front() == '0') {
            argument.remove_prefix(1);
        }
        return argument == digits;
    });
}

std::vector<std::string> argumentsFrom(FuzzedDataProvider& input) {
    std::vector<std::string> arguments;
    while (input.remaining_bytes() > 0 && arguments.size() < 64) {
        if (input.ConsumeBool()) {
            arguments.emplace_back(input.PickValueInArray(optionNames));
        } else {
            arguments.push_back(input.ConsumeRandomLengthString(64));
        }
    }
    return arguments;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const std::vector<std::string> arguments = argumentsFrom(input);
    const Options options = Options::parse(arguments);
    const Options defaults;

    require(Options::parse(arguments) == options);
    require(std::find(modes.begin(), modes.end(), options.command) != modes.end());

    // A leading argument that is no option changes nothing.
    std::vector<std::string> prefixed{"stray"};
    prefixed.insert(prefixed.end(), arguments.begin(), arguments.end());
    require(Options::parse(prefixed) == options);
    require(Options::raveNameArgument(prefixed) == Options::raveNameArgument(arguments));

    // Values keep their defaults unless their option was given...
    if (!occurs(arguments, "--seconds")) {
        require(options.seconds == defaults.seconds);
    }
    if (!occurs(arguments, "--port")) {
        require(options.port == defaults.port);
    }
    if (!occurs(arguments, "--delay-ms")) {
        require(options.delayMs == defaults.delayMs);
    }
    if (!occurs(arguments, "--stress")) {
        require(!options.stress);
    }
    if (!occurs(arguments, "--record") && !occurs(arguments, "--beats")) {
        require(options.path == defaults.path);
    }
    // The first argument is never another option's value: a mode given there sticks,
    // though a later one may replace it, and so does --stress.
    if (!arguments.empty()) {
        const std::string& first = arguments.front();
        if (first == "--tapcheck" || first == "--goldens" || first == "--serve" ||
            first == "--check" || first == "--help" || first == "-h" || first == "--record" ||
            first == "--beats") {
            require(options.command != "gui");
        }
        if (first == "--stress") {
            require(options.stress);
        }
    }

    // ...and otherwise come from the arguments themselves.
    if (options.port != 0) {
        require(spellsNumber(arguments, options.port));
    }
    if (options.delayMs != defaults.delayMs) {
        require(spellsNumber(arguments, options.delayMs));
    }
    if (options.path != defaults.path) {
        require(occurs(arguments, options.path));
    }
    if (const auto name = Options::raveNameArgument(arguments)) {
        require(occurs(arguments, "--name"));
        bool followsName = false;
        for (std::size_t i = 1; i < arguments.size(); ++i) {
            followsName |= arguments[i - 1] == "--name" && arguments[i] == *name;
        }
        require(followsName);
    }
    return 0;
}
