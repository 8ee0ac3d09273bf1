// Beats mode through the built executable: audio files written here with
// libsndfile, the built-in tracker, and the helper path with the fake helper
// placed where the host looks for its script.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "host_run.h"
#include "kit/beat_click_track.h"

namespace {

namespace fs = std::filesystem;

using zoranth::HostRun;

// Runs the host in `folder` with the environment assignments and arguments
// (shell-quoted by the caller); only standard output is captured.
HostRun runHost(const fs::path& folder, const std::string& environment,
                const std::string& arguments) {
    return zoranth::runShell("cd '" + folder.string() + "' && env XDG_STATE_HOME='" +
                             folder.string() + "/state' " + environment + " " +
                             zoranth::hostExecutable() + " " + arguments + " 2>/dev/null");
}

std::vector<std::string> linesStartingWith(const std::string& text, const std::string& prefix) {
    std::vector<std::string> found;
    for (const std::string& line : HostRun{text, 0}.lines()) {
        if (line.starts_with(prefix)) {
            found.push_back(line);
        }
    }
    return found;
}

// Writes 16-bit PCM WAV with every channel carrying the same mono signal.
void writeWav(const fs::path& path, double rate, int channels, const std::vector<float>& mono) {
    SF_INFO info{};
    info.samplerate = static_cast<int>(rate);
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
    std::vector<float> interleaved;
    for (float sample : mono) {
        interleaved.insert(interleaved.end(), static_cast<std::size_t>(channels), sample);
    }
    sf_writef_float(file, interleaved.data(), static_cast<sf_count_t>(mono.size()));
    sf_close(file);
}

std::vector<float> clickTrack(double rate, double seconds, double bpm) {
    auto pcm = zoranth::BeatClickTrack::silence(rate, seconds);
    zoranth::BeatClickTrack::addClicks(pcm, rate, 0.1, seconds, bpm);
    return pcm;
}

// The closing "# tempo …" line of the built-in tracker, taken apart.
struct TempoLine {
    double bpm = 0;
    double confidence = 0;
    int beats = 0;
};

std::optional<TempoLine> tempoLine(const HostRun& run) {
    const auto lines = run.lines();
    TempoLine tempo;
    if (lines.empty() ||
        std::sscanf(lines.back().c_str(), "# tempo %lf BPM, confidence %lf, %d beats", &tempo.bpm,
                    &tempo.confidence, &tempo.beats) != 3) {
        return std::nullopt;
    }
    return tempo;
}

class BeatsMode : public testing::Test {
  protected:
    void SetUp() override {
        folder_ = fs::temp_directory_path() /
                  ("zoranth-beats-" + std::to_string(::getpid()) + "-" +
                   testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder_);
        fs::create_directories(folder_);
    }
    void TearDown() override { fs::remove_all(folder_); }

    // Puts the fake helper where the host looks for its script: under the working folder.
    void installFakeHelper() {
        fs::create_directories(folder_ / "Tools/beat-helper");
        fs::create_symlink(fs::path(ZORANTH_SOURCE_DIR) / "tests/fixtures/fake_beat_helper.py",
                           folder_ / "Tools/beat-helper/beat_helper.py");
    }

    static bool hasPython() { return ::access("/usr/bin/python3", X_OK) == 0; }

    fs::path folder_;
};

TEST_F(BeatsMode, AFileShorterThanTheAnalysisWindowHasNoBeats) {
    writeWav(folder_ / "short.wav", 48000, 2, clickTrack(48000, 7.5, 120));
    const HostRun run = runHost(folder_, "", "--beats short.wav");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output,
              "# seconds  beatInBar  bpm  confidence\n"
              "# tempo 0.00 BPM, confidence 0.00, 0 beats\n");
}

