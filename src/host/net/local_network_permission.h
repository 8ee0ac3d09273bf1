// Watches this machine's network and reports whether local networking works and how
// the machine is attached (Ethernet, Wi-Fi). Linux asks no permission for the local
// network, so `denied` never comes from the system here. Create with std::make_shared,
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

class LocalNetworkPermission : public std::enable_shared_from_this<LocalNetworkPermission> {
  public:
    struct Status {
        enum class Case { unavailable, unknown, satisfied, denied };
        Case kind = Case::unknown;
        std::string reason;  // why local networking is unavailable; empty otherwise

        static Status unavailable(std::string reason) {
            return {Case::unavailable, std::move(reason)};
        }
        static Status unknown() { return {Case::unknown, {}}; }
        static Status satisfied() { return {Case::satisfied, {}}; }
        static Status denied() { return {Case::denied, {}}; }
        friend bool operator==(const Status&, const Status&) = default;
    };

    using StatusCallback = std::function<void(const Status&)>;
    using AttachmentCallback = std::function<void(LinkCapacity::HostAttachment)>;

    static constexpr std::string_view queueLabel = "com.zoranth.path";
    static constexpr std::string_view noInterfaceReason =
        "no network interface is up with an address";

    // Observes nothing until start().
    LocalNetworkPermission() = default;
    LocalNetworkPermission(const LocalNetworkPermission&) = delete;
    LocalNetworkPermission& operator=(const LocalNetworkPermission&) = delete;

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

    // Satisfied when a non-loopback interface is up with an address.
    static Status statusFor(const RouteWatcher::Snapshot& path);

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
