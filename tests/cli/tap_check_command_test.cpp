// The tap-check report's live rows and verdicts.
#include "cli/tap_check_command.h"

#include <gtest/gtest.h>

namespace zoranth {
namespace {

using Diagnosis = SilenceWatchdog::Diagnosis;

CapturePipeline::Stats statsWith(std::vector<float> peak, Diagnosis diagnosis) {
    CapturePipeline::Stats stats;
    stats.peak = std::move(peak);
    stats.chunksProduced = 1234;
    stats.ringDepth = 3;
    stats.ringOverruns = 2;
    stats.discontinuities = 1;
    stats.diagnosis = diagnosis;
    return stats;
}

TEST(TapCheckRow, PrintsLevelsCountersAndTheShortState) {
    struct Case {
        std::vector<float> peak;
        Diagnosis diagnosis;
        std::string row;
    } cases[] = {
        {{1.0f, 0.5f},
         Diagnosis::receivingAudio(),
         "    2.4s      0.0     -6.0     1234      3         2        1  audio"},
        // 20 log10 0.0005 is −66: clamped.
        {{0.0005f, 0.0f},
         Diagnosis::idle(2.0),
         "    2.4s    -60.0    -60.0     1234      3         2        1  idle"},
        // One channel: the right column stays at the floor.
        {{0.25f},
         Diagnosis::likelyDenied(6.0),
         "    2.4s    -12.0    -60.0     1234      3         2        1  DENIED?"},
        {{},
         Diagnosis::notCapturing(2.4),
         "    2.4s    -60.0    -60.0     1234      3         2        1  NO DATA"},
    };
    for (const auto& [peak, diagnosis, row] : cases) {
        EXPECT_EQ(TapCheckCommand::row(2.4, statsWith(peak, diagnosis)), row);
    }
}

TEST(TapCheckVerdict, TellsCaptureSilenceDenialAndADeadPathApart) {
    const auto audio = TapCheckCommand::judge(Diagnosis::receivingAudio());
    EXPECT_EQ(audio.status, 0);
    EXPECT_EQ(audio.lines, std::vector<std::string>{"verdict:           audio is being captured"});

    const auto idle = TapCheckCommand::judge(Diagnosis::idle(3.04));
    EXPECT_EQ(idle.status, 0);
    EXPECT_EQ(idle.lines,
              (std::vector<std::string>{
                  "verdict:           receiving buffers, but they are silent (3.0s)",
                  "                   Capture is working. Play something and re-run."}));

    const auto denied = TapCheckCommand::judge(Diagnosis::likelyDenied(5.5));
    EXPECT_EQ(denied.status, 2);
    ASSERT_EQ(denied.lines.size(), 4u);
    EXPECT_EQ(denied.lines[0], "verdict:           PERMISSION LIKELY DENIED");
    EXPECT_EQ(denied.lines[2], "Silent for 5.5s while this Mac was driving its output device.");
    EXPECT_EQ(denied.lines[3],
              "No audio is being captured even though this Mac is playing sound.\n\nOpen System "
              "Settings > Privacy & Security > Audio Recording and turn on Zoranth Host. Without "
              "it the rave runs but every guest hears silence. Then press Stop and Start again.");

    const auto dead = TapCheckCommand::judge(Diagnosis::notCapturing(1.5));
    EXPECT_EQ(dead.status, 2);
    ASSERT_EQ(dead.lines.size(), 4u);
    EXPECT_EQ(dead.lines[0], "verdict:           NOT CAPTURING");
    EXPECT_EQ(dead.lines[2],
              "The tap started and reported a valid format, but delivered zero buffers in 1.5s. "
              "The IOProc runs on the device clock whether or not audio is playing, so this is "
              "never normal -- it is not silence, it is a dead capture path.");
    EXPECT_TRUE(dead.lines[3].starts_with(
        "Zoranth is not receiving any audio from this Mac.\n\nThe capture stream started but "
        "has delivered nothing, which almost always means system audio recording access is "
        "turned off.\n\nOpen System Settings"));
}

}  // namespace
}  // namespace zoranth
