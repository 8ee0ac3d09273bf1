// Reads this machine's network interfaces, their addresses and default routes from
// the kernel over rtnetlink, and watches them: every change delivers a fresh snapshot
// on the watcher's own thread. read() may be called from any thread.
#pragma once

#include <expected>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace zoranth {

class RouteWatcher {
public:
    struct Interface {
        int index = 0;
        std::string name;
        unsigned short linkType = 0;  // ARPHRD_* (Ethernet framing is 1, also for Wi-Fi)
        bool up = false;              // administratively up and with carrier
        bool loopback = false;
        bool wireless = false;        // an 802.11 interface
        int addresses = 0;            // usable addresses: IPv6 link-local and tentative ones do not count
        bool carriesDefaultRoute = false;

        bool isWiredEthernet() const;
        // Up, not loopback and with an address: something guests could reach.
        bool isUsable() const;
        friend bool operator==(const Interface&, const Interface&) = default;
    };

    struct Snapshot {
        std::vector<Interface> interfaces;  // in the kernel's index order

        bool hasUsableInterface() const;
        friend bool operator==(const Snapshot&, const Snapshot&) = default;
    };

    struct Failure {
        enum class Case { socketFailed, requestFailed };
        Case kind;
        int error;  // errno
        std::string text() const;
        friend bool operator==(const Failure&, const Failure&) = default;
    };

    using Handler = std::function<void(const Snapshot&)>;

    static std::expected<Snapshot, Failure> read();

    // Starts watching on a thread named threadName (at most 15 characters). The handler
    // receives the first snapshot at once, then one after each change that alters it.
    static std::expected<std::shared_ptr<RouteWatcher>, Failure> start(std::string threadName,
                                                                       Handler handler);

    // Stops the thread; from inside the handler it finishes on its own after returning.
    ~RouteWatcher();
    RouteWatcher(const RouteWatcher&) = delete;
    RouteWatcher& operator=(const RouteWatcher&) = delete;

    struct State;
    RouteWatcher(std::shared_ptr<State> state, std::thread thread);

private:
    std::shared_ptr<State> state_;
    std::thread thread_;
};

}  // namespace zoranth