TEST_F(BeatsMode, AFileThatCannotBeOpenedIsNamed) {
    std::FILE* text = std::fopen((folder_ / "notes.txt").c_str(), "w");
    std::fputs("not audio\n", text);
    std::fclose(text);
    for (const std::string name : {"missing.wav", "notes.txt"}) {
        const HostRun run = runHost(folder_, "", "--beats " + name);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.output, "could not open " + name + "\n");
    }
}

TEST_F(BeatsMode, FindsTheTempoAndBeatsOfAClickTrackInTheFilesOwnSeconds) {
    writeWav(folder_ / "clicks.wav", 44100, 2, clickTrack(44100, 20, 120));
    const HostRun run = runHost(folder_, "", "--beats clicks.wav");
    ASSERT_EQ(run.status, 0);
    const auto lines = run.lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines.front(), "# seconds  beatInBar  bpm  confidence");

    double bpm = 0;
    double confidence = 0;
    int count = 0;
    ASSERT_EQ(std::sscanf(lines.back().c_str(), "# tempo %lf BPM, confidence %lf, %d beats", &bpm,
                          &confidence, &count),
              3)
        << lines.back();
    EXPECT_NEAR(bpm, 120.0, 1.0);
    EXPECT_GT(confidence, 0.15);
    ASSERT_EQ(count, static_cast<int>(lines.size()) - 2);
    ASSERT_GE(count, 10);

    double previous = -1;
    for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
        double seconds = 0;
        int beatInBar = 0;
        double beatBpm = 0;
        double beatConfidence = 0;
        ASSERT_EQ(std::sscanf(lines[i].c_str(), "%lf  %d  %lf  %lf", &seconds, &beatInBar, &beatBpm,
                              &beatConfidence),
                  4)
            << lines[i];
        // The clicks sit at 0.1 s + k * 0.5 s of the file.
        EXPECT_NEAR(std::fmod(seconds - 0.1 + 0.25, 0.5), 0.25, 0.03) << lines[i];
        EXPECT_LT(seconds, 20.0);
        if (previous >= 0) {
            EXPECT_NEAR(seconds - previous, 0.5, 0.03) << lines[i];
        }
        previous = seconds;
        EXPECT_NEAR(beatBpm, 120.0, 1.0);
    }
}

TEST_F(BeatsMode, ASteadyToneHasNoTempo) {
    for (const double frequency : {220.0, 440.0, 880.0}) {
        SCOPED_TRACE(frequency);
        writeWav(folder_ / "tone.wav", 48000, 2,
                 zoranth::BeatClickTrack::tone(48000, 20, frequency, 0.5));
        const HostRun run = runHost(folder_, "", "--beats tone.wav");
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.output,
                  "# seconds  beatInBar  bpm  confidence\n"
                  "# tempo 0.00 BPM, confidence 0.00, 0 beats\n");
    }
}

TEST_F(BeatsMode, ADrumPatternKeepsItsTempo) {
    auto pcm = zoranth::BeatClickTrack::silence(44100, 20);
    const auto beatTimes = zoranth::BeatClickTrack::addDrums(pcm, 44100, 0.1, 20, 128);
    writeWav(folder_ / "drums.wav", 44100, 2, pcm);
    const HostRun run = runHost(folder_, "", "--beats drums.wav");
    ASSERT_EQ(run.status, 0);

    const auto tempo = tempoLine(run);
    ASSERT_TRUE(tempo.has_value()) << run.output;
    EXPECT_NEAR(tempo->bpm, 128.0, 1.3);
    EXPECT_GT(tempo->confidence, 0.3);
    EXPECT_GE(tempo->beats, 10);
    const auto lines = run.lines();
    ASSERT_EQ(static_cast<int>(lines.size()), tempo->beats + 2);
    for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
        double seconds = 0;
        ASSERT_EQ(std::sscanf(lines[i].c_str(), "%lf", &seconds), 1) << lines[i];
        double nearest = 1e9;
        for (double beat : beatTimes) nearest = std::min(nearest, std::abs(seconds - beat));
        EXPECT_LT(nearest, 0.02) << lines[i];
    }
}

