#include "host/net/guest_admission.h"

#include <algorithm>
#include <utility>

namespace zoranth {

GuestAdmission::Ticket::Ticket(std::weak_ptr<GuestAdmission> desk, std::string address)
    : desk_(std::move(desk)), address_(std::move(address)) {}

GuestAdmission::Ticket::~Ticket() {
    release();
}

void GuestAdmission::Ticket::release() {
    if (released_) {
        return;
    }
    released_ = true;
    if (const auto desk = desk_.lock()) {
        desk->left(address_);
    }
}

GuestAdmission::GuestAdmission(Log log, Later later)
    : log_(std::move(log)), later_(std::move(later)) {}

void GuestAdmission::setLimits(const Limits& limits) {
    std::lock_guard guard(lock_);
    limits_ = limits;
    limits_.maxGuests = std::clamp<std::size_t>(limits_.maxGuests, 1, maxGuestsCeiling);
}

GuestAdmission::Limits GuestAdmission::limits() const {
    std::lock_guard guard(lock_);
    return limits_;
}

std::size_t GuestAdmission::maxUnprovenPerAddress() const {
    const Limits limits = this->limits();
    return limits.maxUnprovenPerAddress != 0 ? limits.maxUnprovenPerAddress : limits.maxGuests;
}

std::shared_ptr<GuestAdmission::Ticket> GuestAdmission::enter(
    const boost::asio::ip::address& address) {
    const std::string text = describe(address);
    const std::size_t limit = maxUnprovenPerAddress();
    {
        std::lock_guard guard(lock_);
        std::size_t& count = unproven_[text];
        if (count < limit) {
            ++count;
            return std::make_shared<Ticket>(weak_from_this(), text);
        }
    }
    refuse(text, Reason::addressBusy, limit);
    return nullptr;
}

bool GuestAdmission::roomFor(std::size_t guests, const std::string& address) {
    const std::size_t limit = limits().maxGuests;
    if (guests < limit) {
        return true;
    }
    refuse(address, Reason::roomFull, limit);
    return false;
}

GuestAdmission::Refusals GuestAdmission::refusals() const {
    std::lock_guard guard(lock_);
    return refusals_;
}

void GuestAdmission::left(const std::string& address) {
    std::lock_guard guard(lock_);
    const auto it = unproven_.find(address);
    if (it != unproven_.end() && --it->second == 0) {
        unproven_.erase(it);
    }
}

// The first refusal of a burst opens it; the line goes out when the burst window closes.
void GuestAdmission::refuse(const std::string& address, Reason reason, std::size_t limit) {
    bool opens = false;
    {
        std::lock_guard guard(lock_);
        ++refusals_.total;
        Burst& burst = bursts_[address];
        opens = burst.count == 0;
        ++burst.count;
        burst.reason = reason;
        if (opens && !refusals_.latest) {
            // Shown at once the first time; the burst's own line replaces it when it closes.
            refusals_.latest = "refusing connections from " + address + ": " +
                               (reason == Reason::roomFull
                                    ? "the rave has its " + std::to_string(limit) + " guests"
                                    : std::to_string(limit) +
                                          " connections from it are not guests yet");
        }
    }
    if (opens) {
        closeLater(address, &GuestAdmission::closeBurst);
    }
}

void GuestAdmission::closedSilent(const std::string& address) {
    bool opens = false;
    {
        std::lock_guard guard(lock_);
        opens = silences_[address]++ == 0;
    }
    if (opens) {
        closeLater(address, &GuestAdmission::closeSilences);
    }
}

void GuestAdmission::closeLater(const std::string& address,
                                void (GuestAdmission::*close)(const std::string&)) {
    later_(burstWindow, [weak = weak_from_this(), address, close] {
        if (const auto self = weak.lock()) {
            ((*self).*close)(address);
        }
    });
}

void GuestAdmission::closeSilences(const std::string& address) {
    std::int64_t count = 0;
    std::int64_t limitMs = 0;
    {
        std::lock_guard guard(lock_);
        const auto it = silences_.find(address);
        if (it == silences_.end()) {
            return;
        }
        count = it->second;
        silences_.erase(it);
        limitMs = limits_.proofLimit.count();
    }
    const bool one = count == 1;
    log_("closed " + std::to_string(count) + (one ? " connection" : " connections") + " from " +
         address + ": " + (one ? "it" : "they") + " sent nothing in " + std::to_string(limitMs) +
         " ms after " + (one ? "its" : "their") + " hello");
}

void GuestAdmission::closeBurst(const std::string& address) {
    std::string line;
    {
        std::lock_guard guard(lock_);
        const auto it = bursts_.find(address);
        if (it == bursts_.end()) {
            return;
        }
        const Burst burst = it->second;
        bursts_.erase(it);
        const std::size_t limit =
            burst.reason == Reason::roomFull
                ? limits_.maxGuests
                : (limits_.maxUnprovenPerAddress != 0 ? limits_.maxUnprovenPerAddress
                                                      : limits_.maxGuests);
        line = "refused " + std::to_string(burst.count) +
               (burst.count == 1 ? " connection" : " connections") + " from " + address + ": " +
               (burst.reason == Reason::roomFull
                    ? "the rave has its " + std::to_string(limit) + " guests"
                    : std::to_string(limit) + " connections from it are not guests yet");
        refusals_.latest = line;
    }
    log_(line);
}

std::string GuestAdmission::describe(const boost::asio::ip::address& address) {
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        return boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, address.to_v6())
            .to_string();
    }
    return address.to_string();
}

}  // namespace zoranth
