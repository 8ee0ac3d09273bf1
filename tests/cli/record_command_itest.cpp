// Record mode end to end: the built executable captures a tone from the test sound server
// into a WAV file and judges its own realtime path.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <numbers>
#include <optional>
#include <regex>
#include <thread>
#include <vector>

#include "host_run.h"
#include "recording.h"

namespace zoranth {
namespace {

// "difference:        +0.4ms (+0.08ms per second)" → 0.08
std::optional<double> driftPerSecond(const HostRun& run) {
    const std::regex difference(
        R"(\ndifference: +[-+]\d+\.\dms \(([-+]\d+\.\d\d)ms per second\)\n)");
    std::smatch match;
    if (!std::regex_search(run.output, match, difference)) {
        return std::nullopt;
    }
    return std::stod(match[1]);
}

void expectACleanRecording(const HostRun& run, const std::filesystem::path& file) {
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(
        run.hasLine("PASS: realtime path is clean. Listen with: paplay '" + file.string() + "'"))
        << run.output;
    const auto drift = driftPerSecond(run);
    ASSERT_TRUE(drift) << run.output;
    EXPECT_LT(std::abs(*drift), 0.5) << run.output;
    EXPECT_TRUE(run.hasLine("ring overruns:     0")) << run.output;
    EXPECT_TRUE(run.hasLine("discontinuities:   0")) << run.output;
    EXPECT_TRUE(run.hasLine("write failures:    0")) << run.output;
}

TEST(RecordMode, ATakeOfAToneIsCleanAndHoldsTheTone) {
#ifdef __SANITIZE_THREAD__
    // ThreadSanitizer slows the capture path several times over, so a wall-clock
    // take measures the sanitizer, not the realtime path; the plain build checks it.
    GTEST_SKIP() << "wall-clock take not meaningful under ThreadSanitizer";
#endif
    ZORANTH_SKIP_WITHOUT_PULSE();
    LowLatencyTone tone(440, 30);
    ASSERT_TRUE(tone.playing());
    ScratchFolder folder;
    const auto file = folder.path() / "take.wav";
    const HostRun run = runHost(folder.path(), "--record '" + file.string() + "' --seconds 5");

    const auto lines = run.lines();
    ASSERT_GE(lines.size(), 5u) << run.output;
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 5),
              (std::vector<std::string>{"", "=== record -> " + file.string() + " ===",
                                        "starting capture (connecting to the sound server)",
                                        "tap format: 48000 Hz, 2 ch, Float32, interleaved",
                                        "capture buffer: 480 frames"}));
    const std::regex progress(
        R"(^ +\d+s +-?\d+\.\d dBFS L +-?\d+\.\d dBFS R +\d+ frames  ring +\d+  overrun \d+  discont \d+$)");
    int rows = 0;
    for (const auto& line : lines) {
        rows += std::regex_match(line, progress) ? 1 : 0;
    }
    EXPECT_EQ(rows, 5) << run.output;
    expectACleanRecording(run, file);

    const auto recording = readRecording(file);
    ASSERT_TRUE(recording);
    EXPECT_EQ(recording->info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    EXPECT_EQ(recording->info.samplerate, 48000);
    EXPECT_EQ(recording->info.channels, 2);
    EXPECT_EQ(recording->info.frames % 960, 0);
    // Five seconds, and what was captured until the capture stopped.
    const double seconds = static_cast<double>(recording->info.frames) / 48000;
    EXPECT_GE(seconds, 5.0);
    EXPECT_LE(seconds, 5.4);
    // One second from the middle of the take: the tone, at half scale.
    const std::vector<float> middle(recording->samples.begin() + 2 * 96000,
                                    recording->samples.begin() + 3 * 96000);
    EXPECT_EQ(dominantFrequency(middle, 2, 48000), 440);
    EXPECT_GT(toneShare(middle, 2, 1, 48000, 440), 0.99);
    EXPECT_NEAR(rootMeanSquare(middle), 0.5 / std::numbers::sqrt2, 0.02);
}

TEST(RecordMode, StaysCleanWhileBusyThreadsContendForTheProcessors) {
    ZORANTH_SKIP_WITHOUT_PULSE();
    LowLatencyTone tone(440, 30);
    ASSERT_TRUE(tone.playing());
    ScratchFolder folder;
    const auto file = folder.path() / "stress.wav";
    const HostRun run =
        runHost(folder.path(), "--record '" + file.string() + "' --seconds 5 --stress");

    const std::regex spinning(R"(\nstress: spinning \d+ busy threads to contend for CPU\n)");
    EXPECT_TRUE(std::regex_search(run.output, spinning)) << run.output;
    expectACleanRecording(run, file);
}

// Other processes keep every processor busy, up to a deadline: the machine compiling or
// serving while a take runs.
class BusyLoops {
  public:
    explicit BusyLoops(unsigned count, std::chrono::seconds limit) {
        const auto until = std::chrono::steady_clock::now() + limit;
        for (unsigned i = 0; i < count; ++i) {
            threads_.emplace_back([this, until] {
                while (!stop_.load(std::memory_order_relaxed) &&
                       std::chrono::steady_clock::now() < until) {
                }
            });
        }
    }
    ~BusyLoops() {
        stop_ = true;
        for (auto& thread : threads_) {
            thread.join();
        }
    }

  private:
    std::atomic<bool> stop_{false};
    std::vector<std::thread> threads_;
};

// Late deliveries are no lost frames: take after take stays clean, though no single
// delivery can be trusted to come on time. Nothing plays, as before the music starts,
// when the sound server settles a new stream's latency most slowly; then other work
// loads every processor, and then the take's own busy threads join in.
TEST(RecordMode, TakesStayCleanWhileNothingPlaysAndWhileOtherWorkLoadsTheMachine) {
#ifdef __SANITIZE_THREAD__
    GTEST_SKIP() << "wall-clock take not meaningful under ThreadSanitizer";
#endif
    ZORANTH_SKIP_WITHOUT_PULSE();
    ScratchFolder folder;
    const unsigned loops = 3 * std::max(1u, std::thread::hardware_concurrency());
    struct Case {
        const char* name;
        bool loaded;
        bool stress;
    } cases[] = {{"idle", false, false},
                 {"idle-again", false, false},
                 {"loaded", true, false},
                 {"loaded-stress", true, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<BusyLoops> busy;
        if (c.loaded) {
            busy.emplace(loops, std::chrono::seconds(30));
        }
        const auto file = folder.path() / (std::string(c.name) + ".wav");
        const HostRun run = runHost(folder.path(), "--record '" + file.string() + "' --seconds 4" +
                                                       (c.stress ? " --stress" : ""));
        expectACleanRecording(run, file);
    }
}

TEST(RecordMode, AnUnwritablePathFailsAfterCaptureStarted) {
    ZORANTH_SKIP_WITHOUT_PULSE();
    ScratchFolder folder;
    const std::string file = (folder.path() / "missing" / "take.wav").string();
    const HostRun run = runHost(folder.path(), "--record '" + file + "' --seconds 5");

    EXPECT_EQ(run.status, 1) << run.output;
    const auto lines = run.lines();
    ASSERT_GE(lines.size(), 2u) << run.output;
    EXPECT_EQ(lines[lines.size() - 2], "capture buffer: 480 frames");
    EXPECT_TRUE(lines.back().starts_with("FAILED to open " + file + ": ")) << lines.back();
    EXPECT_NE(lines.back().find("No such file or directory"), std::string::npos) << lines.back();
    EXPECT_FALSE(std::filesystem::exists(file));
}

}  // namespace
}  // namespace zoranth
