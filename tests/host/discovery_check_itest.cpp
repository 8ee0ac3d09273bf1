// The discovery check against the loopback-only avahi-daemon of the test services:
// confirmed when the daemon establishes the announcement, a missing daemon named at
// once with the bus's own words, one outcome whichever comes first, and no listener
// left behind.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "host/checks/discovery_check.h"

namespace zoranth {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Outcome = DiscoveryCheck::Outcome;

// Listening TCP sockets that belong to this process.
std::set<std::string> ownListeners() {
    std::set<std::string> listening;
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // the heading
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
        fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
            timeout >> inode;
        if (state == "0A") {
            listening.insert("socket:[" + inode + "]");
        }
    }
    std::set<std::string> own;
    if (DIR* fds = ::opendir("/proc/self/fd")) {
        while (const dirent* fd = ::readdir(fds)) {
            char target[256];
            const std::string path = std::string("/proc/self/fd/") + fd->d_name;
            const ssize_t length = ::readlink(path.c_str(), target, sizeof target - 1);
            if (length > 0 && listening.contains(std::string(target, length))) {
                own.insert(std::string(target, length));
            }
        }
        ::closedir(fds);
    }
    return own;
}

// Every outcome one check delivers, with a wait for the first.
class Deliveries {
  public:
    DiscoveryCheck::Handler handler() {
        return [this](Outcome outcome) {
            if (count_.fetch_add(1) == 0) {
                first_.set_value(std::move(outcome));
            }
        };
    }
    std::optional<Outcome> first(std::chrono::milliseconds patience) {
        auto future = first_.get_future();
        if (future.wait_for(patience) != std::future_status::ready) {
            return std::nullopt;
        }
        return future.get();
    }
    int count() const { return count_.load(); }

  private:
    std::promise<Outcome> first_;
    std::atomic<int> count_{0};
};

class DiscoveryCheckOnLoopback : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::getenv("ZORANTH_TEST_SERVICES") == nullptr) {
            GTEST_SKIP() << "needs the test services: eval \"$(scripts/test-services start)\"";
        }
    }
};

TEST_F(DiscoveryCheckOnLoopback, IsConfirmedByTheDaemonAndLeavesNoListenerBehind) {
    const auto before = ownListeners();
    const auto started = Clock::now();
    const Outcome outcome = DiscoveryCheck::run();
    EXPECT_EQ(outcome.kind, Outcome::Case::confirmed) << outcome.text;
    EXPECT_TRUE(outcome.text.starts_with("avahi ")) << "the daemon's version: " << outcome.text;
    EXPECT_LT(Clock::now() - started, DiscoveryCheck::patience);
    EXPECT_EQ(ownListeners(), before);
}

// Confirmation and timeout are made to meet: with the patience set around the time the
// daemon takes to confirm, either may come first, and still only one finding arrives,
// after the listener has gone.
TEST_F(DiscoveryCheckOnLoopback, DeliversOneFindingWhenConfirmationAndTimeoutMeet) {
    const auto measured = Clock::now();
    ASSERT_EQ(DiscoveryCheck::run().kind, Outcome::Case::confirmed);
    const auto confirmation =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - measured);

    const auto before = ownListeners();
    for (const double share : {0.0, 0.5, 0.9, 0.95, 1.0, 1.05, 1.1, 1.5}) {
        const auto patience = std::chrono::milliseconds(
            static_cast<std::chrono::milliseconds::rep>(confirmation.count() * share));
        Deliveries deliveries;
        DiscoveryCheck::begin(deliveries.handler(), patience);
        const auto outcome = deliveries.first(patience + 5s);
        ASSERT_TRUE(outcome.has_value()) << "patience " << patience.count() << " ms";
        EXPECT_TRUE(outcome->kind == Outcome::Case::confirmed ||
                    outcome->kind == Outcome::Case::unconfirmed);
        EXPECT_EQ(ownListeners(), before) << "patience " << patience.count() << " ms";
        std::this_thread::sleep_for(confirmation / 2 + 300ms);  // room for a second delivery
        EXPECT_EQ(deliveries.count(), 1) << "patience " << patience.count() << " ms";
    }
}

// libdbus reads the bus address once per process, so the unreachable daemon is tried in
// a fresh process (a death test re-executes this binary) and the shared daemon is left
// alone. A bus without the daemon and no bus at all are told apart, without waiting.
int checkWith(const char* busAddress, Outcome::Case expected, const char* said) {
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", busAddress, 1);
    const auto started = Clock::now();
    const Outcome outcome = DiscoveryCheck::run();
    const auto took = Clock::now() - started;
    if (outcome.kind != expected || outcome.text.find(said) == std::string::npos) {
        std::cerr << "outcome " << static_cast<int>(outcome.kind) << ": " << outcome.text;
        return 2;
    }
    if (took > 2s) {
        std::cerr << "took " << std::chrono::duration_cast<std::chrono::milliseconds>(took).count()
                  << " ms";
        return 3;
    }
    std::cerr << "told at once: " << outcome.text;
    return 0;
}

TEST_F(DiscoveryCheckOnLoopback, WithoutABusItSaysSoAtOnce) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::_Exit(checkWith("unix:path=/nonexistent/zoranth/system_bus_socket",
                                     Outcome::Case::busUnreachable, "No such file or directory")),
                ::testing::ExitedWithCode(0), "told at once: No such file or directory");
}

}  // namespace
}  // namespace zoranth
