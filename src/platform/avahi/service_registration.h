// Advertises one DNS-SD service (type, name, port, no TXT record) through the Avahi
// daemon, follows it while it lives and withdraws it on destruction. Create it with
// start() from any thread; events arrive on the registration's own event thread, and
// the registration may be destroyed from any thread, the handler included.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace zoranth {

class ServiceRegistration : public std::enable_shared_from_this<ServiceRegistration> {
  public:
    struct Service {
        std::string type;  // "_zoranth._tcp"
        std::string name;  // empty: the computer's name as Avahi publishes it
        std::uint16_t port = 0;
    };

    // The service is on the network under this name. After a collision it is the
    // alternative name Avahi proposed, not the one asked for.
    struct Established {
        std::string name;
        friend bool operator==(const Established&, const Established&) = default;
    };

    struct Failure {
        enum class Case {
            daemonMissing,       // no D-Bus system bus, or no avahi-daemon on it (or it went away)
            registrationFailed,  // the daemon refused or dropped the service
            eventLoopFailed,     // the event thread could not be set up
        };
        Case kind;
        int code;          // the Avahi error code
        std::string text;  // Avahi's text for it ("Daemon not running")
        friend bool operator==(const Failure&, const Failure&) = default;
    };

    using Event = std::variant<Established, Failure>;
    using Handler = std::function<void(const Event&)>;

    // Starts registering; every outcome, a missing daemon included, reaches the handler
    // on the event thread. Only a failure to set up that thread is returned here.
    // While the daemon is missing the registration waits for it and registers when it
    // appears; a daemon that goes away is reported as missing and waited for again.
    static std::expected<std::shared_ptr<ServiceRegistration>, Failure> start(Service service,
                                                                              Handler handler);

    ~ServiceRegistration();
    ServiceRegistration(const ServiceRegistration&) = delete;
    ServiceRegistration& operator=(const ServiceRegistration&) = delete;

    // The established name, absent until Avahi confirms it and after any failure.
    std::optional<std::string> establishedName() const;

    // The latest failure, with Avahi's own text, while the service is not established;
    // absent once it is (again) and before anything went wrong.
    std::optional<Failure> lastFailure() const;

    // A DNS-SD instance name is one DNS label of at most 63 bytes; a longer name is cut
    // at that length without splitting a UTF-8 character.
    static std::string fitName(std::string_view name);
    static constexpr std::size_t maxNameBytes = 63;

    struct Core;  // the Avahi side, owned here and reached by the event thread
    struct Token {};
    ServiceRegistration(Token, Handler handler);

  private:
    void deliver(const Event& event);

    const Handler handler_;
    mutable std::mutex lock_;
    std::optional<std::string> established_;
    std::optional<Failure> lastFailure_;
    std::unique_ptr<Core> core_;
};

}  // namespace zoranth
