#include "host/host_log.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using zoranth::HostLog;

// The log's path and file handle are process-wide and fixed on first use, so each
// scenario runs in a child process with its own XDG_STATE_HOME.
int inChild(const fs::path& stateHome, const std::function<void()>& body) {
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        setenv("XDG_STATE_HOME", stateHome.c_str(), 1);
        body();
        std::fflush(stdout);
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct HostLogFile : ::testing::Test {
    fs::path stateHome = fs::temp_directory_path() /
                         ("zoranth-log-" + std::to_string(getpid()) + "-" +
                          ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::path logFile = stateHome / "zoranth" / "host.log";
    void SetUp() override { fs::remove_all(stateHome); }
    void TearDown() override { fs::remove_all(stateHome); }

    std::string contents() const {
        std::ifstream in(logFile);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
};

TEST_F(HostLogFile, FirstLineCreatesTheFolderAndLaterRunsAppend) {
    ASSERT_EQ(inChild(stateHome, [] { HostLog::line("serve: first run"); }), 0);
    ASSERT_EQ(inChild(stateHome, [] { HostLog::line("serve: second run"); }), 0);

    const std::string text = contents();
    const std::regex stamped(
        R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}  serve: first run\n)"
        R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}  serve: second run\n)");
    EXPECT_TRUE(std::regex_match(text, stamped)) << text;
}

TEST_F(HostLogFile, SwitchedOffItPrintsButCreatesNoFile) {
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(inChild(stateHome,
                      [] {
                          HostLog::setWritesFile(false);
                          HostLog::line("beats only on the terminal");
                      }),
              0);
    // The child's stdout is a copy of ours, so its line is captured here too.
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "beats only on the terminal\n");
    EXPECT_FALSE(fs::exists(logFile));
    EXPECT_FALSE(fs::exists(logFile.parent_path()));
}

TEST_F(HostLogFile, AnUnwritableFolderLeavesOnlyStandardOutput) {
    fs::create_directories(stateHome);
    std::ofstream(stateHome / "zoranth") << "a file where the folder should be";
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(inChild(stateHome, [] { HostLog::line("still printed"); }), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "still printed\n");
}

TEST(HostLogPath, FollowsTheStateHomeRule) {
    struct Case {
        const char* xdg;
        const char* home;
        const char* expected;
    };
    const Case cases[] = {
        {"/var/state", "/home/dj", "/var/state/zoranth/host.log"},
        {nullptr, "/home/dj", "/home/dj/.local/state/zoranth/host.log"},
        {"", "/home/dj", "/home/dj/.local/state/zoranth/host.log"},
        {"relative/state", "/home/dj", "/home/dj/.local/state/zoranth/host.log"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(HostLog::pathFor(c.xdg, c.home), c.expected) << (c.xdg ? c.xdg : "(unset)");
    }
}

}  // namespace
