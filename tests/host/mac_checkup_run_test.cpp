// The checkup's command runner against real child processes: what it returns for each
// way a program can end, and that a program outliving its timeout is ended with
// everything it started.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/checks/mac_checkup.h"

namespace zoranth {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::optional<std::string> shell(const std::string& script,
                                 std::chrono::milliseconds timeout = 5s) {
    return MacCheckup::run("/bin/sh", {"-c", script}, timeout);
}

TEST(CheckupRun, ReturnsWhatAnExitedProgramPrinted) {
    const struct {
        const char* why;
        std::optional<std::string> result;
        std::optional<std::string> expected;
    } cases[] = {
        {"arguments reach it verbatim, no shell in between",
         MacCheckup::run("/usr/bin/printf", {"[%s]", "a b", "'q'", "$HOME", ""}, 5s),
         "[a b]['q'][$HOME][]"},
        {"a failing status still gives its output, without standard error",
         shell("echo out; echo err >&2; exit 3"), "out\n"},
        {"standard input is empty, not inherited", shell("cat; echo done"), "done\n"},
        {"silence is an empty answer", shell("exit 0"), ""},
        {"an end by a signal gives nothing", shell("echo partial; kill -KILL $$"), std::nullopt},
        {"a missing program gives nothing", MacCheckup::run("/nonexistent/zoranth/tool", {}, 5s),
         std::nullopt},
        {"a file that is not a program gives nothing", MacCheckup::run("/etc/hostname", {}, 5s),
         std::nullopt},
    };
    for (const auto& row : cases) {
        EXPECT_EQ(row.result, row.expected) << row.why;
    }
}

TEST(CheckupRun, ReadsALargeOutputWhole) {
    const auto output = shell("head -c 1000000 /dev/zero | tr '\\0' x");
    ASSERT_TRUE(output.has_value());
    EXPECT_EQ(output->size(), 1000000u);
}

TEST(CheckupRun, ChattyStandardErrorDoesNotStallIt) {
    const auto output = shell("head -c 1000000 /dev/zero >&2; echo finished", 3s);
    EXPECT_EQ(output, "finished\n");
}

bool goneOrZombie(pid_t pid) {
    if (::kill(pid, 0) != 0) {
        return true;
    }
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string pidField, name, state;
    stat >> pidField >> name >> state;
    return state == "Z";
}

bool endsSoon(pid_t pid) {
    const auto giveUp = Clock::now() + 3s;
    while (Clock::now() < giveUp) {
        if (goneOrZombie(pid)) {
            return true;
        }
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

class CheckupRunTimeout : public ::testing::Test {
  protected:
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove(pidFile_, ignored);
    }
    // The process id the script wrote, once it is there.
    pid_t writtenPid() const {
        pid_t pid = -1;
        std::ifstream(pidFile_) >> pid;
        return pid;
    }
    const std::string pidFile_ = "/tmp/zoranth-run-" + std::to_string(::getpid()) + "-" +
                                 ::testing::UnitTest::GetInstance()->current_test_info()->name();
};

TEST_F(CheckupRunTimeout, EndsAProgramThatOutlivesItAndEverythingItStarted) {
    const auto started = Clock::now();
    const auto output = shell("echo partial; sleep 30 & echo $! > " + pidFile_ + "; wait", 300ms);
    const auto took = Clock::now() - started;
    EXPECT_EQ(output, std::nullopt);
    EXPECT_GE(took, 300ms);
    EXPECT_LT(took, 3s);
    const pid_t sleeper = writtenPid();
    ASSERT_GT(sleeper, 0);
    EXPECT_TRUE(endsSoon(sleeper)) << "the program's own child outlived the timeout";
}

TEST_F(CheckupRunTimeout, KillsAProgramThatIgnoresTheRequestToEnd) {
    const auto started = Clock::now();
    const auto output =
        shell("trap '' TERM; echo $$ > " + pidFile_ + "; while :; do sleep 0.05; done", 200ms);
    EXPECT_EQ(output, std::nullopt);
    EXPECT_LT(Clock::now() - started, 4s);
    const pid_t stubborn = writtenPid();
    ASSERT_GT(stubborn, 0);
    EXPECT_TRUE(endsSoon(stubborn));
}

TEST_F(CheckupRunTimeout, EndsAProgramThatClosedItsOutputButRunsOn) {
    const auto started = Clock::now();
    const auto output = shell("echo $$ > " + pidFile_ + "; exec >&-; sleep 30", 300ms);
    EXPECT_EQ(output, std::nullopt);
    EXPECT_LT(Clock::now() - started, 3s);
    EXPECT_TRUE(endsSoon(writtenPid()));
}

}  // namespace
}  // namespace zoranth
