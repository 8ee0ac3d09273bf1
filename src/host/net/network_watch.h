// Watches this machine's network over rtnetlink and reports whether guests could reach
// it at all (an interface beyond loopback is up with an address), how it is attached
// (Ethernet, Wi-Fi) and which interface guests use. Linux asks no permission for the
// local network: what stops guests is a missing network, avahi-daemon or the firewall,
// which the system checkup looks at. Create with std::make_shared,
// set the callbacks, then start() once from the owning thread. The kernel is read on a
// watcher thread; updates and callbacks run on the serial queue labelled queueLabel;
// status() and attachment() on any thread.
#pragma once

#include "host/link_capacity.h"
#include "host/serial_queue.h"
#include "platform/netlink/route_watcher.h"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace zoranth {

class NetworkWatch : public std::enable_shared_from_this<NetworkWatch> {
  public:
    struct Status {
        enum class Case { unavailable, unknown, available };
        Case kind = Case::unknown;
        std::string reason;  // why the network is unavailable; empty otherwise

        static Status unavailable(std::string reason) {
            return {Case::unavailable, std::move(reason)};
        }
        static Status unknown() { return {Case::unknown, {}}; }
        static Status available() { return {Case::available, {}}; }
        friend bool operator==(const Status&, const Status&) = default;
    };

    using StatusCallback = std::function<void(const Status&)>;
    using AttachmentCallback = std::function<void(LinkCapacity::HostAttachment)>;

    static constexpr std::string_view queueLabel = "com.zoranth.path";
    static constexpr std::string_view noInterfaceReason =
        "no network interface is up with an address";

    // Observes nothing until start().
    NetworkWatch() = default;
    NetworkWatch(const NetworkWatch&) = delete;
    NetworkWatch& operator=(const NetworkWatch&) = delete;

    // Starts the watcher; its first update follows at once. A machine whose network
    // cannot be watched stays `unknown` (and says why in the diagnostic log).
    void start();
    // Stops watching and drops the callbacks; nothing is reported afterwards, apart
    // from a callback already running. Called from the owning thread.
    void cancel();

    Status status() const;
    LinkCapacity::HostAttachment attachment() const;

    // Called when the status, or the attachment, differs from the last one stored.
    void setOnChange(StatusCallback callback);
    void setOnAttachmentChange(AttachmentCallback callback);

    // What a front end prints when the network becomes unavailable:
    // "WARNING: guests cannot reach this computer: no network interface is up with an address."
    static std::string unavailableWarning(const Status& status);

    // Available when a non-loopback interface is up with an address.
    static Status statusFor(const RouteWatcher::Snapshot& path);

    // The interface guests reach this computer through: the usable one that carries the
    // default route, else the first usable one; absent without any.
    static std::optional<std::string> guestInterface(const RouteWatcher::Snapshot& path);
    // The same for the network as it is now (read from the kernel once).
    static std::optional<std::string> guestInterface();

    // One network update: what the queue runs for every snapshot the watcher reads.
    void update(const std::optional<RouteWatcher::Snapshot>& path);

    // The queue updates and callbacks run on.
    SerialQueue& queue() { return queue_; }

  private:
    mutable std::mutex lock_;
    Status status_ = Status::unknown();
    LinkCapacity::HostAttachment attachment_ = LinkCapacity::HostAttachment::unknown;
    StatusCallback onChange_;
    AttachmentCallback onAttachmentChange_;
    SerialQueue queue_{std::string(queueLabel)};
    std::shared_ptr<RouteWatcher> watcher_;
};

}  // namespace zoranth
