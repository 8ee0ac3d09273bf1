// The readiness report: tags, fixes wrapped under their finding, the closing line and
// the exit status.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/readiness_check.h"

namespace zoranth {
namespace {

using Lines = std::vector<std::string>;
using Reason = SystemCheckup::Reason;
using Verdict = SystemCheckup::Verdict;

TEST(ReadinessWrap, HoldsAtMost72CharactersIndentedBySevenSpaces) {
    const struct {
        const char* why;
        std::string fix;
        Lines lines;
    } cases[] = {
        // Quotes, dashes and ellipses are one character each: the first line is exactly 72.
        {"counted in characters",
         "\u201cquoted\u201d \u2014 and so on\u2026 " + std::string(50, 'x') + " next",
         {"       \u201cquoted\u201d \u2014 and so on\u2026 " + std::string(50, 'x'),
          "       next"}},
        {"white space of any kind is tidied first",
         "  one\ttwo\n\nthree  ",
         {"       one two three"}},
        {"a word longer than a line stands alone",
         std::string(80, 'x') + " after",
         {"       " + std::string(80, 'x'), "       after"}},
        {"72 characters fit, 73 do not",
         std::string(36, 'a') + " " + std::string(35, 'b') + " " + std::string(36, 'c') + " " +
             std::string(36, 'd'),
         {"       " + std::string(36, 'a') + " " + std::string(35, 'b'),
          "       " + std::string(36, 'c'), "       " + std::string(36, 'd')}},
        {"nothing to do", "", {}},
    };
    for (const auto& row : cases) {
        EXPECT_EQ(ReadinessCheck::wrapped(row.fix), row.lines) << row.why;
    }
}

SystemCheckup::Finding finding(Verdict verdict, std::string title, std::string detail,
                               std::string fix = "") {
    return {"x", std::move(title), verdict, std::move(detail), std::move(fix), Reason::allowed};
}

TEST(ReadinessReport, EverythingFineIsReadyWithStatusZero) {
    SystemCheckup::Setup setup;
    const auto report = ReadinessCheck::report({
        SystemCheckup::audioFinding(AudioCapability::Verdict::granted()),
        SystemCheckup::networkFinding({DiscoveryCheck::Outcome::Case::confirmed, "avahi 0.8"},
                                      FirewallInspection{}, setup),
        SystemCheckup::firewallFinding(FirewallInspection{}, 40311),
    });
    EXPECT_EQ(report.lines,
              (Lines{
                  "[PASS] Hearing this computer: Zoranth can hear this computer.",
                  "[PASS] Guests finding this computer: Guests can discover this computer: "
                  "avahi-daemon (avahi 0.8) announces it.",
                  "[PASS] Letting guests connect: No firewall is active, so guests can reach TCP "
                  "port 40311.",
                  "",
                  "Ready to start a rave.",
              }));
    EXPECT_EQ(report.exitStatus(), 0);
}

TEST(ReadinessReport, WarningsAndProblemsNeedAttentionButUnknownsDoNot) {
    const auto report = ReadinessCheck::report({
        finding(Verdict::unknown, "A", "could not tell", "look by hand"),
        finding(Verdict::problem, "B", "broken"),
        finding(Verdict::warning, "C", "not yet", "do it"),
        finding(Verdict::ok, "D", "fine"),
    });
    EXPECT_EQ(report.lines, (Lines{
                                "[????] A: could not tell",
                                "       look by hand",
                                "[FAIL] B: broken",
                                "[TODO] C: not yet",
                                "       do it",
                                "[PASS] D: fine",
                                "",
                                "2 setting(s) need attention before guests can join.",
                            }));
    EXPECT_EQ(report.exitStatus(), 1);
}

FirewallInspection ufwWith(Admission port) {
    FirewallInspection ufw;
    ufw.kind = FirewallInspection::Kind::ufw;
    ufw.name = "ufw";
    ufw.guestPort = std::move(port);
    ufw.mdns = Admission::allowed("x");
    return ufw;
}

TEST(ReadinessReport, AnUnreadableFirewallAloneIsStillReady) {
    const auto report = ReadinessCheck::report({SystemCheckup::firewallFinding(
        ufwWith(Admission::unknown("ufw's rules belong to root")), 40311)});
    EXPECT_EQ(report.lines.back(), "Ready to start a rave.");
    EXPECT_EQ(report.exitStatus(), 0);
}

TEST(ReadinessReport, AFirewallKeepingGuestsOutNeedsAttentionWithTheCommandWrapped) {
    const auto report = ReadinessCheck::report({SystemCheckup::firewallFinding(
        ufwWith(Admission::blocked("ufw's default incoming policy DROP")), 40311)});
    EXPECT_EQ(report.lines,
              (Lines{"[FAIL] Letting guests connect: ufw keeps guests out of TCP port 40311: "
                     "ufw's default incoming policy DROP.",
                     "       Guests cannot connect. Let them in with: sudo ufw allow 40311/tcp &&",
                     "       sudo ufw allow 5353/udp", "",
                     "1 setting(s) need attention before guests can join."}));
    EXPECT_EQ(report.exitStatus(), 1);
}

}  // namespace
}  // namespace zoranth
