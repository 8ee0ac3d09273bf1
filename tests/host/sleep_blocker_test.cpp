// The sleep blocker against a stand-in login manager: a private dbus-daemon with a fake
// org.freedesktop.login1 Manager whose Inhibit hands out one end of a pipe, so the test
// sees exactly how many locks were asked for and whether each is still held.
#include "host/sleep_blocker.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

extern char** environ;

namespace zoranth {
namespace {

using namespace std::chrono_literals;
using Failure = LogindInhibitor::Failure;

bool becomesTrue(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

bool acceptsConnections(const std::string& path) {
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) {
        return false;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    const bool taken =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return taken;
}

// A private session-style bus: nothing on it until a test puts something there. With
// brokenLogind the bus knows logind as activatable, but starting it fails.
class PrivateBus {
  public:
    explicit PrivateBus(bool brokenLogind = false) {
        char folder[] = "/tmp/zoranth-logind-test-XXXXXX";
        if (mkdtemp(folder) == nullptr) {
            return;
        }
        folder_ = folder;
        const std::string socket = folder_ + "/bus";
        address_ = "unix:path=" + socket;
        std::filesystem::create_directory(folder_ + "/services");
        std::ofstream(folder_ + "/bus.conf")
            << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
               "1.0//EN\"\n"
               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig>\n"
               "  <include>/usr/share/dbus-1/session.conf</include>\n"
               "  <servicedir>"
            << folder_ << "/services</servicedir>\n</busconfig>\n";
        if (brokenLogind) {
            std::ofstream(folder_ + "/services/org.freedesktop.login1.service")
                << "[D-BUS Service]\nName=org.freedesktop.login1\nExec=/bin/false\n";
        }
        std::vector<std::string> arguments{"dbus-daemon", "--config-file=" + folder_ + "/bus.conf",
                                           "--nofork", "--nopidfile", "--address=" + address_};
        std::vector<char*> argv;
        for (auto& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        if (posix_spawnp(&daemon_, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
            daemon_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        // The socket file appears when the daemon binds it, a moment before it listens:
        // ready only once a connection is taken.
        ready_ = daemon_ > 0 && becomesTrue([&] { return acceptsConnections(socket); }, 5s);
    }

    ~PrivateBus() {
        if (daemon_ > 0) {
            kill(daemon_, SIGTERM);
            waitpid(daemon_, nullptr, 0);
        }
        if (!folder_.empty()) {
            std::filesystem::remove_all(folder_);
        }
    }

    bool ready() const { return ready_; }
    const std::string& address() const { return address_; }

  private:
    pid_t daemon_ = -1;
    std::string folder_;
    std::string address_;
    bool ready_ = false;
};

// org.freedesktop.login1.Manager.Inhibit on the private bus, served from its own thread.
class FakeLogind {
  public:
    FakeLogind(const std::string& address, bool refuses) : refuses_(refuses) {
        std::promise<bool> started;
        auto ready = started.get_future();
        thread_ = std::thread([this, address, &started] { serve(address, started); });
        ready_ = ready.get();
    }

    ~FakeLogind() {
        stop_ = true;
        thread_.join();
        for (int end : readEnds_) {
            close(end);
        }
    }

    bool ready() const { return ready_; }

    std::vector<LogindInhibitor::Request> requests() const {
        std::lock_guard guard(mutex_);
        return requests_;
    }

    // Locks handed out whose every copy of the descriptor is still open.
    int heldLocks() const {
        std::lock_guard guard(mutex_);
        int held = 0;
        for (int end : readEnds_) {
            pollfd state{end, POLLIN, 0};
            if (poll(&state, 1, 0) == 0) {
                ++held;
            }
        }
        return held;
    }

  private:
    static int onInhibit(sd_bus_message* message, void* userdata, sd_bus_error* error) {
        auto* self = static_cast<FakeLogind*>(userdata);
        const char* fields[4] = {};
        const int read =
            sd_bus_message_read(message, "ssss", &fields[0], &fields[1], &fields[2], &fields[3]);
        if (read < 0) {
            return read;
        }
        std::lock_guard guard(self->mutex_);
        self->requests_.push_back({fields[0], fields[1], fields[2], fields[3]});
        if (self->refuses_) {
            return sd_bus_error_set(error, SD_BUS_ERROR_ACCESS_DENIED, "Permission denied");
        }
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) {
            return -errno;
        }
        const int replied = sd_bus_reply_method_return(message, "h", ends[1]);
        close(ends[1]);
        self->readEnds_.push_back(ends[0]);
        return replied;
    }

    void serve(const std::string& address, std::promise<bool>& started) {
        static const sd_bus_vtable vtable[] = {
            SD_BUS_VTABLE_START(0),
            SD_BUS_METHOD("Inhibit", "ssss", "h", onInhibit, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_VTABLE_END,
        };
        sd_bus* bus = nullptr;
        bool ok = sd_bus_new(&bus) >= 0 && sd_bus_set_address(bus, address.c_str()) >= 0 &&
                  sd_bus_set_bus_client(bus, 1) >= 0 && sd_bus_start(bus) >= 0 &&
                  sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/login1",
                                           "org.freedesktop.login1.Manager", vtable, this) >= 0 &&
                  sd_bus_request_name(bus, "org.freedesktop.login1", 0) >= 0;
        started.set_value(ok);
        while (ok && !stop_) {
            if (sd_bus_process(bus, nullptr) > 0) {
                continue;
            }
            sd_bus_wait(bus, 20'000);
        }
        sd_bus_flush_close_unref(bus);
    }

    const bool refuses_;
    std::atomic<bool> stop_{false};
    bool ready_ = false;
    mutable std::mutex mutex_;
    std::vector<LogindInhibitor::Request> requests_;
    std::vector<int> readEnds_;
    std::thread thread_;
};

class SleepBlockerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!bus_.ready()) {
            GTEST_SKIP() << "needs dbus-daemon for a private bus";
        }
    }

    SleepBlocker::Inhibit onPrivateBus() const {
        return [address = bus_.address()] {
            return LogindInhibitor::inhibit(SleepBlocker::request(), address, 2s);
        };
    }

    PrivateBus bus_;
};

TEST_F(SleepBlockerTest, AcquiringAgainWhileHoldingAsksForNoSecondLock) {
    FakeLogind logind(bus_.address(), false);
    ASSERT_TRUE(logind.ready());
    SleepBlocker blocker(onPrivateBus());

    blocker.acquire();
    blocker.acquire();
    blocker.acquire();

    EXPECT_TRUE(blocker.isHolding());
    EXPECT_EQ(blocker.lastFailure(), std::nullopt);
    ASSERT_EQ(logind.requests().size(), 1u);
    EXPECT_EQ(logind.heldLocks(), 1);
    const auto request = logind.requests().front();
    EXPECT_EQ(request.what, "idle:sleep");
    EXPECT_EQ(request.mode, "block");
    EXPECT_EQ(request.who, "Zoranth is hosting a rave");
    EXPECT_EQ(request.why, "Zoranth is streaming audio to guests' phones.");
}

TEST_F(SleepBlockerTest, ReleaseAndDestructionHandTheLockBack) {
    FakeLogind logind(bus_.address(), false);
    ASSERT_TRUE(logind.ready());
    {
        SleepBlocker blocker(onPrivateBus());
        blocker.acquire();
        blocker.release();
        EXPECT_FALSE(blocker.isHolding());
        EXPECT_TRUE(becomesTrue([&] { return logind.heldLocks() == 0; }, 2s));

        // The next rave takes a fresh lock.
        blocker.acquire();
        EXPECT_TRUE(blocker.isHolding());
        EXPECT_EQ(logind.requests().size(), 2u);
        EXPECT_EQ(logind.heldLocks(), 1);
    }
    EXPECT_TRUE(becomesTrue([&] { return logind.heldLocks() == 0; }, 2s));
}

TEST_F(SleepBlockerTest, WithoutALoginManagerItHoldsNothingAndSaysWhy) {
    struct Case {
        const char* name;
        std::string address;
        bool logindRuns;
        Failure::Case expected;
        const char* words;
    };
    PrivateBus brokenBus(true);
    ASSERT_TRUE(brokenBus.ready());
    const Case cases[] = {
        {"no bus", "unix:path=/nonexistent/zoranth-test-bus", false, Failure::Case::noBus,
         "no d-bus system bus"},
        {"no logind", bus_.address(), false, Failure::Case::noLogind, "logind is not answering"},
        {"logind that cannot start", brokenBus.address(), false, Failure::Case::noLogind,
         "logind is not answering"},
        {"refusing logind", bus_.address(), true, Failure::Case::refused,
         "logind refused the inhibitor lock"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<FakeLogind> logind;
        if (c.logindRuns) {
            logind.emplace(bus_.address(), true);
            ASSERT_TRUE(logind->ready());
        }
        const auto direct = LogindInhibitor::inhibit(SleepBlocker::request(), c.address, 2s);
        ASSERT_FALSE(direct.has_value());
        EXPECT_EQ(direct.error().kind, c.expected);

        SleepBlocker blocker(
            [&] { return LogindInhibitor::inhibit(SleepBlocker::request(), c.address, 2s); });
        blocker.acquire();
        EXPECT_FALSE(blocker.isHolding());
        ASSERT_TRUE(blocker.lastFailure().has_value());
        EXPECT_NE(blocker.lastFailure()->find(c.words), std::string::npos)
            << *blocker.lastFailure();
    }
}

TEST_F(SleepBlockerTest, AnAcquireThatFoundNoLogindIsRetriedByTheNext) {
    SleepBlocker blocker(onPrivateBus());
    blocker.acquire();
    EXPECT_FALSE(blocker.isHolding());

    FakeLogind logind(bus_.address(), false);
    ASSERT_TRUE(logind.ready());
    blocker.acquire();
    EXPECT_TRUE(blocker.isHolding());
    EXPECT_EQ(blocker.lastFailure(), std::nullopt);
    EXPECT_EQ(logind.heldLocks(), 1);
}

TEST(SleepBlockerSystemBus, WithoutASystemBusTheBlockerHoldsNothing) {
    // The plain constructor goes to $DBUS_SYSTEM_BUS_ADDRESS; pointed at nothing it
    // must leave the rave running without a lock.
    const char* previous = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    const std::string saved = previous ? previous : "";
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/zoranth-system-bus", 1);
    SleepBlocker blocker;
    blocker.acquire();
    if (previous) {
        setenv("DBUS_SYSTEM_BUS_ADDRESS", saved.c_str(), 1);
    } else {
        unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
    EXPECT_FALSE(blocker.isHolding());
    ASSERT_TRUE(blocker.lastFailure().has_value());
    EXPECT_NE(blocker.lastFailure()->find("no d-bus system bus"), std::string::npos);
}

}  // namespace
}  // namespace zoranth
