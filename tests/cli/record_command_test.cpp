// The record mode's verdict, its progress rows, and the arrival envelope that places a
// take against the wall clock.
#include "cli/record_command.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zoranth {
namespace {

std::vector<std::string> failures(const RecordCommand::Verdict& verdict) {
    std::vector<std::string> lines;
    std::copy_if(verdict.lines.begin(), verdict.lines.end(), std::back_inserter(lines),
                 [](const std::string& line) { return line.starts_with("FAIL"); });
    return lines;
}

RecordCommand::Outcome cleanTenSeconds() {
    RecordCommand::Outcome outcome;
    outcome.wallSeconds = 10.0;
    outcome.framesWritten = 480000;
    outcome.capturedFrames = 480000;
    return outcome;
}

TEST(RecordVerdict, ACleanRunPassesWithItsSummary) {
    const auto verdict = RecordCommand::judge(cleanTenSeconds(), "/tmp/take.wav", "paplay");
    EXPECT_EQ(verdict.status, 0);
    EXPECT_EQ(verdict.lines,
              (std::vector<std::string>{
                  "", "=== record summary ===", "wall clock:        10.000s",
                  "audio written:     10.000s (480000 frames)",
                  "difference:        +0.0ms (+0.00ms per second)", "ring overruns:     0",
                  "discontinuities:   0", "write failures:    0", "",
                  "PASS: realtime path is clean. Listen with: paplay '/tmp/take.wav'"}));
}

TEST(RecordVerdict, DriftIsJudgedOnCapturedAudioUpToOneMillisecondPerSecond) {
    struct Case {
        std::int64_t written;
        std::int64_t captured;
        int status;
    } cases[] = {
        {480480, 480480, 0},  // +1.0 ms/s exactly
        {479520, 479520, 0},  // −1.0 ms/s exactly
        {480485, 480485, 1},  // just over +1.0 ms/s
        {479515, 479515, 1},  // just over −1.0 ms/s
        {480960, 480000, 0},  // the silence that completes the last chunk is not drift
    };
    for (const auto& [written, captured, status] : cases) {
        auto outcome = cleanTenSeconds();
        outcome.framesWritten = written;
        outcome.capturedFrames = captured;
        const auto verdict = RecordCommand::judge(outcome, "x.wav", "paplay");
        EXPECT_EQ(verdict.status, status) << written << " " << captured;
        if (status == 1) {
            EXPECT_EQ(failures(verdict),
                      std::vector<std::string>{
                          "FAIL: frames written diverge from wall clock by more than 1ms/s. "
                          "Buffers are being dropped \u2014 check the capture callback for "
                          "allocation, locking or logging."});
        }
    }
}

TEST(RecordVerdict, EveryFailedCheckPrintsItsLineInOrder) {
    auto outcome = cleanTenSeconds();
    outcome.ringOverruns = 2;
    outcome.discontinuities = 1;
    outcome.writeFailures = 3;
    const auto verdict = RecordCommand::judge(outcome, "x.wav", "paplay");
    EXPECT_EQ(verdict.status, 1);
    // Without drift no empty line comes before the first failure.
    const std::vector<std::string> tail(verdict.lines.end() - 4, verdict.lines.end());
    EXPECT_EQ(tail, (std::vector<std::string>{
                        "write failures:    3",
                        "FAIL: the ring overran, so the sender thread could not keep up.",
                        "FAIL: timestamps jumped, so a delivery was lost.",
                        "FAIL: 3 file writes failed."}));
}

TEST(RecordVerdict, ACleanTakeNamesThePlayerThatIsInstalled) {
    struct Case {
        std::string path;
        std::optional<std::string> player;
        std::string line;
    } cases[] = {
        {"/tmp/take.wav", "pw-play",
         "PASS: realtime path is clean. Listen with: pw-play '/tmp/take.wav'"},
        // Quoted for the shell, whatever the name holds.
        {"/tmp/it's a take.wav", "paplay",
         "PASS: realtime path is clean. Listen with: paplay '/tmp/it'\\''s a take.wav'"},
        {"/tmp/take.wav", std::nullopt,
         "PASS: realtime path is clean. Listen with any audio player: /tmp/take.wav"},
    };
    for (const Case& c : cases) {
        const auto verdict = RecordCommand::judge(cleanTenSeconds(), c.path, c.player);
        EXPECT_EQ(verdict.status, 0);
        EXPECT_EQ(verdict.lines.back(), c.line);
    }
}

TEST(RecordVerdict, ATakeWithoutAudioHasNoDrift) {
    RecordCommand::Outcome outcome;
    const auto verdict = RecordCommand::judge(outcome, "x.wav", "paplay");
    EXPECT_EQ(verdict.status, 0);
    EXPECT_NE(std::find(verdict.lines.begin(), verdict.lines.end(),
                        "difference:        +0.0ms (+0.00ms per second)"),
              verdict.lines.end());
}

// ---------------------------------------------------------------------------
// The arrival envelope

constexpr double kRate = 48000;
constexpr std::int64_t kDelivery = 480;  // frames, every 10 ms

// The same pseudo-random numbers on every machine: uniform in [0, 1).
struct Dice {
    std::uint32_t state;
    double next() {
        state = state * 1664525u + 1013904223u;
        return static_cast<double>(state >> 8) / 16777216.0;
    }
};

// A synthesised take: deliveries of 480 frames made every 10 ms by a capture clock
// running `clockRatio` times as fast as the wall clock, each taken `lateness` seconds
// after it was made (never before the one before it), none taken when `lost`.
struct Take {
    double seconds = 10;
    double clockRatio = 1.0;
    std::function<double(double madeAt, double seconds, Dice&)> lateness =
        [](double, double, Dice&) { return 0.0; };
    std::function<bool(int delivery)> lost = [](int) { return false; };

