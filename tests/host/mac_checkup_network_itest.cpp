// The local-network self-test against the loopback-only avahi-daemon of the test
// services: confirmed when the daemon establishes the advertisement, unconfirmed after
// its patience when no daemon can be reached, one finding whichever comes first, and
// no listener left behind.
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

#include "host/checks/mac_checkup.h"

namespace zoranth {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Reason = MacCheckup::Reason;

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

// Every finding one self-test delivers, with a wait for the first.
class Deliveries {
  public:
    MacCheckup::FindingHandler handler() {
        return [this](MacCheckup::Finding finding) {
            if (count_.fetch_add(1) == 0) {
                first_.set_value(std::move(finding));
            }
        };
    }
    std::optional<MacCheckup::Finding> first(std::chrono::milliseconds patience) {
        auto future = first_.get_future();
        if (future.wait_for(patience) != std::future_status::ready) {
            return std::nullopt;
        }
        return future.get();
    }
    int count() const { return count_.load(); }

  private:
    std::promise<MacCheckup::Finding> first_;
    std::atomic<int> count_{0};
};

class LocalNetworkSelfTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::getenv("ZORANTH_TEST_SERVICES") == nullptr) {
            GTEST_SKIP() << "needs the test services: eval \"$(scripts/test-services start)\"";
        }
    }
};

TEST_F(LocalNetworkSelfTest, IsConfirmedByTheDaemonAndLeavesNoListenerBehind) {
    const auto before = ownListeners();
    const auto started = Clock::now();
    const auto finding = MacCheckup::checkLocalNetwork();
    EXPECT_EQ(finding, MacCheckup::networkFinding(Reason::networkOK));
    EXPECT_LT(Clock::now() - started, MacCheckup::networkPatience);
    EXPECT_EQ(ownListeners(), before);
}

// Confirmation and timeout are made to meet: with the patience set around the time the
// daemon takes to confirm, either may come first, and still only one finding arrives,
// after the listener has gone.
TEST_F(LocalNetworkSelfTest, DeliversOneFindingWhenConfirmationAndTimeoutMeet) {
    const auto measured = Clock::now();
    ASSERT_EQ(MacCheckup::checkLocalNetwork().reason, Reason::networkOK);
    const auto confirmation =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - measured);

    const auto before = ownListeners();
    for (const double share : {0.0, 0.5, 0.9, 0.95, 1.0, 1.05, 1.1, 1.5}) {
        const auto patience = std::chrono::milliseconds(
            static_cast<std::chrono::milliseconds::rep>(confirmation.count() * share));
        Deliveries deliveries;
        MacCheckup::checkLocalNetwork(deliveries.handler(), patience);
        const auto finding = deliveries.first(patience + 5s);
        ASSERT_TRUE(finding.has_value()) << "patience " << patience.count() << " ms";
        EXPECT_TRUE(finding->reason == Reason::networkOK ||
                    finding->reason == Reason::networkUnconfirmed);
        EXPECT_EQ(ownListeners(), before) << "patience " << patience.count() << " ms";
        std::this_thread::sleep_for(confirmation / 2 + 300ms);  // room for a second delivery
        EXPECT_EQ(deliveries.count(), 1) << "patience " << patience.count() << " ms";
    }
}

// libdbus reads the bus address once per process, so the unreachable daemon is tried in
// a fresh process (a death test re-executes this binary) and the shared daemon is left
// alone.
int checkWithoutADaemon() {
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/zoranth/system_bus_socket", 1);
    const auto started = Clock::now();
    const auto finding = MacCheckup::checkLocalNetwork();
    const auto took = Clock::now() - started;
    if (finding != MacCheckup::networkFinding(Reason::networkUnconfirmed)) {
        std::cerr << "finding: " << finding.detail;
        return 2;
    }
    if (took < MacCheckup::networkPatience - 100ms || took > MacCheckup::networkPatience + 2s) {
        std::cerr << "took " << std::chrono::duration_cast<std::chrono::milliseconds>(took).count()
                  << " ms";
        return 3;
    }
    std::cerr << "unconfirmed after the patience";
    return 0;
}

TEST_F(LocalNetworkSelfTest, IsUnconfirmedAfterFourSecondsWithoutADaemon) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::_Exit(checkWithoutADaemon()), ::testing::ExitedWithCode(0),
                "unconfirmed after the patience");
}

}  // namespace
}  // namespace zoranth
