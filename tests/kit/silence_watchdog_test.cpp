#include "kit/silence_watchdog.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace zoranth {

void PrintTo(const SilenceWatchdog::Diagnosis& d, std::ostream* os) {
    *os << d.shortLabel() << " for " << d.seconds << " s";
}

namespace {

using Diagnosis = SilenceWatchdog::Diagnosis;
using Case = Diagnosis::Case;

// One pass of the sender loop: what it saw, when, and the diagnosis expected.
struct Step {
    double now;
    bool deliveriesSeen;
    bool audioPresent;
    bool outputRunning;
    Diagnosis expected;
};

struct Scenario {
    const char* name;
    std::vector<Step> steps;
};

class SilenceWatchdogStages : public testing::TestWithParam<Scenario> {};

TEST_P(SilenceWatchdogStages, DiagnosisFollowsTheObservationsThroughTime) {
    SilenceWatchdog watchdog;
    EXPECT_EQ(watchdog.lastDiagnosis(), Diagnosis::idle(0));
    for (const Step& step : GetParam().steps) {
        SCOPED_TRACE(testing::Message() << "at " << step.now << " s");
        const Diagnosis got = watchdog.evaluate(
            {.deliveriesSeen = step.deliveriesSeen, .audioPresent = step.audioPresent, .outputRunning = step.outputRunning},
            step.now);
        EXPECT_EQ(got.kind, step.expected.kind);
        EXPECT_NEAR(got.seconds, step.expected.seconds, 1e-9);
        EXPECT_EQ(watchdog.lastDiagnosis(), got);
    }
}

// Times start well away from zero so that a clock measured from the epoch instead of
// from the first evaluation or the start of the silence shows up.
INSTANTIATE_TEST_SUITE_P(
    Scenarios, SilenceWatchdogStages,
    testing::Values(
        Scenario{"NothingDelivered",
                 {{1000.0, false, false, false, Diagnosis::idle(0)},
                  {1001.4, false, false, true, Diagnosis::idle(1.4)},
                  {1001.5, false, false, true, Diagnosis::notCapturing(1.5)},
                  {1030.0, false, false, false, Diagnosis::notCapturing(30)}}},
        Scenario{"SilentWhileNothingPlays",
                 {{1000.0, true, false, false, Diagnosis::idle(0)},
                  {1005.0, true, false, false, Diagnosis::idle(5)},
                  {4600.0, true, false, false, Diagnosis::idle(3600)}}},
        Scenario{"SilentWhileTheOutputPlays",
                 {{1000.0, true, false, true, Diagnosis::idle(0)},
                  {1004.9, true, false, true, Diagnosis::idle(4.9)},
                  {1005.0, true, false, true, Diagnosis::likelyDenied(5)},
                  {1060.0, true, false, true, Diagnosis::likelyDenied(60)},
                  {1061.0, true, true, true, Diagnosis::receivingAudio()},
                  {1062.0, true, false, true, Diagnosis::idle(0)}, // one loud chunk restarted the clock
                  {1066.0, true, false, true, Diagnosis::idle(4)},
                  {1067.0, true, false, true, Diagnosis::likelyDenied(5)}}},
        Scenario{"OutputStopsDuringSilence",
                 {{1000.0, true, false, true, Diagnosis::idle(0)},
                  {1006.0, true, false, true, Diagnosis::likelyDenied(6)},
                  {1007.0, true, false, false, Diagnosis::idle(7)}, // the silence clock keeps running
                  {1008.0, true, false, true, Diagnosis::likelyDenied(8)}}},
        Scenario{"FirstDeliveryAfterAWait",
                 {{1000.0, false, false, true, Diagnosis::idle(0)},
                  {1003.0, false, false, true, Diagnosis::notCapturing(3)},
                  {1004.0, true, false, true, Diagnosis::idle(0)}, // silence counts from here, not from the start
                  {1008.5, true, false, true, Diagnosis::idle(4.5)},
                  {1009.0, true, false, true, Diagnosis::likelyDenied(5)}}},
        Scenario{"AudioFromTheStart",
                 {{1000.0, true, true, false, Diagnosis::receivingAudio()},
                  {1000.02, true, true, true, Diagnosis::receivingAudio()}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SilenceWatchdogLabels, EachDiagnosisHasItsStateColumnText) {
    EXPECT_EQ(Diagnosis::idle(3).shortLabel(), "idle");
    EXPECT_EQ(Diagnosis::notCapturing(3).shortLabel(), "NO DATA");
    EXPECT_EQ(Diagnosis::likelyDenied(3).shortLabel(), "SILENT?");
    EXPECT_EQ(Diagnosis::receivingAudio().shortLabel(), "audio");
}

TEST(SilenceWatchdogLabels, DiagnosesCompareByCaseAndPayload) {
    EXPECT_EQ(Diagnosis::idle(2), Diagnosis::idle(2));
    EXPECT_NE(Diagnosis::idle(2), Diagnosis::idle(3));
    EXPECT_NE(Diagnosis::idle(2), Diagnosis::likelyDenied(2));
}

} // namespace
} // namespace zoranth