    struct Result {
        RecordCommand::ArrivalEnvelope envelope{kRate, 1 << 18};
        std::int64_t frames = 0;  // taken
    };

    Result play(std::size_t capacity = 1 << 18, std::uint32_t seed = 7) const {
        Result result{RecordCommand::ArrivalEnvelope(kRate, capacity), 0};
        Dice dice{seed};
        const double wallBase = 1000.0;  // a wall clock that has run a while
        double takenAt = 0;
        const auto deliveries = static_cast<int>(seconds * 100);
        for (int k = 0; k < deliveries; ++k) {
            const double madeAt = wallBase + 0.01 * (k + 1) / clockRatio;
            if (lost(k)) {
                continue;
            }
            takenAt = std::max(takenAt, madeAt + lateness(madeAt - wallBase, seconds, dice));
            result.frames += kDelivery;
            result.envelope.observe(takenAt, result.frames);
        }
        return result;
    }

    // Drift in ms per second as the verdict reports it, and the verdict's status.
    std::pair<double, int> judge(std::size_t capacity = 1 << 18) const {
        const Result result = play(capacity);
        RecordCommand::Outcome outcome;
        outcome.wallSeconds = result.envelope.wallSeconds(result.frames);
        outcome.framesWritten = result.frames;
        outcome.capturedFrames = result.frames;
        const double drift = (static_cast<double>(result.frames) / kRate - outcome.wallSeconds) *
                             1000 / outcome.wallSeconds;
        return {drift, RecordCommand::judge(outcome, "x.wav", "paplay").status};
    }
};

// How a busy machine delays deliveries: a few milliseconds of wake-up delay on every one,
// now and then a stall of tens of milliseconds that the next deliveries catch up on.
double busyMachine(double, double, Dice& dice) {
    const double wake = 0.005 * dice.next();
    return dice.next() < 0.02 ? wake + 0.02 + 0.13 * dice.next() : wake;
}

struct LateCase {
    const char* name;
    std::function<double(double madeAt, double seconds, Dice&)> lateness;
};

class RecordArrivalsUnderLoad : public testing::TestWithParam<LateCase> {};

// However late deliveries come, as long as they come, nothing is missing.
TEST_P(RecordArrivalsUnderLoad, LateDeliveriesPassAsClean) {
    for (const double seconds : {5.0, 60.0}) {
        SCOPED_TRACE(seconds);
        Take take;
        take.seconds = seconds;
        take.lateness = GetParam().lateness;
        const auto [drift, status] = take.judge();
        EXPECT_LT(std::abs(drift), 0.05);
        EXPECT_EQ(status, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lateness, RecordArrivalsUnderLoad,
    testing::Values(LateCase{"busyMachine", busyMachine},
                    // The few deliveries at either end that once placed the take against the wall
                    // clock all late: by 8 ms at the start, 30 ms at the end.
                    // The few deliveries at either end that once placed the take against the wall
                    // clock all late: by 8 ms at the start, 30 ms at the end.
                    LateCase{"lateAtBothEnds",
                             [](double madeAt, double seconds, Dice& dice) {
                                 const double late = madeAt < 0.2             ? 0.008
                                                     : madeAt > seconds - 0.3 ? 0.03
                                                                              : 0;
                                 return busyMachine(madeAt, seconds, dice) + late;
                             }},
                    // A stream that starts late and settles over its first one and a half seconds.
                    LateCase{"settling",
                             [](double madeAt, double seconds, Dice& dice) {
                                 return busyMachine(madeAt, seconds, dice) +
                                        std::max(0.0, 0.008 * (1 - madeAt / 1.5));
                             }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RecordArrivals, LostBuffersFail) {
    struct Case {
        const char* name;
        std::function<bool(int)> lost;
        double atMost;  // ms per second
    } cases[] = {
        {"one delivery in fifty", [](int k) { return k % 50 == 49; }, -15},
        {"three in a row every two seconds", [](int k) { return k % 200 >= 197; }, -10},
        {"a tenth of a second early on", [](int k) { return k >= 200 && k < 210; }, -5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Take take;
        take.lateness = busyMachine;
        take.lost = c.lost;
        const auto [drift, status] = take.judge();
        EXPECT_LT(drift, c.atMost);
        EXPECT_EQ(status, 1);
    }
}

TEST(RecordArrivals, AClockThatRunsSlowOrFastShowsItsRate) {
    struct Case {
        double clockRatio;
        double drift;  // ms per second
        int status;
    } cases[] = {{1.0005, 0.5, 0}, {0.9995, -0.5, 0}, {1.002, 2.0, 1}, {0.998, -2.0, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.clockRatio);
        Take take;
        take.clockRatio = c.clockRatio;
        take.lateness = busyMachine;
        const auto [drift, status] = take.judge();
        EXPECT_NEAR(drift, c.drift, 0.05);
        EXPECT_EQ(status, c.status);
    }
}

// An hour of take must not need an hour of memory: merged observations keep the
// envelope, so the estimate is the same with little room.
TEST(RecordArrivals, ALongTakeInLittleRoomKeepsItsEstimate) {
    Take take;
    take.seconds = 600;
    take.lateness = busyMachine;
    take.clockRatio = 1.0003;
    const auto roomy = take.play();
    const auto cramped = take.play(64);
    ASSERT_TRUE(roomy.envelope.rise().has_value());
    ASSERT_TRUE(cramped.envelope.rise().has_value());
    EXPECT_NEAR(*cramped.envelope.rise(), *roomy.envelope.rise(), 2e-6);
    EXPECT_NEAR(cramped.envelope.span(), roomy.envelope.span(), 1e-9);
    take.lost = [](int k) { return k % 100 == 0; };
    EXPECT_GT(*take.play(64).envelope.rise(), 0.005);
}

TEST(RecordArrivals, NoRiseBeforeTwoMoments) {
    RecordCommand::ArrivalEnvelope envelope(kRate, 16);
    EXPECT_FALSE(envelope.rise().has_value());
    EXPECT_EQ(envelope.wallSeconds(0), 0.0);
    envelope.observe(5.0, 480);
    envelope.observe(5.0, 960);
    EXPECT_FALSE(envelope.rise().has_value());
    EXPECT_EQ(envelope.span(), 0.0);
    EXPECT_EQ(envelope.wallSeconds(960), 0.02);
    envelope.observe(5.01, 1440);
    EXPECT_NEAR(envelope.rise().value_or(1), 0.0, 1e-9);
}

TEST(RecordRow, PrintsLevelsFramesAndCounters) {
    CapturePipeline::Stats stats;
    stats.peak = {0.5f};
    stats.ringDepth = 4;
    stats.ringOverruns = 1;
    stats.discontinuities = 2;
    EXPECT_EQ(RecordCommand::row(3.02, stats, 144000),
              "     3s     -6.0 dBFS L    -60.0 dBFS R  144000 frames  ring  4  overrun 1  "
              "discont 2");
}

}  // namespace
}  // namespace zoranth
