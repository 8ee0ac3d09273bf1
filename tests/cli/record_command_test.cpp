// The record mode's verdict and its progress rows.
#include "cli/record_command.h"

#include <gtest/gtest.h>

#include <algorithm>

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
    const auto verdict = RecordCommand::judge(cleanTenSeconds(), "/tmp/take.wav");
    EXPECT_EQ(verdict.status, 0);
    EXPECT_EQ(verdict.lines,
              (std::vector<std::string>{
                  "", "=== record summary ===", "wall clock:        10.000s",
                  "audio written:     10.000s (480000 frames)",
                  "difference:        +0.0ms (+0.00ms per second)", "ring overruns:     0",
                  "discontinuities:   0", "write failures:    0", "",
                  "PASS: realtime path is clean. Listen with: afplay /tmp/take.wav"}));
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
        const auto verdict = RecordCommand::judge(outcome, "x.wav");
        EXPECT_EQ(verdict.status, status) << written << " " << captured;
        if (status == 1) {
            EXPECT_EQ(failures(verdict),
                      std::vector<std::string>{
                          "FAIL: frames written diverge from wall clock by more than 1ms/s. "
                          "Buffers are being dropped \u2014 check the IOProc for allocation, "
                          "locking or logging."});
        }
    }
}

TEST(RecordVerdict, EveryFailedCheckPrintsItsLineInOrder) {
    auto outcome = cleanTenSeconds();
    outcome.ringOverruns = 2;
    outcome.discontinuities = 1;
    outcome.writeFailures = 3;
    const auto verdict = RecordCommand::judge(outcome, "x.wav");
    EXPECT_EQ(verdict.status, 1);
    // Without drift no empty line comes before the first failure.
    const std::vector<std::string> tail(verdict.lines.end() - 4, verdict.lines.end());
    EXPECT_EQ(tail, (std::vector<std::string>{
                        "write failures:    3",
                        "FAIL: the ring overran, so the sender thread could not keep up.",
                        "FAIL: timestamps jumped, so a delivery was lost.",
                        "FAIL: 3 file writes failed."}));
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
