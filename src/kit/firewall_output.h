// Reads what the application firewall's command-line tool prints: its global state,
// its block-all setting and its list of applications. Pure text functions with no
// system access; callable from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zoranth {

struct FirewallOutput {
    // One application as the firewall lists it: a path or a bundle identifier.
    struct Entry {
        std::string target;
        bool blocked = false;
        friend bool operator==(const Entry&, const Entry&) = default;
    };

    // The number after the first "State = " (0 off, 1 on, 2 blocking all incoming
    // connections); without that marker, 0 when the text says "disabled" in any case.
    // Absent when neither gives an answer, or no number follows the marker.
    static std::optional<int> globalState(std::string_view output);

    // Whether the firewall reports that it blocks all incoming connections.
    static bool blockAll(std::string_view output);

    // Every "N : target" line followed by a "( Allow incoming … )" or
    // "( Block incoming … )" line; anything else is skipped.
    static std::vector<Entry> listApps(std::string_view output);
};

}  // namespace zoranth
