#include "host/net/local_network_permission.h"

#include "host/diagnostic_log.h"
#include "host/wifi_link.h"

namespace zoranth {

namespace {

// The thread that waits on the kernel; thread names are limited to 15 characters.
constexpr const char* watcherThreadName = "zoranth-path";

}  // namespace

void LocalNetworkPermission::start() {
    std::weak_ptr<LocalNetworkPermission> weak = weak_from_this();
    auto watcher =
        RouteWatcher::start(watcherThreadName, [weak](const RouteWatcher::Snapshot& path) {
            if (auto self = weak.lock()) {
                self->queue_.post([weak, path] {
                    if (auto owner = weak.lock()) {
                        owner->update(path);
                    }
                });
            }
        });
    if (!watcher) {
        DiagnosticLog::write("path", "path: cannot watch the network: " + watcher.error().text());
        return;
    }
    watcher_ = std::move(*watcher);
}

void LocalNetworkPermission::cancel() {
    watcher_.reset();
    std::lock_guard guard(lock_);
    onChange_ = nullptr;
    onAttachmentChange_ = nullptr;
}

LocalNetworkPermission::Status LocalNetworkPermission::status() const {
    std::lock_guard guard(lock_);
    return status_;
}

LinkCapacity::HostAttachment LocalNetworkPermission::attachment() const {
    std::lock_guard guard(lock_);
    return attachment_;
}

void LocalNetworkPermission::setOnChange(StatusCallback callback) {
    std::lock_guard guard(lock_);
    onChange_ = std::move(callback);
}

void LocalNetworkPermission::setOnAttachmentChange(AttachmentCallback callback) {
    std::lock_guard guard(lock_);
    onAttachmentChange_ = std::move(callback);
}

LocalNetworkPermission::Status LocalNetworkPermission::statusFor(
    const RouteWatcher::Snapshot& path) {
    if (path.hasUsableInterface()) {
        return Status::satisfied();
    }
    return Status::unavailable(std::string(noInterfaceReason));
}

void LocalNetworkPermission::update(const std::optional<RouteWatcher::Snapshot>& path) {
    const Status next = path ? statusFor(*path) : Status::unknown();
    const LinkCapacity::HostAttachment nextAttachment = WiFiLink::attachment(path);
    bool statusChanged = false;
    bool attachmentChanged = false;
    StatusCallback onChange;
    AttachmentCallback onAttachmentChange;
    {
        std::lock_guard guard(lock_);
        statusChanged = next != status_;
        attachmentChanged = nextAttachment != attachment_;
        status_ = next;
        attachment_ = nextAttachment;
        onChange = onChange_;
        onAttachmentChange = onAttachmentChange_;
    }
    if (statusChanged && onChange) {
        onChange(next);
    }
    if (attachmentChanged && onAttachmentChange) {
        onAttachmentChange(nextAttachment);
    }
}

}  // namespace zoranth
