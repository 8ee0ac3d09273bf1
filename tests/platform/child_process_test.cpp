#include "platform/process/child_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/write.hpp>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using zoranth::ChildProcess;
using namespace std::chrono_literals;

// What the handlers saw, in the order they saw it.
struct Recorder {
    std::mutex lock;
    std::condition_variable changed;
    std::string output;
    std::optional<ChildProcess::Exit> exit;
    bool outputAfterExit = false;

    ChildProcess::Handlers handlers() {
        return {
            .output =
                [this](std::span<const std::uint8_t> bytes) {
                    std::lock_guard guard(lock);
                    outputAfterExit = outputAfterExit || exit.has_value();
                    output.append(bytes.begin(), bytes.end());
                    changed.notify_all();
                },
            .exit =
                [this](ChildProcess::Exit ended) {
                    std::lock_guard guard(lock);
                    exit = ended;
                    changed.notify_all();
                },
        };
    }

    bool waitForExit(std::chrono::seconds timeout = 10s) {
        std::unique_lock guard(lock);
        return changed.wait_for(guard, timeout, [&] { return exit.has_value(); });
    }

    std::string seen() {
        std::lock_guard guard(lock);
        return output;
    }
};

ChildProcess::Options command(std::string executable, std::vector<std::string> arguments = {}) {
    ChildProcess::Options options;
    options.executable = std::move(executable);
    options.arguments = std::move(arguments);
    return options;
}

ChildProcess::Options shell(std::string script) {
    return command("/bin/sh", {"-c", script});
}

std::vector<std::uint8_t> bytesOf(std::string_view text) {
    return {text.begin(), text.end()};
}

TEST(ChildProcess, DeliversAllOutputThenTheExitStatus) {
    Recorder recorder;
    auto child = ChildProcess::launch(shell("printf 'one\\n'; sleep 0.05; printf two; exit 3"),
                                      recorder.handlers());
    ASSERT_TRUE(child.has_value()) << child.error().text();
    ASSERT_TRUE(recorder.waitForExit());
    EXPECT_EQ(recorder.seen(), "one\ntwo");
    EXPECT_FALSE(recorder.outputAfterExit);
    EXPECT_EQ(*recorder.exit, (ChildProcess::Exit{ChildProcess::Exit::Case::exited, 3}));
    EXPECT_EQ(recorder.exit->text(), "exit status 3");
    EXPECT_FALSE((*child)->isRunning());
    EXPECT_EQ((*child)->exit(), recorder.exit);
}

TEST(ChildProcess, WritesReachTheChildAndClosingEndsItsInput) {
    Recorder recorder;
    auto child = ChildProcess::launch(command("/bin/cat"), recorder.handlers());
    ASSERT_TRUE(child.has_value());
    ASSERT_TRUE((*child)->write(bytesOf("hello ")).has_value());
    ASSERT_TRUE((*child)->write(bytesOf("child")).has_value());
    (*child)->closeInput();
    ASSERT_TRUE(recorder.waitForExit());
    EXPECT_EQ(recorder.seen(), "hello child");
    EXPECT_EQ(recorder.exit->kind, ChildProcess::Exit::Case::exited);
    EXPECT_EQ((*child)->write(bytesOf("late")).error(), EBADF);
}

TEST(ChildProcess, WritingToAChildThatHasGoneFailsInsteadOfKillingUs) {
    Recorder recorder;
    auto child = ChildProcess::launch(shell("exit 0"), recorder.handlers());
    ASSERT_TRUE(child.has_value());
    ASSERT_TRUE(recorder.waitForExit());
    const std::vector<std::uint8_t> block(65536, 0x55);
    EXPECT_EQ((*child)->write(block).error(), EPIPE);
}

TEST(ChildProcess, ATakenInputIsWrittenAsynchronously) {
    Recorder recorder;
    auto child = ChildProcess::launch(command("/bin/cat"), recorder.handlers());
    ASSERT_TRUE(child.has_value());
    boost::asio::io_context context;
    auto input = (*child)->takeInput(context.get_executor());
    ASSERT_TRUE(input.has_value());
    EXPECT_FALSE((*child)->takeInput(context.get_executor()).has_value());
    EXPECT_EQ((*child)->write(bytesOf("x")).error(), EBADF);

    const std::string text(200000, 'z');  // more than a pipe holds
    std::size_t written = 0;
    boost::asio::async_write(*input, boost::asio::buffer(text),
                             [&](const boost::system::error_code&, std::size_t count) {
                                 written = count;
                                 input->close();
                             });
    context.run();
    EXPECT_EQ(written, text.size());
    ASSERT_TRUE(recorder.waitForExit());
    EXPECT_EQ(recorder.seen(), text);
}

