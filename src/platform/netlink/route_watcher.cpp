#include "platform/netlink/route_watcher.h"

#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <utility>

namespace zoranth {

namespace {

using Failure = RouteWatcher::Failure;

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&&) = delete;
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

private:
    int fd_;
};

std::expected<Fd, Failure> openRouteSocket(unsigned groups) {
    Fd fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (!fd.valid()) {
        return std::unexpected(Failure{Failure::Case::socketFailed, errno});
    }
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = groups;
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        return std::unexpected(Failure{Failure::Case::socketFailed, errno});
    }
    return fd;
}

// Walks the attributes that follow a fixed header of `headerSize` bytes.
template <typename Visit>
void forEachAttribute(const nlmsghdr* message, std::size_t headerSize, Visit visit) {
    auto* attribute = reinterpret_cast<const rtattr*>(
        reinterpret_cast<const char*>(NLMSG_DATA(message)) + NLMSG_ALIGN(headerSize));
    int length = static_cast<int>(message->nlmsg_len) - static_cast<int>(NLMSG_LENGTH(headerSize));
    for (; RTA_OK(attribute, length); attribute = RTA_NEXT(attribute, length)) {
        visit(attribute);
    }
}

// Sends one dump request and hands every answer to `visit` until the kernel is done.
template <typename Header, typename Visit>
std::expected<void, Failure> dump(int fd, std::uint16_t type, Header header, std::uint32_t sequence,
                                  Visit visit) {
    struct {
        nlmsghdr head;
        Header body;
    } request{};
    request.head.nlmsg_len = NLMSG_LENGTH(sizeof(Header));
    request.head.nlmsg_type = type;
    request.head.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.head.nlmsg_seq = sequence;
    request.body = header;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(fd, &request, request.head.nlmsg_len, 0, reinterpret_cast<const sockaddr*>(&kernel),
                 sizeof kernel) < 0) {
        return std::unexpected(Failure{Failure::Case::requestFailed, errno});
    }
    alignas(nlmsghdr) std::array<char, 32768> buffer{};
    for (;;) {
        const ssize_t received = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (received < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::unexpected(Failure{Failure::Case::requestFailed, errno});
        }
        int length = static_cast<int>(received);
        for (auto* message = reinterpret_cast<const nlmsghdr*>(buffer.data()); NLMSG_OK(message, length);
             message = NLMSG_NEXT(message, length)) {
            if (message->nlmsg_seq != sequence) {
                continue;
            }
            if (message->nlmsg_type == NLMSG_DONE) {
                return {};
            }
            if (message->nlmsg_type == NLMSG_ERROR) {
                const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(message));
                return std::unexpected(Failure{Failure::Case::requestFailed, -error->error});
            }
            visit(message);
        }
    }
}

bool isWirelessName(const std::string& name) {
    std::error_code ignored;
    const std::filesystem::path device = std::filesystem::path("/sys/class/net") / name;
    return std::filesystem::exists(device / "wireless", ignored) ||
           std::filesystem::exists(device / "phy80211", ignored);
}

void addLink(const nlmsghdr* message, std::map<int, RouteWatcher::Interface>& interfaces) {
    const auto* info = static_cast<const ifinfomsg*>(NLMSG_DATA(message));
    RouteWatcher::Interface& entry = interfaces[info->ifi_index];
    entry.index = info->ifi_index;
    entry.linkType = info->ifi_type;
    entry.up = (info->ifi_flags & IFF_UP) != 0 && (info->ifi_flags & IFF_RUNNING) != 0;
    entry.loopback = (info->ifi_flags & IFF_LOOPBACK) != 0;
    forEachAttribute(message, sizeof(ifinfomsg), [&](const rtattr* attribute) {
        if (attribute->rta_type == IFLA_IFNAME) {
            entry.name = static_cast<const char*>(RTA_DATA(attribute));
        }
    });
    entry.wireless = isWirelessName(entry.name);
}

