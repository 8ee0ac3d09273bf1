// nft's own JSON for rulesets loaded into a network namespace made for the test (never
// this machine's own firewall), judged for a guest's TCP connection and for mDNS.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/firewall/nft_ruleset.h"

namespace zoranth {
namespace {

constexpr Traffic guest{Traffic::Protocol::tcp, 40311};

// Loads `rules` into a fresh network namespace and returns what `nft -j list ruleset`
// prints there; empty when it cannot.
std::string listedInNamespace(const std::string& rules) {
    char pattern[] = "/tmp/zoranth-nft-XXXXXX";
    const std::filesystem::path folder = ::mkdtemp(pattern);
    std::ofstream(folder / "rules.nft") << rules;
    const std::string command = "unshare -n sh -c \"nft -f '" + (folder / "rules.nft").string() +
                                "' && nft -j list ruleset\" 2>/dev/null";
    std::string output;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        for (std::size_t n = 0; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
            output.append(buffer, n);
        }
        if (::pclose(pipe) != 0) {
            output.clear();
        }
    }
    std::filesystem::remove_all(folder);
    return output;
}

class NftInNamespace : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0 || ::access("/usr/sbin/nft", X_OK) != 0) {
            GTEST_SKIP() << "needs root (a network namespace of its own) and nft (scripts/setup)";
        }
    }
};

// The shape of Debian's /etc/nftables.conf with a typical server's rules.
constexpr const char* server = R"(
table inet filter {
  chain input {
    type filter hook input priority filter; policy drop;
    ct state vmap { established : accept, related : accept, invalid : drop }
    iif lo accept
    meta l4proto { icmp, ipv6-icmp } accept
    tcp dport { 22, 80, 443 } accept
  }
}
)";

TEST_F(NftInNamespace, ADroppingServerKeepsGuestsAndMdnsOut) {
    const std::string json = listedInNamespace(server);
    ASSERT_FALSE(json.empty()) << "nft could not load the ruleset in a namespace";
    const auto port = NftRuleset::judge(json, guest);
    const auto mdns = NftRuleset::judge(json, mdnsTraffic);
    ASSERT_TRUE(port && mdns);
    EXPECT_TRUE(port->filtersInput);
    EXPECT_EQ(port->admission,
              Admission::blocked(
                  "the nftables chain \u201cinet filter input\u201d (policy drop) drops it"));
    EXPECT_EQ(mdns->admission.kind, Admission::Case::blocked);
}

TEST_F(NftInNamespace, OpeningThePortAndMdnsLetsBothIn) {
    const std::string json = listedInNamespace(std::string(server) + R"(
table inet rave {
  chain input {
    type filter hook input priority filter + 10; policy drop;
    iifname != "lo" tcp dport 40300-40320 accept
    udp dport mdns ip daddr 224.0.0.251 accept
    ct state established,related accept
  }
}
add rule inet filter input tcp dport 40311 accept
add rule inet filter input udp dport 5353 accept
)");
    ASSERT_FALSE(json.empty());
    const auto port = NftRuleset::judge(json, guest);
    const auto mdns = NftRuleset::judge(json, mdnsTraffic);
    ASSERT_TRUE(port && mdns);
    EXPECT_EQ(port->admission.kind, Admission::Case::allowed) << port->admission.why;
    // The rave table's mDNS rule names the multicast address, which is the packet's but
    // not known to the check: that chain cannot be decided.
    EXPECT_EQ(mdns->admission.kind, Admission::Case::unknown) << mdns->admission.why;
}

TEST_F(NftInNamespace, AnEmptyRulesetIsNoFirewall) {
    const std::string json = listedInNamespace("flush ruleset\n");
    ASSERT_FALSE(json.empty());
    const auto judged = NftRuleset::judge(json, guest);
    ASSERT_TRUE(judged.has_value());
    EXPECT_FALSE(judged->filtersInput);
    EXPECT_EQ(judged->admission.kind, Admission::Case::allowed);
}

}  // namespace
}  // namespace zoranth
