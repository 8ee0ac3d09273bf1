// The readers of ufw's files, of firewalld's zones and of nft's JSON ruleset, over the
// texts those tools write: what lets a guest's TCP connection and mDNS in, what keeps
// them out, and what stays unknown rather than guessed.
#include <gtest/gtest.h>

#include <string>

#include "platform/firewall/firewalld_zone.h"
#include "platform/firewall/nft_ruleset.h"
#include "platform/firewall/ufw_files.h"

namespace zoranth {

static void PrintTo(const Admission& admission, std::ostream* out) {
    *out << "{" << static_cast<int>(admission.kind) << ", \"" << admission.why << "\"}";
}

namespace {

constexpr Traffic guest{Traffic::Protocol::tcp, 40311};

TEST(UfwConfig, IsEnabledOnlyByItsOwnWord) {
    const struct {
        const char* text;
        std::optional<bool> enabled;
    } cases[] = {
        {"# /etc/ufw/ufw.conf\nENABLED=yes\nLOGLEVEL=low\n", true},
        {"ENABLED=no\nLOGLEVEL=low\n", false},
        {"ENABLED=\"yes\"\n", true},
        {"  ENABLED=no  \n", false},
        {"ENABLED=no\nENABLED=yes\n", true},  // the last assignment counts, as in the shell
        {"#ENABLED=yes\n", std::nullopt},
        {"ENABLED_OTHER=yes\n", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(UfwFiles::enabled(c.text), c.enabled) << c.text;
    }
    EXPECT_EQ(UfwFiles::defaultInputPolicy("IPV6=yes\nDEFAULT_INPUT_POLICY=\"DROP\"\n"), "DROP");
    EXPECT_EQ(UfwFiles::defaultInputPolicy("DEFAULT_OUTPUT_POLICY=\"ACCEPT\"\n"), std::nullopt);
}

// As ufw 0.36 writes user.rules after `ufw allow 22/tcp`, `ufw limit ssh`, `ufw deny
// 6000:6007/tcp`, `ufw allow in on eth0 to any port 80,443 proto tcp` and an app rule.
constexpr const char* userRules = R"(*filter
:ufw-user-input - [0:0]
### RULES ###

### tuple ### allow tcp 22 0.0.0.0/0 any 0.0.0.0/0 in
-A ufw-user-input -p tcp --dport 22 -j ACCEPT

### tuple ### limit tcp 22 0.0.0.0/0 any 0.0.0.0/0 OpenSSH - in
-A ufw-user-input -p tcp --dport 22 -j ufw-user-limit

### tuple ### deny_log tcp 6000:6007 0.0.0.0/0 any 0.0.0.0/0 in
-A ufw-user-input -p tcp -m multiport --dports 6000:6007 -j DROP

### tuple ### allow tcp 80,443 0.0.0.0/0 any 0.0.0.0/0 in_eth0
-A ufw-user-input -i eth0 -p tcp -m multiport --dports 80,443 -j ACCEPT

### tuple ### allow any 5353 0.0.0.0/0 any 0.0.0.0/0 out
### tuple ### route:allow tcp 40311 0.0.0.0/0 any 0.0.0.0/0 in
### END RULES ###
COMMIT
)";

TEST(UfwRules, AreTheTuplesInFileOrderWithoutRoutedOnes) {
    const std::vector<UfwFiles::Rule> expected = {
        {"allow", "tcp", "22", true},       {"limit", "tcp", "22", true},
        {"deny", "tcp", "6000:6007", true}, {"allow", "tcp", "80,443", true},
        {"allow", "any", "5353", false},
    };
    EXPECT_EQ(UfwFiles::rules(userRules), expected);
}

TEST(UfwRules, TheFirstIncomingRuleThatCoversTheTrafficDecides) {
    const auto rules = UfwFiles::rules(userRules);
    const auto tcp = [](std::uint16_t port) { return Traffic{Traffic::Protocol::tcp, port}; };
    EXPECT_EQ(UfwFiles::decide(rules, tcp(22)),
              Admission::allowed("the ufw rule \u201callow 22/tcp\u201d"));
    EXPECT_EQ(UfwFiles::decide(rules, tcp(6003)),
              Admission::blocked("the ufw rule \u201cdeny 6000:6007/tcp\u201d"));
    EXPECT_EQ(UfwFiles::decide(rules, tcp(443)),
              Admission::allowed("the ufw rule \u201callow 80,443/tcp\u201d"));
    EXPECT_EQ(UfwFiles::decide(rules, guest), std::nullopt) << "left to the default policy";
    EXPECT_EQ(UfwFiles::decide(rules, mdnsTraffic), std::nullopt) << "an outgoing rule";
    const auto anyProtocol =
        UfwFiles::rules("### tuple ### allow any 5353 0.0.0.0/0 any 0.0.0.0/0 in\n");
    EXPECT_EQ(UfwFiles::decide(anyProtocol, mdnsTraffic),
              Admission::allowed("the ufw rule \u201callow 5353\u201d"));
}

TEST(UfwRules, PortListsHoldSinglePortsRangesAndAny) {
    EXPECT_TRUE(UfwFiles::portsHold("any", 1));
    EXPECT_TRUE(UfwFiles::portsHold("80,443,40000:40400", 40311));
    EXPECT_FALSE(UfwFiles::portsHold("80,443", 4431));
    EXPECT_FALSE(UfwFiles::portsHold("40400:40000", 40311));
    EXPECT_FALSE(UfwFiles::portsHold("x,:,99999", 40311));
}

TEST(UfwBeforeRules, TheStandardFileAcceptsMdnsButNotTheGuestPort) {
    // The mDNS lines of Debian's /etc/ufw/before.rules.
    constexpr const char* before =
        "# allow MULTICAST mDNS for service discovery (be sure the MULTICAST line above\n"
        "# is uncommented)\n"
        "-A ufw-before-input -p udp -d 224.0.0.251 --dport 5353 -j ACCEPT\n"
        "-A ufw-before-input -p udp --sport 67 --dport 68 -j ACCEPT\n"
        "-A ufw-before-input -p tcp --dport 40311 -m conntrack --ctstate ESTABLISHED -j ACCEPT\n";
    EXPECT_TRUE(UfwFiles::accepts(before, mdnsTraffic));
    EXPECT_FALSE(UfwFiles::accepts(before, guest)) << "only established connections";
    EXPECT_FALSE(
        UfwFiles::accepts("-A ufw-before-output -p udp --dport 5353 -j ACCEPT\n", mdnsTraffic));
}

TEST(FirewalldZone, LetsInByTargetPortOrServiceAndKeepsTheRestOut) {
    FirewalldZone zone;
    zone.name = "public";
    zone.services = {{"ssh", {{"22", "tcp"}}}, {"mdns", {{"5353", "udp"}}}};
    zone.ports = {{"40000-40400", "tcp"}, {"9", "udp"}};
    EXPECT_EQ(zone.admits(guest),
              Admission::allowed("the firewalld zone \u201cpublic\u201d opens 40311/tcp"));
    EXPECT_EQ(zone.admits(mdnsTraffic),
              Admission::allowed("the firewalld zone \u201cpublic\u201d allows the service mdns"));
    EXPECT_EQ(zone.admits({Traffic::Protocol::udp, 40311}),
              Admission::blocked("the firewalld zone \u201cpublic\u201d does not open 40311/udp"));
    zone.target = "ACCEPT";
    zone.ports.clear();
    EXPECT_EQ(zone.admits(guest).kind, Admission::Case::allowed);
    EXPECT_FALSE(FirewalldZone::rangeHolds("40400-40000", 40311));
    EXPECT_FALSE(FirewalldZone::rangeHolds("-40311", 40311));
}

// A table in nft's JSON form with one input chain holding the given rules.
std::string ruleset(const std::string& policy, const std::string& rules,
                    const std::string& family = "inet") {
    return R"({"nftables": [{"metainfo": {"version": "1.0.6", "json_schema_version": 1}},
        {"table": {"family": ")" +
           family + R"(", "name": "filter", "handle": 1}},
        {"chain": {"family": ")" +
           family + R"(", "table": "filter", "name": "input",
          "handle": 1, "type": "filter", "hook": "input", "prio": 0, "policy": ")" +
           policy + R"("}},
        {"chain": {"family": ")" +
           family + R"(", "table": "filter", "name": "lan", "handle": 2}})" + rules + "]}";
}

