// Launches of the real executable in private runtime, config and state folders: drawing
// offscreen, the second brings the first one's window forward and exits 0; on the test
// services' display, a signal ends a live rave cleanly and quits without asking.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/pulse_test_server.h"
#include "support/test_guest.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Generous: a sanitizer build starts Qt and compiles QML slowly.
constexpr auto startTimeout = 60s;

// One launch of zoranth-host without a mode: the window.
class Launch {
  public:
    explicit Launch(const std::vector<std::string>& environment) {
        // The overrides replace inherited values: the first of two same names would win.
        std::vector<std::string> variables = environment;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            const std::string inherited = *entry;
            const auto name = inherited.substr(0, inherited.find('=') + 1);
            bool overridden = false;
            for (const auto& variable : environment) {
                overridden = overridden || variable.starts_with(name);
            }
            if (!overridden) {
                variables.push_back(inherited);
            }
        }
        std::vector<char*> envp;
        for (auto& variable : variables) {
            envp.push_back(variable.data());
        }
        envp.push_back(nullptr);
        std::string program = ZORANTH_HOST_EXE;
        char* argv[] = {program.data(), nullptr};

        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
        if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, envp.data()) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(ends[1]);
        output_ = ends[0];
    }

    ~Launch() {
        if (pid_ > 0 && !status_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (output_ >= 0) {
            close(output_);
        }
    }

    bool started() const { return pid_ > 0; }
    const std::string& output() const { return text_; }

    // Reads the output until it holds `text` or the time is up.
    bool says(const std::string& text, std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        while (text_.find(text) == std::string::npos) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0 || output_ < 0) {
                return false;
            }
            pollfd ready{output_, POLLIN, 0};
            if (poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
                return false;
            }
            char buffer[1024];
            const ssize_t n = read(output_, buffer, sizeof buffer);
            if (n <= 0) {
                return text_.find(text) != std::string::npos;
            }
            text_.append(buffer, static_cast<std::size_t>(n));
        }
        return true;
    }

    // The exit status once the launch has ended by itself; none if it still runs then.
    std::optional<int> exitStatus(std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        while (!status_) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            if (Clock::now() > deadline) {
                break;
            }
            std::this_thread::sleep_for(20ms);
        }
        return status_;
    }

    void signal(int number) const { kill(pid_, number); }
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
    int output_ = -1;
    std::string text_;
    std::optional<int> status_;
};

class SecondLaunch : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/zoranth-app-itest-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        const std::string runtime = root_ + "/run";
        ASSERT_EQ(mkdir(runtime.c_str(), 0700), 0);
        environment_ = {"QT_QPA_PLATFORM=offscreen", "XDG_RUNTIME_DIR=" + runtime,
                        "XDG_CONFIG_HOME=" + root_ + "/config",
                        "XDG_STATE_HOME=" + root_ + "/state"};
    }

    void TearDown() override { std::filesystem::remove_all(root_); }

    std::string root_;
    std::vector<std::string> environment_;
};

const std::string windowOpen = "app: window open";

TEST(WindowLaunch, WithoutADisplayItSaysSoAndExitsOneInsteadOfAborting) {
    Launch launch({"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="});
    ASSERT_TRUE(launch.started());
    EXPECT_EQ(launch.exitStatus(20s), 1) << launch.output();
    EXPECT_TRUE(launch.says("there is no display to open the window on", 1s)) << launch.output();
}

TEST_F(SecondLaunch, BringsTheFirstWindowForwardAndExitsZero) {
    Launch first(environment_);
    ASSERT_TRUE(first.started());
    ASSERT_TRUE(first.says(windowOpen, startTimeout)) << first.output();

    Launch second(environment_);
    ASSERT_TRUE(second.started());
    EXPECT_EQ(second.exitStatus(startTimeout), 0);
    EXPECT_TRUE(second.says("app: already running", 1s)) << second.output();
    EXPECT_EQ(second.output().find(windowOpen), std::string::npos) << second.output();

    EXPECT_TRUE(first.says("app: another launch brought the window forward", 10s))
        << first.output();
    EXPECT_EQ(first.exitStatus(0ms), std::nullopt) << "the first launch keeps running";

    // Quitting by signal goes through the event loop and ends cleanly.
    first.signal(SIGTERM);
    EXPECT_EQ(first.exitStatus(20s), 0);
}

TEST_F(SecondLaunch, AfterTheFirstCrashedTheNextLaunchOpensItsOwnWindow) {
    {
        Launch crashed(environment_);
        ASSERT_TRUE(crashed.says(windowOpen, startTimeout)) << crashed.output();
        crashed.signal(SIGKILL);
        ASSERT_TRUE(crashed.exitStatus(10s).has_value());
    }
    Launch next(environment_);
    ASSERT_TRUE(next.says(windowOpen, startTimeout)) << next.output();
    next.signal(SIGTERM);
    EXPECT_EQ(next.exitStatus(20s), 0);
}

