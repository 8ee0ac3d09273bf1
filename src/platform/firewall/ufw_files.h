// Reads ufw's own files: whether it is enabled (/etc/ufw/ufw.conf, readable by
// everyone), its default incoming policy (/etc/default/ufw), the rules a user added
// (the "### tuple ###" lines of /etc/ufw/user.rules, root's) and the accepts in its
// iptables-restore files (before.rules, root's). Pure functions over text: any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/firewall/admission.h"

namespace zoranth {

struct UfwFiles {
    // One rule as `ufw allow …` wrote it.
    struct Rule {
        std::string action;    // "allow", "deny", "reject" or "limit" (a log suffix removed)
        std::string protocol;  // "tcp", "udp" or "any"
        std::string ports;     // "40000", "6000:6007", "80,443" or "any"
        bool incoming = true;  // "in" (any interface) or "in_eth0"; false for "out"
        friend bool operator==(const Rule&, const Rule&) = default;
    };

    // ENABLED=yes or ENABLED=no (quotes allowed); absent when the file says neither.
    static std::optional<bool> enabled(std::string_view ufwConf);

    // DEFAULT_INPUT_POLICY ("DROP", "REJECT" or "ACCEPT"), absent when not set.
    static std::optional<std::string> defaultInputPolicy(std::string_view defaults);

    // The tuples of user.rules (or user6.rules) in file order; routed (forwarding)
    // rules are left out.
    static std::vector<Rule> rules(std::string_view userRules);

    // Whether `ports` ("any", one port, a range "a:b", a list "a,b:c") holds `port`.
    static bool portsHold(std::string_view ports, std::uint16_t port);

    // The first incoming rule that covers the traffic decides, as ufw's chain does;
    // absent when none covers it.
    static std::optional<Admission> decide(const std::vector<Rule>& rules, Traffic traffic);

    // Whether an iptables-restore file accepts the traffic in one of ufw's input
    // chains without a condition beyond protocol, port and destination address
    // ("-A ufw-before-input -p udp -d 224.0.0.251 --dport 5353 -j ACCEPT").
    static bool accepts(std::string_view restoreFile, Traffic traffic);
};

}  // namespace zoranth
