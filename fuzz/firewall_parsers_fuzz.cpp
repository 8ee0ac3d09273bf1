// Feeds arbitrary text to the three readers of the firewall tool's output and checks
// what must hold for any input: nothing crashes or reads out of bounds, every state is
// a non-negative number, every listed target is a trimmed, non-empty piece of one line
// of the input, and a list written back in the tool's own layout reads back the same.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <source_location>
#include <string>
#include <string_view>

#include "kit/firewall_output.h"

namespace {

using zoranth::FirewallOutput;

void require(bool condition, std::source_location where = std::source_location::current()) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken at line %u\n", static_cast<unsigned>(where.line()));
        std::abort();
    }
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    if (const auto state = FirewallOutput::globalState(text)) {
        require(*state >= 0);
        require(*state == 0 || text.find("State = ") != std::string_view::npos);
    }
    require(FirewallOutput::blockAll(text) == FirewallOutput::blockAll(text));

    const auto entries = FirewallOutput::listApps(text);
    std::string written = "ALF: total number of apps = " + std::to_string(entries.size()) + "\n\n";
    int number = 0;
    for (const auto& entry : entries) {
        require(!entry.target.empty());
        require(!isBlank(entry.target.front()) && !isBlank(entry.target.back()));
        require(entry.target.find('\n') == std::string::npos);
        require(text.find(entry.target) != std::string_view::npos);
        written += std::to_string(++number) + " :  " + entry.target + " \n";
        written += entry.blocked ? " \t ( Block incoming connections ) \n\n"
                                 : " \t ( Allow incoming connections ) \n\n";
    }
    require(FirewallOutput::listApps(written) == entries);
    return 0;
}