TEST(ChildProcess, AMissingExecutableIsAFailureWithItsReason) {
    auto child = ChildProcess::launch(command("/nonexistent/zoranth-tool"), {});
    ASSERT_FALSE(child.has_value());
    EXPECT_EQ(child.error().kind, ChildProcess::Failure::Case::spawnFailed);
    EXPECT_EQ(child.error().error, ENOENT);
    EXPECT_EQ(child.error().text(), "/nonexistent/zoranth-tool: No such file or directory");
}

TEST(ChildProcess, TerminateAsksFirstAndForcesAfterTheGrace) {
    struct Case {
        const char* script;
        ChildProcess::Exit expected;
    };
    const Case cases[] = {
        {"exec sleep 30", {ChildProcess::Exit::Case::signaled, SIGTERM}},
        {"trap '' TERM; exec sleep 30", {ChildProcess::Exit::Case::signaled, SIGKILL}},
    };
    for (const Case& c : cases) {
        Recorder recorder;
        auto child = ChildProcess::launch(shell(c.script), recorder.handlers());
        ASSERT_TRUE(child.has_value());
        std::this_thread::sleep_for(100ms);  // let the shell reach its trap
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ((*child)->terminate(300ms), c.expected) << c.script;
        EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
        EXPECT_FALSE((*child)->isRunning());
        ASSERT_TRUE(recorder.waitForExit());
        EXPECT_EQ(*recorder.exit, c.expected);
    }
}

TEST(ChildProcess, DestroyingARunningChildEndsIt) {
    pid_t pid = -1;
    {
        auto child = ChildProcess::launch(shell("exec sleep 30"), {});
        ASSERT_TRUE(child.has_value());
        pid = (*child)->pid();
        EXPECT_TRUE((*child)->isRunning());
    }
    EXPECT_EQ(::kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
}

TEST(ChildProcess, AnExitIsReportedWhileADescendantKeepsTheOutputOpen) {
    Recorder recorder;
    auto child = ChildProcess::launch(shell("sleep 3 & echo started"), recorder.handlers());
    ASSERT_TRUE(child.has_value());
    ASSERT_TRUE(recorder.waitForExit(2s));
    EXPECT_EQ(recorder.seen(), "started\n");
}

TEST(ChildProcess, NoHandlerRunsAfterRemoval) {
    Recorder recorder;
    auto child =
        ChildProcess::launch(shell("while :; do echo tick; sleep 0.01; done"), recorder.handlers());
    ASSERT_TRUE(child.has_value());
    std::this_thread::sleep_for(100ms);
    (*child)->removeHandlers();
    const std::string before = recorder.seen();
    EXPECT_FALSE(before.empty());
    std::this_thread::sleep_for(100ms);
    (*child)->terminate(1s);
    EXPECT_EQ(recorder.seen(), before);
    EXPECT_FALSE(recorder.exit.has_value());
}

TEST(ChildProcess, TheChildInheritsNoStrayDescriptors) {
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);  // deliberately without close-on-exec
    auto child = ChildProcess::launch(shell("exec sleep 5"), {});
    ASSERT_TRUE(child.has_value());
    ::close(ends[1]);
    // Only the child could still hold the write end open.
    pollfd readEnd{ends[0], POLLIN, 0};
    EXPECT_EQ(::poll(&readEnd, 1, 2000), 1);
    EXPECT_NE(readEnd.revents & POLLHUP, 0);
    ::close(ends[0]);
}

TEST(ChildProcess, RunCollectsTheOutputAndAppliesTheEnvironment) {
    auto probe = shell("echo \"$ZORANTH_PROBE\"; echo oops >&2; exit 2");
    probe.environment = {{"ZORANTH_PROBE", "set by the host"}};
    auto done = ChildProcess::run(probe, 5s);
    ASSERT_TRUE(done.has_value());
    EXPECT_EQ(done->output, "set by the host\n");
    EXPECT_EQ(done->exit, (ChildProcess::Exit{ChildProcess::Exit::Case::exited, 2}));
    EXPECT_FALSE(done->timedOut);

    auto both = shell("echo out; echo err >&2");
    both.error = ChildProcess::Stream::pipe;
    auto joined = ChildProcess::run(both, 5s);
    ASSERT_TRUE(joined.has_value());
    EXPECT_EQ(joined->output, "out\nerr\n");
}

