// Feeds arbitrary text to the readers of the firewall's own files and output: ufw's
// configuration and rules, nft's JSON ruleset and firewalld's port ranges. For any
// input nothing crashes, hangs or reads out of bounds, every answer is one of the three
// with a reason, the same text gives the same answer, and ufw rules written back in
// ufw's own tuple layout read back the same.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <source_location>
#include <string>
#include <string_view>

#include "platform/firewall/firewalld_zone.h"
#include "platform/firewall/nft_ruleset.h"
#include "platform/firewall/ufw_files.h"

namespace {

using namespace zoranth;

void require(bool condition, std::source_location where = std::source_location::current()) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken at line %u\n", static_cast<unsigned>(where.line()));
        std::abort();
    }
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f' || c == '\n';
}

bool hasBlank(std::string_view text) {
    for (char c : text) {
        if (isBlank(c)) {
            return true;
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::uint16_t port = size >= 2 ? static_cast<std::uint16_t>(data[0] << 8 | data[1]) : 0;
    const Traffic traffic{size % 2 ? Traffic::Protocol::udp : Traffic::Protocol::tcp, port};

    (void)UfwFiles::enabled(text);
    if (const auto policy = UfwFiles::defaultInputPolicy(text)) {
        require(!policy->empty());
    }
    const auto rules = UfwFiles::rules(text);
    std::string written;
    for (const auto& rule : rules) {
        require(!rule.action.empty() && rule.action.find('_') == std::string::npos);
        require(!hasBlank(rule.protocol) && !hasBlank(rule.ports));
        written += "### tuple ### " + rule.action + " " + rule.protocol + " " + rule.ports +
                   " 0.0.0.0/0 any 0.0.0.0/0 " + (rule.incoming ? "in" : "out") + "\n";
    }
    require(UfwFiles::rules(written) == rules);
    if (const auto decided = UfwFiles::decide(rules, traffic)) {
        require(decided->kind != Admission::Case::unknown && !decided->why.empty());
    }
    require(UfwFiles::accepts(text, traffic) == UfwFiles::accepts(text, traffic));
    require(UfwFiles::portsHold(text, port) == UfwFiles::portsHold(text, port));
    (void)FirewalldZone::rangeHolds(text, port);

    const auto judged = NftRuleset::judge(text, traffic);
    if (judged) {
        require(!judged->admission.why.empty());
        const auto again = NftRuleset::judge(text, traffic);
        require(again && again->admission == judged->admission &&
                again->filtersInput == judged->filtersInput);
    } else {
        require(!judged.error().empty());
    }
    return 0;
}
