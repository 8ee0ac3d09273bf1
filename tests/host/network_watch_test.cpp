#include "host/net/network_watch.h"

#include <gtest/gtest.h>
#include <net/if_arp.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

namespace {

using namespace std::chrono_literals;
using zoranth::LinkCapacity;
using zoranth::NetworkWatch;
using zoranth::RouteWatcher;
using HostAttachment = LinkCapacity::HostAttachment;
using Status = NetworkWatch::Status;

// Both callbacks in the order they fired, with a wait for the next. The callbacks share
// ownership of it: one may still be running on the queue as the test lets go.
class Reports : public std::enable_shared_from_this<Reports> {
  public:
    using Report = std::variant<Status, HostAttachment>;

    void listenTo(NetworkWatch& watch) {
        auto self = shared_from_this();
        watch.setOnChange([self, &queue = watch.queue()](const Status& status) {
            self->add(status, queue.isCurrent());
        });
        watch.setOnAttachmentChange([self, &queue = watch.queue()](HostAttachment attachment) {
            self->add(attachment, queue.isCurrent());
        });
    }

    // Whether every callback so far ran on the watch's queue.
    bool allOnQueue() const { return allOnQueue_; }

    std::vector<Report> all() {
        std::lock_guard guard(lock_);
        return reports_;
    }

    void add(Report report, bool onQueue) {
        allOnQueue_ = allOnQueue_ && onQueue;
        std::lock_guard guard(lock_);
        reports_.push_back(std::move(report));
        arrived_.notify_all();
    }

    bool waitFor(const Report& wanted) {
        std::unique_lock guard(lock_);
        return arrived_.wait_for(
            guard, 5s, [&] { return std::ranges::find(reports_, wanted) != reports_.end(); });
    }