std::string rule(const std::string& chain, const std::string& expr,
                 const std::string& family = "inet") {
    return R"(, {"rule": {"family": ")" + family + R"(", "table": "filter", "chain": ")" + chain +
           R"(", "handle": 9, "expr": [)" + expr + "]}}";
}

const std::string established =
    R"({"match": {"op": "in", "left": {"ct": {"key": "state"}}, "right": ["established", "related"]}}, {"accept": null})";
const std::string loopbackIn =
    R"({"match": {"op": "==", "left": {"meta": {"key": "iifname"}}, "right": "lo"}}, {"accept": null})";
std::string tcpPort(const std::string& right) {
    return R"({"match": {"op": "==", "left": {"payload": {"protocol": "tcp", "field": "dport"}}, "right": )" +
           right + "}}";
}

TEST(NftRuleset, FollowsANewPacketThroughTheInputChains) {
    const struct {
        const char* why;
        std::string json;
        Admission::Case expected;
    } cases[] = {
        {"no input chain at all", R"({"nftables": [{"metainfo": {}}]})", Admission::Case::allowed},
        {"a drop policy with the port opened",
         ruleset("drop", rule("input", established) + rule("input", loopbackIn) +
                             rule("input", tcpPort("40311") + R"(, {"accept": null})")),
         Admission::Case::allowed},
        {"a drop policy, the port in a set with a range",
         ruleset("drop", rule("input", tcpPort(R"({"set": [22, {"range": [40000, 40400]}]})") +
                                           R"(, {"accept": null})")),
         Admission::Case::allowed},
        {"a drop policy, only established connections and ssh",
         ruleset("drop", rule("input", established) +
                             rule("input", tcpPort("22") + R"(, {"accept": null})")),
         Admission::Case::blocked},
        {"the port opened in a chain jumped to",
         ruleset("drop", rule("input", R"({"jump": {"target": "lan"}})") +
                             rule("lan", tcpPort("40311") + R"(, {"accept": null})")),
         Admission::Case::allowed},
        {"a final reject in an accepting chain",
         ruleset("accept",
                 rule("input", established) +
                     rule("input", R"({"reject": {"type": "icmpx", "expr": "admin-prohibited"}})")),
         Admission::Case::blocked},
        {"a rule on the source address: both ways differ",
         ruleset(
             "drop",
             rule(
                 "input",
                 R"({"match": {"op": "==", "left": {"payload": {"protocol": "ip", "field": "saddr"}}, "right": {"prefix": {"addr": "192.168.1.0", "len": 24}}}}, {"accept": null})")),
         Admission::Case::unknown},
        {"a drop for one source address before the opened port",
         ruleset(
             "drop",
             rule(
                 "input",
                 R"({"match": {"op": "==", "left": {"payload": {"protocol": "ip", "field": "saddr"}}, "right": "10.0.0.1"}}, {"drop": null})") +
                 rule("input", tcpPort("40311") + R"(, {"accept": null})")),
         Admission::Case::unknown},
        {"an IPv6-only table does not see IPv4 guests", ruleset("drop", "", "ip6"),
         Admission::Case::allowed},
        {"the port opened only for UDP",
         ruleset(
             "drop",
             rule(
                 "input",
                 R"({"match": {"op": "==", "left": {"payload": {"protocol": "udp", "field": "dport"}}, "right": 40311}}, {"accept": null})")),
         Admission::Case::blocked},
        {"a named set cannot be read",
         ruleset("drop", rule("input", tcpPort(R"("@open_ports")") + R"(, {"accept": null})")),
         Admission::Case::unknown},
        {"a verdict map on the connection state",
         ruleset(
             "drop",
             rule(
                 "input",
                 R"({"vmap": {"key": {"ct": {"key": "state"}}, "data": {"set": [["established", {"accept": null}], ["invalid", {"drop": null}]]}}})") +
                 rule("input", tcpPort("40311") + R"(, {"accept": null})")),
         Admission::Case::allowed},
    };
    for (const auto& c : cases) {
        const auto judged = NftRuleset::judge(c.json, guest);
        ASSERT_TRUE(judged.has_value()) << c.why << ": " << judged.error();
        EXPECT_EQ(judged->admission.kind, c.expected) << c.why << ": " << judged->admission.why;
    }
}

