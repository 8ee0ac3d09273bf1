// Reads what `nft -j list ruleset` prints and works out whether the ruleset lets a
// new IPv4 packet from another machine on the network in: it follows the packet
// through every filter chain on the input hook, jumps and gotos included, the way
// the kernel would. A match it cannot decide for such a packet (a source address, an
// interface other than loopback, a named set) is followed both ways; when the ways
// disagree the answer is unknown, never a guess. Pure functions over text: any thread.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "platform/firewall/admission.h"

namespace zoranth {

struct NftRuleset {
    // Whether any chain on the input hook of an IPv4-reachable table filters at all
    // (a drop policy or a rule with a verdict). An empty or accept-only ruleset is no
    // firewall.
    bool filtersInput = false;
    Admission admission;

    // The ruleset in nft's JSON form, judged for `traffic`; fails with a short reason
    // when the text is not such a ruleset.
    static std::expected<NftRuleset, std::string> judge(std::string_view json, Traffic traffic);

    // Evaluation steps before the answer is given up as unknown (nested jumps over
    // undecidable matches can branch).
    static constexpr int stepBudget = 20000;
};

}  // namespace zoranth
