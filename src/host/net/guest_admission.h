// Who may come in: a limit on the guests of the rave, and one on the connections from a
// single address that are not guests yet (at the door, loading the page, or joined but
// silent so far), so that one device opening connections by the hundred cannot crowd out
// the room. A connection beyond a limit is closed at once; refusals, and connections closed
// for staying silent, are told in one log line per address and burst, not one per
// connection. Thread-safe; its lock is never
// held while logging or calling out.
#pragma once

#include <boost/asio/ip/address.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace zoranth {

class GuestAdmission : public std::enable_shared_from_this<GuestAdmission> {
  public:
    static constexpr std::size_t defaultMaxGuests = 256;
    static constexpr std::size_t maxGuestsCeiling = 4096;
    struct Limits {
        std::size_t maxGuests = defaultMaxGuests;
        // Connections from one address not yet proven guests; 0: as many as maxGuests
        // (a whole room arriving at once, as a swarm of simulated guests does).
        std::size_t maxUnprovenPerAddress = 0;
        // How long a native connection may stay silent after its hello (tests shorten it).
        std::chrono::milliseconds proofLimit{5000};
        friend bool operator==(const Limits&, const Limits&) = default;
    };

    // Why a connection was turned away.
    enum class Reason { roomFull, addressBusy };

    // What the owner shows: how often a limit was hit and the latest burst's line.
    struct Refusals {
        std::int64_t total = 0;
        std::optional<std::string> latest;  // "refused 3 connections from …: …"
    };

    // Held by a connection from `address` until it is a guest or gone.
    class Ticket {
      public:
        Ticket(std::weak_ptr<GuestAdmission> desk, std::string address);
        ~Ticket();
        Ticket(const Ticket&) = delete;
        Ticket& operator=(const Ticket&) = delete;
        // The connection became a guest (or left): it no longer counts. Idempotent.
        void release();
        const std::string& address() const { return address_; }

      private:
        std::weak_ptr<GuestAdmission> desk_;
        const std::string address_;
        bool released_ = false;
    };

    // `log` receives the burst lines; `later` runs work after a delay on the owner's queue,
    // to close a burst.
    using Log = std::function<void(const std::string&)>;
    using Later = std::function<void(std::chrono::milliseconds, std::function<void()>)>;
    GuestAdmission(Log log, Later later);

    void setLimits(const Limits& limits);
    Limits limits() const;
    std::size_t maxUnprovenPerAddress() const;

    // A ticket for a new connection from `address`, or none (it is refused and counted).
    std::shared_ptr<Ticket> enter(const boost::asio::ip::address& address);
    // Whether a room of `guests` takes one more; if not, the refusal of one from `address`
    // is counted.
    bool roomFor(std::size_t guests, const std::string& address);
    Refusals refusals() const;
    // A connection from `address` was closed for sending nothing in its proof limit.
    void closedSilent(const std::string& address);

    // The address as people write it, with IPv4-mapped IPv6 addresses shown as IPv4.
    static std::string describe(const boost::asio::ip::address& address);
    // How long refusals from one address are gathered into one line.
    static constexpr std::chrono::milliseconds burstWindow{2000};

  private:
    struct Burst {
        std::int64_t count = 0;
        Reason reason = Reason::roomFull;
    };
    void refuse(const std::string& address, Reason reason, std::size_t limit);
    void closeBurst(const std::string& address);
    void closeSilences(const std::string& address);
    // Runs `close` for `address` once the burst window has passed.
    void closeLater(const std::string& address, void (GuestAdmission::*close)(const std::string&));
    void left(const std::string& address);

    const Log log_;
    const Later later_;
    mutable std::mutex lock_;
    Limits limits_;
    std::map<std::string, std::size_t> unproven_;
    std::map<std::string, Burst> bursts_;
    std::map<std::string, std::int64_t> silences_;  // closed for silence, this burst
    Refusals refusals_;
};

}  // namespace zoranth
