// The readiness report: tags, fixes wrapped under their finding, the closing line and
// the exit status.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/readiness_check.h"

namespace zoranth {
namespace {

using Lines = std::vector<std::string>;
using Reason = MacCheckup::Reason;
using Verdict = MacCheckup::Verdict;

TEST(ReadinessWrap, HoldsAtMost72CharactersIndentedBySevenSpaces) {
    const struct {
        const char* why;
        std::string fix;
        Lines lines;
    } cases[] = {
        {"the unconfirmed network's fix",
         MacCheckup::networkFinding(Reason::networkUnconfirmed).fix,
         {"       Guests will not be able to find this Mac. Open Privacy & Security >",
          "       Local Network and turn on Zoranth Host."}},
        // Quotes, dash and ellipsis are one character each: the middle line is exactly 72.
        {"the block-all fix, counted in characters",
         MacCheckup::firewallVerdict(2, false, {}, {}).fix,
         {"       Guests cannot reach this Mac. Open Firewall settings, click Options\u2026,",
          "       and turn off \u201c"
          "Block all incoming connections\u201d. Leave the firewall itself",
          "       on \u2014 that setting also blocks AirDrop, screen sharing and file sharing."}},
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

MacCheckup::Finding finding(Verdict verdict, std::string title, std::string detail,
                            std::string fix = "") {
    return {
        "x",         std::move(title), verdict, std::move(detail), std::move(fix), Reason::allowed,
        std::nullopt};
}

TEST(ReadinessReport, EverythingFineIsReadyWithStatusZero) {
    const auto report = ReadinessCheck::report({
        MacCheckup::audioFinding(AudioCapability::Verdict::granted()),
        MacCheckup::networkFinding(Reason::networkOK),
        MacCheckup::firewallVerdict(0, false, {}, {}),
    });
    EXPECT_EQ(report.lines, (Lines{
                                "[PASS] Hearing this Mac: Zoranth can hear this Mac.",
                                "[PASS] Guests finding this Mac: Guests can discover this Mac.",
                                "[PASS] Letting guests connect: The firewall is off. Guests can "
                                "reach this Mac.",
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

TEST(ReadinessReport, AnUnreadableFirewallAloneIsStillReady) {
    const auto report = ReadinessCheck::report({MacCheckup::firewallUnreadableFinding()});
    EXPECT_EQ(report.lines.back(), "Ready to start a rave.");
    EXPECT_EQ(report.exitStatus(), 0);
}

TEST(ReadinessReport, AMissingFirewallEntryAloneNeedsAttention) {
    const auto report = ReadinessCheck::report({MacCheckup::firewallVerdict(1, false, {}, {})});
    EXPECT_EQ(report.lines.back(), "1 setting(s) need attention before guests can join.");
    EXPECT_EQ(report.exitStatus(), 1);
}

TEST(ReadinessReport, ASecondCopyGetsTheShorterFix) {
    const auto duplicate = ReadinessCheck::duplicateFinding("/opt/old/zoranth-host");
    EXPECT_EQ(duplicate.id, "duplicate");
    EXPECT_EQ(duplicate.fix,
              "Permissions are granted to a specific copy, so a toggle you turn on may apply to "
              "that one instead of this one.");
    EXPECT_EQ(
        ReadinessCheck::report({duplicate}).lines,
        (Lines{"[TODO] Another copy of Zoranth: There is a second copy at "
               "/opt/old/zoranth-host.",
               "       Permissions are granted to a specific copy, so a toggle you turn on may",
               "       apply to that one instead of this one.", "",
               "1 setting(s) need attention before guests can join."}));
}

}  // namespace
}  // namespace zoranth
