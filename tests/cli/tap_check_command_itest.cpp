// Tap-check mode end to end: the built executable against the test sound server.
#include <gtest/gtest.h>

#include <regex>

#include "host_run.h"

namespace zoranth {
namespace {

const std::regex liveRow(
    R"(^ +\d+\.\ds +-?\d+\.\d +-?\d+\.\d +\d+ +\d+ +\d+ +\d+  (idle|NO DATA|SILENT\?|audio)$)");

std::vector<std::string> rows(const HostRun& run) {
    std::vector<std::string> result;
    for (const auto& line : run.lines()) {
        if (std::regex_match(line, liveRow)) {
            result.push_back(line);
        }
    }
    return result;
}

TEST(TapCheckMode, APlayingToneIsCaptured) {
    ZORANTH_SKIP_WITHOUT_PULSE();
    LowLatencyTone tone(440, 30);
    ASSERT_TRUE(tone.playing());
    ScratchFolder state;
    const HostRun run = runHost(state.path(), "--tapcheck --seconds 3");

    EXPECT_EQ(run.status, 0) << run.output;
    const auto lines = run.lines();
    ASSERT_GE(lines.size(), 5u) << run.output;
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 2),
              (std::vector<std::string>{"", "=== tapcheck ==="}));
    // The test server is PulseAudio itself.
    EXPECT_TRUE(lines[2].starts_with("sound server: PulseAudio 1")) << lines[2];
    EXPECT_EQ(lines[3], "clock: CLOCK_MONOTONIC, nanoseconds");
    EXPECT_TRUE(lines[4].starts_with("default output device: ")) << lines[4];
    EXPECT_TRUE(lines[4].ends_with(", running=true")) << lines[4];
    EXPECT_TRUE(run.hasLine("tap format: 48000 Hz, 2 ch, Float32, interleaved"));
    EXPECT_TRUE(
        run.hasLine("capture fragment: 480 frames (10.0 ms) \u2014 note this is NOT "
                    "the 960-frame wire chunk"));
    EXPECT_TRUE(run.hasLine("capturing for 3s \u2014 play something to see levels move"));
    EXPECT_TRUE(run.hasLine("   time   L dBFS   R dBFS   chunks   ring   overrun  discont  state"));

    const auto live = rows(run);
    ASSERT_GE(live.size(), 10u) << run.output;
    // Half-scale sine: −6 dBFS on both channels.
    EXPECT_TRUE(live.back().find("     -6.0     -6.0 ") != std::string::npos) << live.back();
    EXPECT_TRUE(live.back().ends_with("  audio")) << live.back();

    EXPECT_TRUE(run.hasLine("=== tapcheck summary ==="));
    EXPECT_TRUE(run.hasLine("ring overruns:     0  (good)")) << run.output;
    EXPECT_TRUE(run.hasLine("verdict:           audio is being captured")) << run.output;
    // The host log file gets the same lines.
    EXPECT_TRUE(std::filesystem::exists(state.path() / "zoranth" / "host.log"));
}

TEST(TapCheckMode, SilenceIsCapturedAndSaidToBeSilence) {
    ZORANTH_SKIP_WITHOUT_PULSE();
    ScratchFolder state;
    const HostRun run = runHost(state.path(), "--tapcheck --seconds 1");

    EXPECT_EQ(run.status, 0) << run.output;
    const auto lines = run.lines();
    ASSERT_GE(lines.size(), 5u) << run.output;
    EXPECT_TRUE(lines[4].ends_with(", running=false")) << lines[4];
    const std::regex silentVerdict(
        R"(^verdict:           receiving buffers, but they are silent \(\d+\.\ds\)$)");
    EXPECT_TRUE(std::regex_match(lines[lines.size() - 2], silentVerdict)) << run.output;
    EXPECT_EQ(lines.back(), "                   Capture is working. Play something and re-run.");
    for (const auto& row : rows(run)) {
        EXPECT_TRUE(row.find("    -60.0    -60.0 ") != std::string::npos) << row;
    }
}

TEST(TapCheckMode, ZeroSecondsPrintsTheHeaderAndGoesStraightToTheSummary) {
    ZORANTH_SKIP_WITHOUT_PULSE();
    ScratchFolder state;
    const HostRun run = runHost(state.path(), "--tapcheck --seconds 0");

    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(rows(run).empty()) << run.output;
    const std::string header =
        "   time   L dBFS   R dBFS   chunks   ring   overrun  discont  state\n";
    EXPECT_NE(run.output.find(header + "\n=== tapcheck summary ===\n"), std::string::npos)
        << run.output;
    const std::regex captured(R"(\naudio captured:    \d+\.\d{3}s of 0\.000s wall clock\n)");
    EXPECT_TRUE(std::regex_search(run.output, captured)) << run.output;
}

TEST(TapCheckMode, WithoutASoundServerCaptureFailsWithTheServerHint) {
    ScratchFolder state;
    const HostRun run =
        runHost(state.path(), "--tapcheck --seconds 3", "PULSE_SERVER=unix:/nonexistent");

    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_TRUE(run.hasLine("default output device: 0, running=false")) << run.output;
    EXPECT_TRUE(
        run.hasLine("sound server: none reachable (pa_context_connect: Connection refused)"))
        << run.output;
    const auto lines = run.lines();
    ASSERT_GE(lines.size(), 1u);
    EXPECT_TRUE(lines.back().starts_with("FAILED to start capture: ")) << run.output;
    EXPECT_NE(lines.back().find("no sound server is running"), std::string::npos) << lines.back();
    EXPECT_EQ(run.output.find("=== tapcheck summary ==="), std::string::npos);
}

}  // namespace
}  // namespace zoranth
