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
         "    2.4s    -12.0    -60.0     1234      3         2        1  SILENT?"},
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

    // Digital silence from a playing program is what it is, not a refusal.
    const auto silent = TapCheckCommand::judge(Diagnosis::likelyDenied(5.5));
    EXPECT_EQ(silent.status, 2);
    EXPECT_EQ(silent.lines,
              (std::vector<std::string>{
                  "verdict:           OUTPUT RUNNING BUT SILENT", "",
                  "Silent for 5.5s while a program was playing into the output being captured.",
                  "Zoranth hears only silence although a program is playing on this computer's "
                  "output.\n\nWhat it plays is silent: the program is playing silence, or its "
                  "own volume is muted or at zero. Guests hear exactly what this computer "
                  "plays."}));
    EXPECT_EQ(TapCheckCommand::stateLabel(Diagnosis::likelyDenied(5.5)), "SILENT?");

    const auto dead = TapCheckCommand::judge(Diagnosis::notCapturing(1.5));
    EXPECT_EQ(dead.status, 2);
    EXPECT_EQ(dead.lines,
              (std::vector<std::string>{
                  "verdict:           NOT CAPTURING", "",
                  "The capture stream started and reported a valid format, but delivered zero "
                  "buffers in 1.5s. The sound server feeds a monitor stream whether or not audio "
                  "is playing, so this is never normal -- it is not silence, it is a dead capture "
                  "path.",
                  "Zoranth is not receiving any audio from this computer.\n\nThe capture stream "
                  "started but the sound server has delivered nothing, not even silence. Press "
                  "Stop and Start again."}));
}

TEST(TapCheckSoundServer, NamesPipeWireAndPulseAudioByTheirOwnWords) {
    EXPECT_EQ(TapCheckCommand::soundServerLine(PulseServerInfo{"pulseaudio", "16.1"}),
              "sound server: PulseAudio 16.1 (\"pulseaudio\" 16.1)");
    EXPECT_EQ(TapCheckCommand::soundServerLine(
                  PulseServerInfo{"PulseAudio (on PipeWire 0.3.65)", "15.0.0"}),
              "sound server: PipeWire 0.3.65 (\"PulseAudio (on PipeWire 0.3.65)\" 15.0.0)");
    EXPECT_EQ(
        TapCheckCommand::soundServerLine(std::unexpected(PulseError{6, "pa_context_connect"})),
        "sound server: none reachable (pa_context_connect: Connection refused)");
}

}  // namespace
}  // namespace zoranth