TEST(NftRuleset, SaysWhichChainDropsAndWhyItCannotTell) {
    const auto dropped = NftRuleset::judge(ruleset("drop", ""), guest);
    ASSERT_TRUE(dropped.has_value());
    EXPECT_TRUE(dropped->filtersInput);
    EXPECT_EQ(dropped->admission,
              Admission::blocked(
                  "the nftables chain \u201cinet filter input\u201d (policy drop) drops it"));

    const auto unknown = NftRuleset::judge(
        ruleset("drop", rule("input", tcpPort(R"("@open_ports")") + R"(, {"accept": null})")),
        guest);
    ASSERT_TRUE(unknown.has_value());
    EXPECT_EQ(unknown->admission.why,
              "whether nftables lets it in depends on a rule this check cannot decide (it uses "
              "the named set @open_ports)");

    const auto empty = NftRuleset::judge(ruleset("accept", ""), guest);
    ASSERT_TRUE(empty.has_value());
    EXPECT_FALSE(empty->filtersInput) << "an accepting chain without rules filters nothing";
}

TEST(NftRuleset, RefusesWhatIsNotARuleset) {
    for (const char* text : {"", "not json", "[1, 2]", R"({"nftables": 3})", "{\"nftables\": ["}) {
        EXPECT_FALSE(NftRuleset::judge(text, guest).has_value()) << text;
    }
}

TEST(NftRuleset, GivesUpOnRulesetsThatBranchWithoutEnd) {
    // Every rule depends on the interface, so each doubles the ways to follow.
    std::string rules;
    for (int i = 0; i < 200; ++i) {
        rules +=
            rule("input",
                 R"({"match": {"op": "==", "left": {"meta": {"key": "iifname"}}, "right": "eth)" +
                     std::to_string(i) + R"("}}, {"jump": {"target": "lan"}})");
    }
    rules += rule("lan", R"({"return": null})");
    const auto judged = NftRuleset::judge(ruleset("drop", rules), guest);
    ASSERT_TRUE(judged.has_value());
    EXPECT_EQ(judged->admission.kind, Admission::Case::unknown);
}

}  // namespace
}  // namespace zoranth