void addAddress(const nlmsghdr* message, std::map<int, RouteWatcher::Interface>& interfaces) {
    const auto* address = static_cast<const ifaddrmsg*>(NLMSG_DATA(message));
    std::uint32_t flags = address->ifa_flags;
    forEachAttribute(message, sizeof(ifaddrmsg), [&](const rtattr* attribute) {
        if (attribute->rta_type == IFA_FLAGS) {
            std::memcpy(&flags, RTA_DATA(attribute), sizeof flags);
        }
    });
    // Every IPv6 interface has a link-local address the moment it is up, network or not.
    if (address->ifa_family == AF_INET6 && address->ifa_scope == RT_SCOPE_LINK) {
        return;
    }
    if ((flags & (IFA_F_TENTATIVE | IFA_F_DADFAILED)) != 0) {
        return;
    }
    auto found = interfaces.find(static_cast<int>(address->ifa_index));
    if (found != interfaces.end()) {
        ++found->second.addresses;
    }
}

void addRoute(const nlmsghdr* message, std::map<int, RouteWatcher::Interface>& interfaces) {
    const auto* route = static_cast<const rtmsg*>(NLMSG_DATA(message));
    if (route->rtm_dst_len != 0 || route->rtm_type != RTN_UNICAST) {
        return;
    }
    std::uint32_t table = route->rtm_table;
    std::vector<int> devices;
    forEachAttribute(message, sizeof(rtmsg), [&](const rtattr* attribute) {
        if (attribute->rta_type == RTA_TABLE) {
            std::memcpy(&table, RTA_DATA(attribute), sizeof table);
        } else if (attribute->rta_type == RTA_OIF) {
            int device = 0;
            std::memcpy(&device, RTA_DATA(attribute), sizeof device);
            devices.push_back(device);
        } else if (attribute->rta_type == RTA_MULTIPATH) {
            auto* hop = static_cast<const rtnexthop*>(RTA_DATA(attribute));
            int length = static_cast<int>(RTA_PAYLOAD(attribute));
            while (RTNH_OK(hop, length)) {
                devices.push_back(hop->rtnh_ifindex);
                length -= static_cast<int>(NLMSG_ALIGN(hop->rtnh_len));
                hop = RTNH_NEXT(hop);
            }
        }
    });
    if (table != RT_TABLE_MAIN) {
        return;
    }
    for (const int device : devices) {
        auto found = interfaces.find(device);
        if (found != interfaces.end()) {
            found->second.carriesDefaultRoute = true;
        }
    }
}

std::expected<RouteWatcher::Snapshot, Failure> readWith(int fd) {
    static std::atomic<std::uint32_t> sequence{1};
    std::map<int, RouteWatcher::Interface> interfaces;
    ifinfomsg anyLink{};
    anyLink.ifi_family = AF_UNSPEC;
    auto links = dump(fd, RTM_GETLINK, anyLink, sequence++,
                      [&](const nlmsghdr* message) {
                          if (message->nlmsg_type == RTM_NEWLINK) {
                              addLink(message, interfaces);
                          }
                      });
    if (!links) {
        return std::unexpected(links.error());
    }
    ifaddrmsg anyAddress{};
    anyAddress.ifa_family = AF_UNSPEC;
    auto addresses = dump(fd, RTM_GETADDR, anyAddress, sequence++,
                          [&](const nlmsghdr* message) {
                              if (message->nlmsg_type == RTM_NEWADDR) {
                                  addAddress(message, interfaces);
                              }
                          });
    if (!addresses) {
        return std::unexpected(addresses.error());
    }
    for (const unsigned char family : {AF_INET, AF_INET6}) {
        rtmsg anyRoute{};
        anyRoute.rtm_family = family;
        auto routes = dump(fd, RTM_GETROUTE, anyRoute, sequence++,
                           [&](const nlmsghdr* message) {
                               if (message->nlmsg_type == RTM_NEWROUTE) {
                                   addRoute(message, interfaces);
                               }
                           });
        if (!routes) {
            return std::unexpected(routes.error());
        }
    }
    RouteWatcher::Snapshot snapshot;
    for (auto& [index, entry] : interfaces) {
        snapshot.interfaces.push_back(std::move(entry));
    }
    return snapshot;
}