TEST_F(BeatsMode, TheHelperVariantNeedsAFileAndAHelper) {
    writeWav(folder_ / "clip.wav", 48000, 1, clickTrack(48000, 1, 120));
    installFakeHelper();
    struct Case {
        std::string environment;
        std::string arguments;
    };
    const Case cases[] = {
        {"ZORANTH_BEAT_PYTHON=/nonexistent/python3", "--beats clip.wav --helper"},
        {"ZORANTH_BEAT_PYTHON=/usr/bin/python3", "--helper --beats missing.wav"},
        // "--helper" right after "--beats" is taken for the file.
        {"ZORANTH_BEAT_PYTHON=/usr/bin/python3", "--beats --helper"},
    };
    for (const Case& c : cases) {
        const HostRun run = runHost(folder_, c.environment, c.arguments);
        EXPECT_EQ(run.status, 1) << c.arguments;
        EXPECT_EQ(run.output, "no file or no helper\n") << c.arguments;
    }
}

TEST_F(BeatsMode, TheHelperVariantPrintsTheBeatsAndCuesTheHelperSends) {
    if (!hasPython()) {
        GTEST_SKIP() << "needs /usr/bin/python3";
    }
    writeWav(folder_ / "clip.wav", 48000, 2, clickTrack(48000, 2, 120));  // 100 blocks
    installFakeHelper();
    const HostRun run =
        runHost(folder_, "ZORANTH_BEAT_PYTHON=/usr/bin/python3", "--beats clip.wav --helper");
    ASSERT_EQ(run.status, 0) << run.output;

    std::vector<std::string> expected;
    for (int i = 0; i < 100; ++i) {
        char line[64];
        const int slot = i % 4;
        std::snprintf(line, sizeof line, "B %.3f %d %d 120.00 200", i * 0.02, slot == 0 ? 1 : 0,
                      slot + 1);
        expected.emplace_back(line);
        if (slot == 0) {
            std::snprintf(line, sizeof line, "%.3f", i * 0.02);
            expected.push_back("C " + std::string(line) + " chord Dm");
            expected.push_back("C " + std::string(line) + " energy 9");
        }
    }
    std::vector<std::string> printed;
    for (const std::string& line : run.lines()) {
        if (line.starts_with("B ") || line.starts_with("C ")) {
            printed.push_back(line);
        }
    }
    EXPECT_EQ(printed, expected);
    EXPECT_EQ(linesStartingWith(run.output, "# "),
              (std::vector<std::string>{"# 100 beats, 25 downbeats, 0 chunks dropped"}));
    EXPECT_EQ(linesStartingWith(run.output, "beat helper: started (beat_helper.py, pid ").size(),
              1u);
    EXPECT_EQ(linesStartingWith(run.output, "cue: chord Dm").size(), 25u);
    EXPECT_TRUE(linesStartingWith(run.output, "beat helper: exited").empty()) << run.output;
}

TEST_F(BeatsMode, AHelperThatExitsMidwayStillGivesASummary) {
    if (!hasPython()) {
        GTEST_SKIP() << "needs /usr/bin/python3";
    }
    writeWav(folder_ / "clip.wav", 48000, 1, clickTrack(48000, 1, 120));
    installFakeHelper();
    const HostRun run =
        runHost(folder_, "ZORANTH_BEAT_PYTHON=/usr/bin/python3 FAKE_BEAT_EXIT_AFTER=10",
                "--beats clip.wav --helper");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(
        linesStartingWith(run.output, "beat helper: exited (3); using the built-in tracker").size(),
        1u)
        << run.output;
    EXPECT_EQ(linesStartingWith(run.output, "B ").size(), 10u);
    EXPECT_EQ(linesStartingWith(run.output, "# "),
              (std::vector<std::string>{"# 10 beats, 3 downbeats, 0 chunks dropped"}));
}

}  // namespace
