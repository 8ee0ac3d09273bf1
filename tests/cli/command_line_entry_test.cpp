#include "cli/command_line_entry.h"

#include <gtest/gtest.h>

#include <vector>

#include "cli/serve_command.h"
#include "host/host_log.h"

namespace zoranth {
namespace {

using Args = std::vector<std::string>;

// Modes that note how they were called instead of running.
struct Recorder {
    std::string called;
    std::string path;
    double seconds = 0;
    bool stress = false;
    std::uint16_t port = 0;
    std::uint16_t delayMs = 0;
    std::optional<double> duration;
    std::string raveNameSeen;
    bool logFileOnAtCall = true;

    CommandLineEntry::Modes modes() {
        return {
            .tapCheck =
                [this](double s) {
                    called = "tapcheck";
                    seconds = s;
                    return 11;
                },
            .record =
                [this](const std::string& p, double s, bool st) {
                    called = "record";
                    path = p;
                    seconds = s;
                    stress = st;
                    return 12;
                },
            .serve =
                [this](std::uint16_t p, std::uint16_t d, std::optional<double> s) {
                    called = "serve";
                    port = p;
                    delayMs = d;
                    duration = s;
                    raveNameSeen = ServeCommand::raveName;
                    return 13;
                },
            .beats =
                [this](const std::string& p) {
                    called = "beats";
                    path = p;
                    logFileOnAtCall = HostLog::writesFile();
                    return 14;
                },
            .beatsHelper =
                [this](const std::string& p) {
                    called = "beatsHelper";
                    path = p;
                    logFileOnAtCall = HostLog::writesFile();
                    return 15;
                },
            .check =
                [this] {
                    called = "check";
                    return 16;
                },
        };
    }
};

class Dispatch : public testing::Test {
  protected:
    void TearDown() override {
        HostLog::setWritesFile(true);
        ServeCommand::raveName.clear();
    }

    std::optional<int> dispatch(const Args& arguments) {
        return CommandLineEntry::dispatch(arguments, recorder.modes());
    }

    Recorder recorder;
};

TEST_F(Dispatch, WithoutAModeTheWindowStarts) {
    EXPECT_EQ(dispatch({}), std::nullopt);
    EXPECT_EQ(dispatch({"--port", "80", "--stress", "whatever"}), std::nullopt);
    EXPECT_EQ(recorder.called, "");
}

TEST_F(Dispatch, EachModeGetsItsOptionsAndReturnsItsStatus) {
    EXPECT_EQ(dispatch({"--tapcheck", "--seconds", "3"}), 11);
    EXPECT_EQ(recorder.called, "tapcheck");
    EXPECT_EQ(recorder.seconds, 3);

    EXPECT_EQ(dispatch({"--record", "--seconds", "5"}), 12);
    EXPECT_EQ(recorder.called, "record");
    EXPECT_EQ(recorder.path, "capture.wav");
    EXPECT_EQ(recorder.seconds, 5);
    EXPECT_FALSE(recorder.stress);

    EXPECT_EQ(dispatch({"--record", "take.wav", "--stress"}), 12);
    EXPECT_EQ(recorder.path, "take.wav");
    EXPECT_EQ(recorder.seconds, 10);
    EXPECT_TRUE(recorder.stress);

    EXPECT_EQ(dispatch({"--serve", "--check"}), 16);
    EXPECT_EQ(recorder.called, "check");
}

TEST_F(Dispatch, ServeRunsForADurationOnlyWhenSecondsAreGiven) {
    EXPECT_EQ(dispatch({"--serve"}), 13);
    EXPECT_EQ(recorder.duration, std::nullopt);
    EXPECT_EQ(recorder.port, 0);
    EXPECT_EQ(recorder.delayMs, 1500);

    EXPECT_EQ(dispatch({"--serve", "--seconds", "30", "--port", "70000", "--delay-ms", "x"}), 13);
    EXPECT_EQ(recorder.duration, 30.0);
    EXPECT_EQ(recorder.port, 0);
    EXPECT_EQ(recorder.delayMs, 1500);

    // "--seconds" anywhere counts, even when its value did not parse.
    EXPECT_EQ(dispatch({"--seconds", "never", "--serve", "--port", "9000"}), 13);
    EXPECT_EQ(recorder.duration, 10.0);
    EXPECT_EQ(recorder.port, 9000);
}

TEST_F(Dispatch, ServeSeesTheRaveName) {
    EXPECT_EQ(dispatch({"--name", "Basement", "--serve"}), 13);
    EXPECT_EQ(recorder.raveNameSeen, "Basement");
}

TEST_F(Dispatch, BeatsSwitchesOffTheLogFileFirst) {
    EXPECT_EQ(dispatch({"--beats", "song.flac"}), 14);
    EXPECT_EQ(recorder.path, "song.flac");
    EXPECT_FALSE(recorder.logFileOnAtCall);
}

TEST_F(Dispatch, HelperAnywhereRunsTheBeatHelperVariant) {
    EXPECT_EQ(dispatch({"--beats", "--helper"}), 15);
    EXPECT_EQ(recorder.called, "beatsHelper");
    EXPECT_EQ(recorder.path, "--helper");
    EXPECT_FALSE(recorder.logFileOnAtCall);

    EXPECT_EQ(dispatch({"--helper", "--beats", "song.wav"}), 15);
    EXPECT_EQ(recorder.path, "song.wav");
}

TEST_F(Dispatch, HelpAndGoldensPrintAndSucceed) {
    for (const char* mode : {"--help", "-h", "--goldens"}) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(dispatch({mode}), 0) << mode;
        EXPECT_NE(testing::internal::GetCapturedStdout(), "") << mode;
    }
    EXPECT_EQ(recorder.called, "");
}

}  // namespace
}  // namespace zoranth