// Drains pending notifications; false when the socket has nothing more to say.
bool drain(int fd) {
    std::array<char, 8192> buffer{};
    bool any = false;
    for (;;) {
        const ssize_t received = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (received > 0 || (received < 0 && errno == ENOBUFS)) {
            any = true;  // an overrun also means "something changed"
            continue;
        }
        if (received < 0 && errno == EINTR) {
            continue;
        }
        return any;
    }
}

}  // namespace

struct RouteWatcher::State {
    State(Fd events, Fd wake, std::string name, Handler callback)
        : notifications(std::move(events)), wakeup(std::move(wake)), threadName(std::move(name)),
          handler(std::move(callback)) {}

    Fd notifications;
    Fd wakeup;
    const std::string threadName;
    const Handler handler;
    std::atomic<bool> stopping{false};
};

namespace {

// Changes come in bursts (link up, address, route); one snapshot after a short quiet
// spell describes the burst's outcome.
constexpr int quietMs = 50;
constexpr int maxBurstRounds = 20;

void watch(const std::shared_ptr<RouteWatcher::State>& state) {
    pthread_setname_np(pthread_self(), state->threadName.substr(0, 15).c_str());
    std::optional<RouteWatcher::Snapshot> last;
    bool changed = true;
    while (!state->stopping.load()) {
        if (changed) {
            changed = false;
            auto snapshot = RouteWatcher::read();  // a failed read waits for the next change
            if (snapshot && snapshot != last) {
                last = *snapshot;
                state->handler(*last);
                continue;  // the handler may have stopped the watcher
            }
        }
        std::array<pollfd, 2> fds{{{state->notifications.get(), POLLIN, 0}, {state->wakeup.get(), POLLIN, 0}}};
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            continue;
        }
        if (fds[1].revents != 0) {
            break;
        }
        if (fds[0].revents != 0 && drain(state->notifications.get())) {
            for (int round = 0; round < maxBurstRounds; ++round) {
                pollfd more{state->notifications.get(), POLLIN, 0};
                if (::poll(&more, 1, quietMs) <= 0 || !drain(state->notifications.get())) {
                    break;
                }
            }
            changed = true;
        }
    }
}

}  // namespace

bool RouteWatcher::Interface::isWiredEthernet() const { return linkType == ARPHRD_ETHER && !wireless; }

bool RouteWatcher::Interface::isUsable() const { return up && !loopback && addresses > 0; }

bool RouteWatcher::Snapshot::hasUsableInterface() const {
    return std::ranges::any_of(interfaces, &Interface::isUsable);
}

std::string RouteWatcher::Failure::text() const {
    const char* what = kind == Case::socketFailed ? "cannot open the routing socket: "
                                                  : "the routing request failed: ";
    return what + std::string(std::strerror(error));
}

std::expected<RouteWatcher::Snapshot, RouteWatcher::Failure> RouteWatcher::read() {
    auto fd = openRouteSocket(0);
    if (!fd) {
        return std::unexpected(fd.error());
    }
    return readWith(fd->get());
}

RouteWatcher::RouteWatcher(std::shared_ptr<State> state, std::thread thread)
    : state_(std::move(state)), thread_(std::move(thread)) {}

std::expected<std::shared_ptr<RouteWatcher>, RouteWatcher::Failure> RouteWatcher::start(
    std::string threadName, Handler handler) {
    // Subscribe before the first read so that no change falls between the two.
    auto notifications = openRouteSocket(RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR |
                                         RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE);
    if (!notifications) {
        return std::unexpected(notifications.error());
    }
    Fd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake.valid()) {
        return std::unexpected(Failure{Failure::Case::socketFailed, errno});
    }
    auto state = std::make_shared<State>(std::move(*notifications), std::move(wake), std::move(threadName),
                                         std::move(handler));
    std::thread thread([state] { watch(state); });
    return std::make_shared<RouteWatcher>(std::move(state), std::move(thread));
}

RouteWatcher::~RouteWatcher() {
    state_->stopping.store(true);
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(state_->wakeup.get(), &one, sizeof one);
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();  // the thread holds the state and ends once the handler returns
    } else if (thread_.joinable()) {
        thread_.join();
    }
}

}  // namespace zoranth