TEST(ChildProcess, RunEndsAToolThatOverrunsItsTimeout) {
    const auto started = std::chrono::steady_clock::now();
    auto done = ChildProcess::run(shell("echo begun; exec sleep 30"), 200ms);
    ASSERT_TRUE(done.has_value());
    EXPECT_TRUE(done->timedOut);
    EXPECT_EQ(done->output, "begun\n");
    EXPECT_EQ(done->exit, (ChildProcess::Exit{ChildProcess::Exit::Case::signaled, SIGTERM}));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
}

}  // namespace

namespace {

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
    const auto giveUp = std::chrono::steady_clock::now() + 3s;
    while (std::chrono::steady_clock::now() < giveUp) {
        if (goneOrZombie(pid)) {
            return true;
        }
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

// A tool as the system checks run one: its own process group, standard error apart.
ChildProcess::Options tool(std::string script) {
    auto options = shell(std::move(script));
    options.error = ChildProcess::Stream::separate;
    options.ownProcessGroup = true;
    return options;
}

class ChildProcessTool : public ::testing::Test {
  protected:
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove(pidFile_, ignored);
    }
    pid_t writtenPid() const {
        pid_t pid = -1;
        std::ifstream(pidFile_) >> pid;
        return pid;
    }
    const std::string pidFile_ = "/tmp/zoranth-child-" + std::to_string(::getpid()) + "-" +
                                 ::testing::UnitTest::GetInstance()->current_test_info()->name();
};

TEST_F(ChildProcessTool, KeepsStandardErrorApartAndReadsBothWhole) {
    auto done = ChildProcess::run(
        tool("head -c 1000000 /dev/zero | tr '\\0' x; head -c 300000 /dev/zero >&2; "
             "echo 'cannot read the rules' >&2; exit 4"),
        5s);
    ASSERT_TRUE(done.has_value());
    EXPECT_EQ(done->output.size(), 1000000u);
    EXPECT_EQ(done->errors.size(), 300000u + 22u);
    EXPECT_TRUE(done->errors.ends_with("cannot read the rules\n"));
    EXPECT_EQ(done->exit, (ChildProcess::Exit{ChildProcess::Exit::Case::exited, 4}));
}

TEST_F(ChildProcessTool, ATimeoutEndsTheToolAndEverythingItStarted) {
    const auto started = std::chrono::steady_clock::now();
    auto done =
        ChildProcess::run(tool("echo partial; sleep 30 & echo $! > " + pidFile_ + "; wait"), 300ms);
    const auto took = std::chrono::steady_clock::now() - started;
    ASSERT_TRUE(done.has_value());
    EXPECT_TRUE(done->timedOut);
    EXPECT_EQ(done->output, "partial\n");
    EXPECT_GE(took, 300ms);
    EXPECT_LT(took, 3s);
    const pid_t sleeper = writtenPid();
    ASSERT_GT(sleeper, 0);
    EXPECT_TRUE(endsSoon(sleeper)) << "the tool's own child outlived the timeout";
}

TEST_F(ChildProcessTool, AToolThatIgnoresTheRequestToEndIsKilled) {
    const auto started = std::chrono::steady_clock::now();
    auto done = ChildProcess::run(
        tool("trap '' TERM; echo $$ > " + pidFile_ + "; while :; do sleep 0.05; done"), 200ms);
    ASSERT_TRUE(done.has_value());
    EXPECT_TRUE(done->timedOut);
    EXPECT_EQ(done->exit, (ChildProcess::Exit{ChildProcess::Exit::Case::signaled, SIGKILL}));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 4s);
    EXPECT_TRUE(endsSoon(writtenPid()));
}

TEST(ChildProcessRun, WithoutATimeoutWaitsAsLongAsTheToolTakes) {
    auto done = ChildProcess::run(shell("sleep 0.3; echo late"), std::nullopt);
    ASSERT_TRUE(done.has_value());
    EXPECT_FALSE(done->timedOut);
    EXPECT_EQ(done->output, "late\n");
}

}  // namespace
