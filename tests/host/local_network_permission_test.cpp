#include "host/net/local_network_permission.h"

#include <gtest/gtest.h>
#include <net/if_arp.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

namespace {

using namespace std::chrono_literals;
using zoranth::LinkCapacity;
using zoranth::LocalNetworkPermission;
using zoranth::RouteWatcher;
using HostAttachment = LinkCapacity::HostAttachment;
using Status = LocalNetworkPermission::Status;

// Both callbacks in the order they fired, with a wait for the next.
class Reports {
public:
    using Report = std::variant<Status, HostAttachment>;

    void listenTo(LocalNetworkPermission& permission) {
        permission.setOnChange([this](const Status& status) { add(status); });
        permission.setOnAttachmentChange([this](HostAttachment attachment) { add(attachment); });
    }

    std::vector<Report> all() {
        std::lock_guard guard(lock_);
        return reports_;
    }

    bool waitFor(const Report& wanted) {
        std::unique_lock guard(lock_);
        return arrived_.wait_for(guard, 5s, [&] { return std::ranges::find(reports_, wanted) != reports_.end(); });
    }

private:
    void add(Report report) {
        std::lock_guard guard(lock_);
        reports_.push_back(std::move(report));
        arrived_.notify_all();
    }

    std::mutex lock_;
    std::condition_variable arrived_;
    std::vector<Report> reports_;
};

RouteWatcher::Interface interface(const std::string& name, bool up, int addresses, bool defaultRoute,
                                  bool wireless = false) {
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

const Status noInterface = Status::unavailable(std::string(LocalNetworkPermission::noInterfaceReason));

TEST(LocalNetworkPermissionStatus, IsSatisfiedOnlyByAnInterfaceBeyondLoopbackThatIsUpWithAnAddress) {
    const struct {
        const char* label;
        RouteWatcher::Snapshot path;
        Status expected;
    } cases[] = {
        {"nothing", {}, noInterface},
        {"loopbackOnly", {{loopback()}}, noInterface},
        {"upWithoutAddress", {{loopback(), interface("eth0", true, 0, false)}}, noInterface},
        {"addressButDown", {{loopback(), interface("eth0", false, 1, false)}}, noInterface},
        {"wired", {{loopback(), interface("eth0", true, 1, true)}}, Status::satisfied()},
        {"wirelessWithoutGateway", {{interface("wlan0", true, 1, false, true)}}, Status::satisfied()},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(LocalNetworkPermission::statusFor(c.path), c.expected) << c.label;
    }
}

class LocalNetworkPermissionUpdate : public ::testing::Test {
protected:
    std::shared_ptr<LocalNetworkPermission> permission = std::make_shared<LocalNetworkPermission>();
    Reports reports;
    void SetUp() override { reports.listenTo(*permission); }
};

TEST_F(LocalNetworkPermissionUpdate, TheFirstSatisfiedPathReportsStatusThenAttachment) {
    EXPECT_EQ(permission->status(), Status::unknown());
    EXPECT_EQ(permission->attachment(), HostAttachment::unknown);

    permission->update(RouteWatcher::Snapshot{{loopback(), interface("wlan0", true, 1, true, true)}});

    const std::vector<Reports::Report> expected{Status::satisfied(), HostAttachment::wifi};
    EXPECT_EQ(reports.all(), expected);
    EXPECT_EQ(permission->status(), Status::satisfied());
    EXPECT_EQ(permission->attachment(), HostAttachment::wifi);
}

TEST_F(LocalNetworkPermissionUpdate, AnUpdateThatChangesNothingStaysQuiet) {
    permission->update(std::nullopt);  // still unknown, attachment still unknown
    const RouteWatcher::Snapshot unplugged{{loopback(), interface("eth0", true, 0, false)}};
    permission->update(unplugged);
    permission->update(RouteWatcher::Snapshot{{loopback()}});  // same reason text

    const std::vector<Reports::Report> expected{noInterface};
    EXPECT_EQ(reports.all(), expected);
}

TEST_F(LocalNetworkPermissionUpdate, PluggingInACableChangesOnlyTheAttachment) {
    const auto wifi = interface("wlan0", true, 1, true, true);
    permission->update(RouteWatcher::Snapshot{{wifi}});
    permission->update(RouteWatcher::Snapshot{{interface("eth0", true, 1, true), wifi}});
    permission->update(RouteWatcher::Snapshot{{loopback()}});

    const std::vector<Reports::Report> expected{Status::satisfied(), HostAttachment::wifi, HostAttachment::ethernet,
                                                noInterface, HostAttachment::unknown};
    EXPECT_EQ(reports.all(), expected);
}

// The real watcher on a network of the test's own: a child process in a private
// network namespace, where a veth pair (both ends inside) stands for a cable.
int inOwnNetworkNamespace(const std::function<int()>& scenario) {
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t child = ::fork();
    if (child == 0) {
        if (::unshare(CLONE_NEWNET) != 0) {
            std::_Exit(200);
        }
        const int status = scenario();
        std::fflush(stderr);
        std::_Exit(status);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status)) {
        return -2;
    }
    return WEXITSTATUS(status) == 200 ? -1 : WEXITSTATUS(status);
}

int failWith(const char* step) {
    std::cerr << "failed at: " << step << "\n";
    return 1;
}

bool run(const char* command) { return std::system(command) == 0; }

TEST(LocalNetworkPermissionWatch, FollowsTheMachinesNetwork) {
    const int status = inOwnNetworkNamespace([] {
        auto permission = std::make_shared<LocalNetworkPermission>();
        Reports reports;
        reports.listenTo(*permission);
        permission->start();
        if (!reports.waitFor(noInterface)) {
            return failWith("first update");
        }
        if (!run("ip link add zp0 type veth peer name zp1") || !run("ip addr add 10.78.0.2/24 dev zp0") ||
            !run("ip link set zp1 up") || !run("ip link set zp0 up") ||
            !run("ip route add default via 10.78.0.1 dev zp0")) {
            return failWith("setting up zp0");
        }
        if (!reports.waitFor(Status::satisfied()) || !reports.waitFor(HostAttachment::ethernet)) {
            return failWith("satisfied over ethernet");
        }
        if (!run("ip link set zp0 down") || !reports.waitFor(HostAttachment::unknown)) {
            return failWith("unplugged");
        }
        if (permission->status() != noInterface) {
            return failWith("status after unplugging");
        }
        permission.reset();  // stops the watcher: the process must still end promptly
        return 0;
    });
    if (status == -1) {
        GTEST_SKIP() << "no permission to create a network namespace";
    }
    EXPECT_EQ(status, 0);
}

}  // namespace
