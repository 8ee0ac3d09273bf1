#include "host/net/network_watch.h"

#include "host/diagnostic_log.h"
#include "host/wifi_link.h"

namespace zoranth {

namespace {

// The thread that waits on the kernel; thread names are limited to 15 characters.
constexpr const char* watcherThreadName = "zoranth-path";

}  // namespace

void NetworkWatch::start() {
    std::weak_ptr<NetworkWatch> weak = weak_from_this();
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

void NetworkWatch::cancel() {
    watcher_.reset();
    std::lock_guard guard(lock_);
    onChange_ = nullptr;
    onAttachmentChange_ = nullptr;
}

NetworkWatch::Status NetworkWatch::status() const {
    std::lock_guard guard(lock_);
    return status_;
}

LinkCapacity::HostAttachment NetworkWatch::attachment() const {
    std::lock_guard guard(lock_);
    return attachment_;
}

void NetworkWatch::setOnChange(StatusCallback callback) {
    std::lock_guard guard(lock_);
    onChange_ = std::move(callback);
}

void NetworkWatch::setOnAttachmentChange(AttachmentCallback callback) {
    std::lock_guard guard(lock_);
    onAttachmentChange_ = std::move(callback);
}

NetworkWatch::Status NetworkWatch::statusFor(const RouteWatcher::Snapshot& path) {
    if (path.hasUsableInterface()) {
        return Status::available();
    }
    return Status::unavailable(std::string(noInterfaceReason));
}

std::string NetworkWatch::unavailableWarning(const Status& status) {
    return "WARNING: guests cannot reach this computer: " +
           (status.reason.empty() ? std::string("it has no network") : status.reason) + ".";
}

std::optional<std::string> NetworkWatch::guestInterface(const RouteWatcher::Snapshot& path) {
    const RouteWatcher::Interface* chosen = nullptr;
    for (const RouteWatcher::Interface& candidate : path.interfaces) {
        if (!candidate.isUsable()) {
            continue;
        }
        if (candidate.carriesDefaultRoute) {
            return candidate.name;
        }
        if (chosen == nullptr) {
            chosen = &candidate;
        }
    }
    return chosen ? std::optional(chosen->name) : std::nullopt;
}

std::optional<std::string> NetworkWatch::guestInterface() {
    const auto path = RouteWatcher::read();
    return path ? guestInterface(*path) : std::nullopt;
}

void NetworkWatch::update(const std::optional<RouteWatcher::Snapshot>& path) {
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