// The real window on the test services' display, started by a key press and muted by a
// click as a person would, over the test sound server, with a loopback guest.
class SignalledWindow : public SecondLaunch {
  protected:
    void SetUp() override {
        ZORANTH_SKIP_WITHOUT_PULSE();
        if (std::getenv("DISPLAY") == nullptr ||
            std::system("command -v xdotool >/dev/null") != 0) {
            GTEST_SKIP() << "needs the test services' display and xdotool";
        }
        SecondLaunch::SetUp();
        environment_[0] = "QT_QPA_PLATFORM=xcb";
        environment_.push_back("ZORANTH_LISTEN_ADDRESS=127.0.0.1");
        setSinkMuted(false);
    }
    void TearDown() override {
        if (!root_.empty()) {
            setSinkMuted(false);
            SecondLaunch::TearDown();
        }
    }

    static void setSinkMuted(bool muted) {
        zoranth::pulseShell(std::string("pactl set-sink-mute ") + zoranth::pulseTestSink +
                            (muted ? " 1" : " 0"));
    }
    static bool sinkMuted() {
        const auto said =
            zoranth::pulseShell(std::string("pactl get-sink-mute ") + zoranth::pulseTestSink);
        return said && said->find("yes") != std::string::npos;
    }
    // xdotool's answer, or nothing when it failed.
    static std::optional<std::string> xdotool(const std::string& arguments) {
        return zoranth::pulseShell("xdotool " + arguments);
    }

    // The main window of `pid` once it is mapped. A search fails outright (X's BadWindow)
    // when a window it walks past goes away meanwhile, as windows do while the program
    // lays itself out: it is asked again, for at most 10 s.
    static std::optional<std::string> mainWindowOf(pid_t pid) {
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        do {
            const auto found = xdotool("search --onlyvisible --pid " + std::to_string(pid) +
                                       " --name '^Zoranth Host$'");
            if (found && !found->empty()) {
                return found->substr(0, found->find('\n'));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        } while (Clock::now() < deadline);
        return std::nullopt;
    }

    // The TCP port the process listens on for guests, once it does; 0 until then.
    static std::uint16_t listeningPort(pid_t pid, std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        const std::string owner = "pid=" + std::to_string(pid) + ",";
        while (Clock::now() < deadline) {
            const auto sockets = zoranth::pulseShell("ss -ltnpH");
            std::size_t line = 0;
            while (sockets && line < sockets->size()) {
                const std::size_t end = std::min(sockets->find('\n', line), sockets->size());
                const std::string row = sockets->substr(line, end - line);
                line = end + 1;
                if (row.find(owner) == std::string::npos) {
                    continue;
                }
                // "LISTEN 0 128 127.0.0.1:40311 0.0.0.0:* users:((…))": the local address.
                std::size_t field = 0;
                std::string local;
                for (std::size_t at = 0, n = 0; n < 4 && at < row.size(); ++n) {
                    at = row.find_first_not_of(' ', at);
                    field = row.find(' ', at);
                    local = row.substr(at, field - at);
                    at = field;
                }
                return static_cast<std::uint16_t>(std::stoi(local.substr(local.rfind(':') + 1)));
            }
            std::this_thread::sleep_for(100ms);
        }
        return 0;
    }
};

TEST_F(SignalledWindow, SigtermEndsALiveRaveCleanlyAndQuitsWithoutAsking) {
    using zoranth::Message;
    Launch window(environment_);
    ASSERT_TRUE(window.started());
    ASSERT_TRUE(window.says(windowOpen, startTimeout)) << window.output();

    const auto found = mainWindowOf(window.pid());
    ASSERT_TRUE(found) << "the main window is on the display";
    const std::string& id = *found;
    // Return is the main button's key: the rave starts.
    ASSERT_TRUE(xdotool("windowfocus --sync " + id + " key Return"));
    const std::uint16_t port = listeningPort(window.pid(), 30s);
    ASSERT_NE(port, 0) << window.output();
    auto guest = zoranth::TestGuest::connect(port);
    ASSERT_TRUE(guest) << guest.error();
    ASSERT_TRUE(guest->prove());

    ASSERT_TRUE(window.says("guest 1 joined", 10s)) << window.output();

    // "Mute the speakers", at the right end of the silence section under the join card
    // and the meters; clicked again should the window still have been laying itself out.
    bool muted = false;
    for (int attempt = 0; attempt < 5 && !muted; ++attempt) {
        ASSERT_TRUE(xdotool("mousemove --window " + id + " 590 453 click 1"));
        muted = window.says("mute via ", 2s);
    }
    ASSERT_TRUE(muted) << window.output();
    ASSERT_TRUE(sinkMuted()) << window.output();

    const auto signalled = Clock::now();
    window.signal(SIGTERM);
    EXPECT_EQ(window.exitStatus(3s), 0) << window.output();
    EXPECT_LT(Clock::now() - signalled, 3s);
    window.says("\n\n", 100ms);  // whatever it printed on the way out
    EXPECT_NE(window.output().find("app: SIGTERM received"), std::string::npos) << window.output();
    EXPECT_FALSE(sinkMuted()) << "the speakers are unmuted on the way out";

    const auto heard = guest->readUntilClosed(5s);
    ASSERT_TRUE(heard && !heard->empty());
    EXPECT_TRUE(std::holds_alternative<Message::Bye>(heard->back().payload))
        << "the guest got its goodbye";
    bool heardAudio = false;
    for (const Message& message : *heard) {
        heardAudio = heardAudio || std::holds_alternative<Message::Audio>(message.payload);
    }
    EXPECT_TRUE(heardAudio);
}

}  // namespace
