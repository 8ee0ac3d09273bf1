#include "platform/netlink/route_watcher.h"

#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using zoranth::RouteWatcher;

const RouteWatcher::Interface* findInterface(const RouteWatcher::Snapshot& snapshot, const std::string& name) {
    for (const auto& entry : snapshot.interfaces) {
        if (entry.name == name) {
            return &entry;
        }
    }
    return nullptr;
}

// The same facts read through other doors: getifaddrs and /proc/net/route.
TEST(RouteWatcherRead, AgreesWithWhatTheOtherSystemInterfacesSay) {
    const auto snapshot = RouteWatcher::read();
    ASSERT_TRUE(snapshot.has_value()) << snapshot.error().text();

    ifaddrs* list = nullptr;
    ASSERT_EQ(::getifaddrs(&list), 0);
    std::map<std::string, unsigned> flags;
    std::set<std::string> withIPv4;
    for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        flags[entry->ifa_name] = entry->ifa_flags;
        if (entry->ifa_addr != nullptr && entry->ifa_addr->sa_family == AF_INET) {
            withIPv4.insert(entry->ifa_name);
        }
    }
    ::freeifaddrs(list);

    for (const auto& [name, bits] : flags) {
        const auto* entry = findInterface(*snapshot, name);
        ASSERT_NE(entry, nullptr) << name;
        EXPECT_EQ(entry->index, static_cast<int>(::if_nametoindex(name.c_str()))) << name;
        EXPECT_EQ(entry->up, (bits & IFF_UP) != 0 && (bits & IFF_RUNNING) != 0) << name;
        EXPECT_EQ(entry->loopback, (bits & IFF_LOOPBACK) != 0) << name;
        if (withIPv4.contains(name)) {
            EXPECT_GT(entry->addresses, 0) << name;
        }
    }
    const auto* loopback = findInterface(*snapshot, "lo");
    ASSERT_NE(loopback, nullptr);
    EXPECT_FALSE(loopback->isUsable());

    std::ifstream routes("/proc/net/route");
    std::string line;
    std::getline(routes, line);  // header
    while (std::getline(routes, line)) {
        std::istringstream fields(line);
        std::string device;
        std::string destination;
        std::string gateway;
        std::string routeFlags;
        std::string refs;
        std::string use;
        std::string metric;
        std::string mask;
        fields >> device >> destination >> gateway >> routeFlags >> refs >> use >> metric >> mask;
        if (destination == "00000000" && mask == "00000000") {
            const auto* entry = findInterface(*snapshot, device);
            ASSERT_NE(entry, nullptr) << device;
            EXPECT_TRUE(entry->carriesDefaultRoute) << device;
        }
    }
}

// Runs `scenario` in a child process with a network namespace of its own, in which it
// may create interfaces freely: nothing there reaches any real network. Returns the
// child's exit status, or -1 where namespaces cannot be made (no privilege).
int inOwnNetworkNamespace(const std::function<int()>& scenario) {
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t child = ::fork();
    if (child == 0) {
        if (::unshare(CLONE_NEWNET) != 0) {
            std::_Exit(200);
        }
        const int status = scenario();
        std::fflush(stdout);
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

bool run(const std::string& command) { return std::system((command + " 2>&1").c_str()) == 0; }

// Snapshots as the watcher delivers them, with a wait for one that satisfies a test.
class Deliveries {
public:
    RouteWatcher::Handler handler() {
        return [this](const RouteWatcher::Snapshot& snapshot) {
            std::lock_guard guard(lock_);
            snapshots_.push_back(snapshot);
            threads_.insert(std::this_thread::get_id());
            arrived_.notify_all();
        };
    }

    bool waitFor(const std::function<bool(const RouteWatcher::Snapshot&)>& wanted) {
        std::unique_lock guard(lock_);
        return arrived_.wait_for(guard, 5s, [&] { return !snapshots_.empty() && wanted(snapshots_.back()); });
    }

    std::size_t count() {
        std::lock_guard guard(lock_);
        return snapshots_.size();
    }

    std::size_t threadCount() {
        std::lock_guard guard(lock_);
        return threads_.size();
    }

private:
    std::mutex lock_;
    std::condition_variable arrived_;
    std::vector<RouteWatcher::Snapshot> snapshots_;
    std::set<std::thread::id> threads_;
};

int failWith(const char* step) {
    std::cerr << "failed at: " << step << "\n";
    return 1;
}

TEST(RouteWatcherWatch, DeliversEachChangeOfInterfacesAddressesAndRoutes) {
    const int status = inOwnNetworkNamespace([] {
        Deliveries deliveries;
        auto watcher = RouteWatcher::start("zoranth-test", deliveries.handler());
        if (!watcher) {
            return failWith("start");
        }
        // A new namespace holds only its loopback, and that is down.
        if (!deliveries.waitFor([](const auto& s) { return s.interfaces.size() == 1 && !s.interfaces[0].up; })) {
            return failWith("first snapshot");
        }
        // A veth pair whose two ends both live in this namespace: carrier without a network.
        if (!run("ip link add zt0 type veth peer name zt1") || !run("ip addr add 10.77.0.2/24 dev zt0") ||
            !run("ip link set zt1 up") || !run("ip link set zt0 up") ||
            !run("ip route add default via 10.77.0.1 dev zt0")) {
            return failWith("setting up zt0");
        }
        const bool routed = deliveries.waitFor([](const auto& s) {
            const auto* zt0 = findInterface(s, "zt0");
            return zt0 != nullptr && zt0->up && zt0->addresses == 1 && zt0->carriesDefaultRoute &&
                   zt0->linkType == ARPHRD_ETHER && zt0->isWiredEthernet() && s.hasUsableInterface();
        });
        if (!routed) {
            return failWith("zt0 up with an address and the default route");
        }
        const std::size_t before = deliveries.count();
        if (!run("ip link set zt0 down")) {
            return failWith("taking zt0 down");
        }
        if (!deliveries.waitFor([](const auto& s) { return !s.hasUsableInterface(); })) {
            return failWith("zt0 down");
        }
        if (deliveries.count() <= before || deliveries.threadCount() != 1) {
            return failWith("one thread delivering");
        }
        return 0;
    });
    if (status == -1) {
        GTEST_SKIP() << "no permission to create a network namespace";
    }
    EXPECT_EQ(status, 0);
}

// An owner may let go of the watcher from inside the handler (its last reference
// dropped on the watcher's thread); the watcher must neither hang nor crash.
TEST(RouteWatcherWatch, CanBeReleasedFromInsideItsHandler) {
    std::mutex lock;
    std::condition_variable released;
    std::shared_ptr<RouteWatcher> held;
    bool done = false;
    std::unique_lock guard(lock);
    auto watcher = RouteWatcher::start("zoranth-test", [&](const RouteWatcher::Snapshot&) {
        std::lock_guard inside(lock);
        held.reset();
        done = true;
        released.notify_all();
    });
    ASSERT_TRUE(watcher.has_value());
    held = std::move(*watcher);
    EXPECT_TRUE(released.wait_for(guard, 5s, [&] { return done; }));
}

}  // namespace