  private:
    std::atomic<bool> allOnQueue_{true};
    std::mutex lock_;
    std::condition_variable arrived_;
    std::vector<Report> reports_;
};

RouteWatcher::Interface interface(const std::string& name, bool up, int addresses,
                                  bool defaultRoute, bool wireless = false) {
    RouteWatcher::Interface entry;
    entry.name = name;
    entry.linkType = ARPHRD_ETHER;
    entry.up = up;
    entry.wireless = wireless;
    entry.addresses = addresses;
    entry.carriesDefaultRoute = defaultRoute;
    return entry;
}

RouteWatcher::Interface loopback() {
    RouteWatcher::Interface entry;
    entry.name = "lo";
    entry.linkType = ARPHRD_LOOPBACK;
    entry.up = true;
    entry.loopback = true;
    entry.addresses = 1;
    return entry;
}

const Status noInterface = Status::unavailable(std::string(NetworkWatch::noInterfaceReason));

TEST(NetworkWatchStatus, IsAvailableOnlyThroughAnInterfaceBeyondLoopbackThatIsUpWithAnAddress) {
    const struct {
        const char* label;
        RouteWatcher::Snapshot path;
        Status expected;
    } cases[] = {
        {"nothing", {}, noInterface},
        {"loopbackOnly", {{loopback()}}, noInterface},
        {"upWithoutAddress", {{loopback(), interface("eth0", true, 0, false)}}, noInterface},
        {"addressButDown", {{loopback(), interface("eth0", false, 1, false)}}, noInterface},
        {"wired", {{loopback(), interface("eth0", true, 1, true)}}, Status::available()},
        {"wirelessWithoutGateway",
         {{interface("wlan0", true, 1, false, true)}},
         Status::available()},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(NetworkWatch::statusFor(c.path), c.expected) << c.label;
    }
}

TEST(NetworkWatchGuestInterface, IsTheUsableInterfaceWithTheDefaultRouteElseTheFirstUsable) {
    const struct {
        const char* label;
        RouteWatcher::Snapshot path;
        std::optional<std::string> expected;
    } cases[] = {
        {"onlyLoopback", {{loopback()}}, std::nullopt},
        {"downOrWithoutAddress",
         {{interface("eth0", false, 1, true), interface("wlan0", true, 0, false)}},
         std::nullopt},
        {"theDefaultRouteWins",
         {{loopback(), interface("eth0", true, 1, false), interface("wlan0", true, 1, true)}},
         "wlan0"},
        {"withoutADefaultRouteTheFirst",
         {{interface("eth1", true, 1, false), interface("eth0", true, 1, false)}},
         "eth1"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(NetworkWatch::guestInterface(c.path), c.expected) << c.label;
    }
}

class NetworkWatchUpdate : public ::testing::Test {
  protected:
    std::shared_ptr<NetworkWatch> watch = std::make_shared<NetworkWatch>();
    std::shared_ptr<Reports> reports = std::make_shared<Reports>();
    void SetUp() override { reports->listenTo(*watch); }
};

TEST_F(NetworkWatchUpdate, TheFirstAvailablePathReportsStatusThenAttachment) {
    EXPECT_EQ(watch->status(), Status::unknown());
    EXPECT_EQ(watch->attachment(), HostAttachment::unknown);

    watch->update(RouteWatcher::Snapshot{{loopback(), interface("wlan0", true, 1, true, true)}});

    const std::vector<Reports::Report> expected{Status::available(), HostAttachment::wifi};
    EXPECT_EQ(reports->all(), expected);
    EXPECT_EQ(watch->status(), Status::available());
    EXPECT_EQ(watch->attachment(), HostAttachment::wifi);
}

TEST_F(NetworkWatchUpdate, AnUpdateThatChangesNothingStaysQuiet) {
    watch->update(std::nullopt);  // still unknown, attachment still unknown
    const RouteWatcher::Snapshot unplugged{{loopback(), interface("eth0", true, 0, false)}};
    watch->update(unplugged);
    watch->update(RouteWatcher::Snapshot{{loopback()}});  // same reason text

    const std::vector<Reports::Report> expected{noInterface};
    EXPECT_EQ(reports->all(), expected);
}

TEST_F(NetworkWatchUpdate, PluggingInACableChangesOnlyTheAttachment) {
    const auto wifi = interface("wlan0", true, 1, true, true);
    watch->update(RouteWatcher::Snapshot{{wifi}});
    watch->update(RouteWatcher::Snapshot{{interface("eth0", true, 1, true), wifi}});
    watch->update(RouteWatcher::Snapshot{{loopback()}});

    const std::vector<Reports::Report> expected{Status::available(), HostAttachment::wifi,
                                                HostAttachment::ethernet, noInterface,
                                                HostAttachment::unknown};
    EXPECT_EQ(reports->all(), expected);
}

// The real watcher on a network of the test's own: a private network namespace, where
// a veth pair (both ends inside) stands for a cable. The scenario runs in a freshly
// executed copy of this test (a death test), so that no queue threads of this process
// are missing from it, as they would be after a plain fork.
bool canMakeNetworkNamespace() {
    const pid_t child = ::fork();
    if (child == 0) {
        std::_Exit(::unshare(CLONE_NEWNET) == 0 ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int failWith(const char* step) {
    std::cerr << "failed at: " << step << "\n";
    return 1;
}

bool run(const char* command) {
    return std::system(command) == 0;
}

int followTheNetworkOfAPrivateNamespace() {
    if (::unshare(CLONE_NEWNET) != 0) {
        return failWith("unshare");
    }
    {
        auto watch = std::make_shared<NetworkWatch>();
        auto reports = std::make_shared<Reports>();
        reports->listenTo(*watch);
        watch->start();
        if (!reports->waitFor(noInterface)) {
            return failWith("first update");
        }
        if (!run("ip link add zp0 type veth peer name zp1") ||
            !run("ip addr add 10.78.0.2/24 dev zp0") || !run("ip link set zp1 up") ||
            !run("ip link set zp0 up") || !run("ip route add default via 10.78.0.1 dev zp0")) {
            return failWith("setting up zp0");
        }
        if (!reports->waitFor(Status::available()) || !reports->waitFor(HostAttachment::ethernet)) {
            return failWith("available over ethernet");
        }
        if (!run("ip link set zp0 down") || !reports->waitFor(HostAttachment::unknown)) {
            return failWith("unplugged");
        }
        if (watch->status() != noInterface) {
            return failWith("status after unplugging");
        }
        if (!reports->allOnQueue()) {
            return failWith("a callback off the path queue");
        }
        watch.reset();  // stops the watcher: the process must still end promptly
    }
    std::cerr << "followed";
    return 0;
}

TEST(NetworkWatchWatch, FollowsTheMachinesNetwork) {
    if (!canMakeNetworkNamespace()) {
        GTEST_SKIP() << "no permission to create a network namespace";
    }
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::_Exit(followTheNetworkOfAPrivateNamespace()), ::testing::ExitedWithCode(0),
                "followed");
}

}  // namespace
