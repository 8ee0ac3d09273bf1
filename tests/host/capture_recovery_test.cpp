// The capture-recovery ladder with the capture's signs and the times given by the test:
// refresh at once, rebuild 20 s later if still suspect, a verdict 20 s after that, and
// 30 s between episodes.
#include "host/session/capture_recovery.h"

#include <gtest/gtest.h>

namespace zoranth {
namespace {

using Action = CaptureRecovery::Step::Action;
using Diagnosis = SilenceWatchdog::Diagnosis;
using Recovery = CaptureRecovery::Recovery;

CaptureRecovery::Signals spliced(double rate) {
    return {Diagnosis::receivingAudio(), rate, std::nullopt};
}

const CaptureRecovery::Signals fine = spliced(0.0);

TEST(CaptureRecovery, TheFirstSuspectCheckRefreshesAtOnceAndARebuildFollowsTwentySecondsLater) {
    CaptureRecovery ladder;
    const auto first = ladder.check(500, spliced(0.25));
    EXPECT_EQ(first.action, Action::refresh);
    EXPECT_EQ(first.reason, "spliced");
    EXPECT_EQ(first.lines, (std::vector<std::string>{
                               "capture suspect (spliced: no beats, splice 25%, receivingAudio): "
                               "the tap looks broken"}));
    EXPECT_EQ(ladder.recovery(), Recovery::refreshed(500));

    EXPECT_EQ(ladder.check(519.9, spliced(0.25)).action, Action::none);
    const auto rebuild = ladder.check(520, spliced(0.3));
    EXPECT_EQ(rebuild.action, Action::rebuild);
    EXPECT_EQ(rebuild.lines,
              (std::vector<std::string>{
                  "capture still suspect after the refresh (no beats, splice 30%); rebuilding "
                  "the tap"}));
    EXPECT_EQ(ladder.recovery(), Recovery::restarted(520));

    EXPECT_EQ(ladder.check(539, spliced(0.3)).action, Action::none);
    const auto verdict = ladder.check(540, spliced(0.3));
    EXPECT_EQ(verdict.action, Action::none);
    EXPECT_EQ(verdict.lines,
              (std::vector<std::string>{"capture STILL suspect after rebuilding the tap (no beats, "
                                        "splice 30%)"}));
    EXPECT_EQ(ladder.recovery(), Recovery::watching());
    EXPECT_EQ(ladder.lastRecoveryAt(), 540);

    // A capture that stays broken starts over 30 s after the verdict.
    EXPECT_EQ(ladder.check(569.9, spliced(0.3)).action, Action::none);
    EXPECT_EQ(ladder.check(570, spliced(0.3)).action, Action::refresh);
}

TEST(CaptureRecovery, ACaptureThatComesBackIsLoggedAndTheLadderReturnsToWatching) {
    struct Row {
        double rebuildAt;  // 0: recovered after the refresh
        std::string line;
    };
    const Row rows[] = {
        {0, "capture recovered after the refresh (no beats, splice 0%)"},
        {120, "capture recovered after rebuilding the tap (no beats, splice 0%)"},
    };
    for (const Row& row : rows) {
        CaptureRecovery ladder;
        ladder.check(100, spliced(0.5));
        double verdictAt = 120;
        if (row.rebuildAt != 0) {
            ASSERT_EQ(ladder.check(row.rebuildAt, spliced(0.5)).action, Action::rebuild);
            verdictAt = row.rebuildAt + 20;
        }
        const auto step = ladder.check(verdictAt, fine);
        EXPECT_EQ(step.action, Action::none);
        EXPECT_EQ(step.lines, std::vector<std::string>{row.line});
        EXPECT_EQ(ladder.recovery(), Recovery::watching());
        EXPECT_EQ(ladder.lastRecoveryAt(), verdictAt);
    }
}

TEST(CaptureRecovery, SuspicionNeedsGarbledBeatsLostAudioOrOneSpliceInFive) {
    const BroadcastSink::CaptureCanary garbled{6.2, true};
    const BroadcastSink::CaptureCanary steady{2.1, false};
    struct Row {
        const char* what;
        bool audioBefore;
        CaptureRecovery::Signals reading;
        std::optional<std::string> reason;
    };
    const Row rows[] = {
        {"splice at the threshold", false, spliced(0.2), "spliced"},
        {"splice just below", false, spliced(0.19), std::nullopt},
        {"no splice verdict yet",
         false,
         {Diagnosis::receivingAudio(), std::nullopt, steady},
         std::nullopt},
        {"garbled beats outrank a low splice",
         false,
         {Diagnosis::receivingAudio(), 0.01, garbled},
         "garbled"},
        {"garbled beats outrank lost audio",
         true,
         {Diagnosis::likelyDenied(8), 0.5, garbled},
         "garbled"},
        {"silence after audio", true, {Diagnosis::likelyDenied(8), 0.5, steady}, "silent"},
        {"silence from the start is the permission warning's",
         false,
         {Diagnosis::likelyDenied(8), std::nullopt, std::nullopt},
         std::nullopt},
    };
    for (const Row& row : rows) {
        CaptureRecovery ladder;
        if (row.audioBefore) {
            ladder.check(0, fine);
            ASSERT_TRUE(ladder.hadAudioThisRave());
        }
        const auto step = ladder.check(100, row.reading);
        EXPECT_EQ(step.action == Action::refresh ? std::optional(step.reason) : std::nullopt,
                  row.reason)
            << row.what;
    }
}

TEST(CaptureRecovery, TheLogTextsNameTheBeatsTheSplicesAndTheDiagnosis) {
    EXPECT_EQ(CaptureRecovery::beatText(std::nullopt), "no beats");
    EXPECT_EQ(CaptureRecovery::beatText(BroadcastSink::CaptureCanary{std::nullopt, false}),
              "no beats");
    EXPECT_EQ(CaptureRecovery::beatText(BroadcastSink::CaptureCanary{6.25, true}), "6.2 beats/s");
    EXPECT_EQ(CaptureRecovery::spliceText(std::nullopt), "splice -");
    EXPECT_EQ(CaptureRecovery::spliceText(0.125), "splice 12%");
    EXPECT_EQ(CaptureRecovery::diagnosisText(Diagnosis::likelyDenied(12.5)),
              "likelyDenied(silentFor: 12.5)");
    EXPECT_EQ(CaptureRecovery::diagnosisText(Diagnosis::notCapturing(3)), "notCapturing(for: 3)");
    EXPECT_EQ(CaptureRecovery::diagnosisText(Diagnosis::idle(0)), "idle(silentFor: 0)");
}

TEST(CaptureRecovery, ResettingForANewRaveForgetsTheLadderAndTheAudioSeen) {
    CaptureRecovery ladder;
    ladder.check(0, fine);
    ladder.check(10, spliced(0.5));
    ASSERT_EQ(ladder.recovery().kind, Recovery::Case::refreshed);

    ladder.reset();
    EXPECT_EQ(ladder.recovery(), Recovery::watching());
    EXPECT_EQ(ladder.lastRecoveryAt(), -std::numeric_limits<double>::infinity());
    EXPECT_FALSE(ladder.hadAudioThisRave());
    EXPECT_EQ(ladder.check(11, spliced(0.5)).action, Action::refresh) << "no 30 s wait";
}

}  // namespace
}  // namespace zoranth
