#include "host/checks/discovery_check.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>

#include <future>
#include <memory>
#include <mutex>
#include <string>

#include "host/diagnostic_log.h"
#include "host/serial_queue.h"
#include "platform/avahi/avahi_daemon.h"
#include "platform/avahi/service_registration.h"

namespace zoranth {
namespace {

using boost::asio::ip::tcp;
using Outcome = DiscoveryCheck::Outcome;

// Lets exactly one of racing outcomes through: the first claim wins.
class OneShot {
  public:
    bool claim() {
        std::lock_guard guard(lock_);
        return !std::exchange(used_, true);
    }

  private:
    std::mutex lock_;
    bool used_ = false;
};

// Everything but the completion claim runs on `strand_`; the registration's events
// arrive on its own thread and only ever claim and post here.
class SelfTest : public std::enable_shared_from_this<SelfTest> {
  public:
    SelfTest(DiscoveryCheck::Handler done, std::chrono::milliseconds patience, std::string version)
        : strand_(boost::asio::make_strand(SerialQueue::context())),
          acceptor_(strand_),
          timer_(strand_),
          patience_(patience),
          version_(std::move(version)),
          done_(std::move(done)) {}

    void begin() {
        boost::asio::dispatch(strand_, [self = shared_from_this()] { self->setUp(); });
    }

  private:
    void setUp() {
        boost::system::error_code error;
        acceptor_.open(tcp::v4(), error);
        if (!error) {
            acceptor_.bind({boost::asio::ip::address_v4::loopback(), 0}, error);
        }
        if (!error) {
            acceptor_.listen(boost::asio::socket_base::max_listen_connections, error);
        }
        if (error) {
            DiagnosticLog::write("checkup", "discovery: no listener: " + error.message());
            finish({Outcome::Case::untestable, "a listener on 127.0.0.1: " + error.message()});
            return;
        }
        refuseNext();

        const std::uint16_t port = acceptor_.local_endpoint().port();
        auto registration = ServiceRegistration::start(
            {DiscoveryCheck::serviceType, "", port},
            [weak = weak_from_this()](const ServiceRegistration::Event& event) {
                if (auto self = weak.lock()) {
                    self->registrationChanged(event);
                }
            });
        if (!registration) {
            DiagnosticLog::write("checkup",
                                 "discovery: no advertisement: " + registration.error().text);
            finish({Outcome::Case::untestable, registration.error().text});
            return;
        }
        // An event that beat this assignment posted its teardown behind this very task.
        registration_ = std::move(*registration);

        timer_.expires_after(patience_);
        timer_.async_wait([self = shared_from_this()](const boost::system::error_code& waited) {
            if (!waited) {
                self->finish({Outcome::Case::unconfirmed, {}});
            }
        });
    }

    // Guests never connect to the self-test; anyone who does is let go at once.
    void refuseNext() {
        acceptor_.async_accept([self = shared_from_this()](const boost::system::error_code& error,
                                                           tcp::socket socket) {
            if (error) {
                return;  // closed by the teardown
            }
            boost::system::error_code ignored;
            socket.close(ignored);
            self->refuseNext();
        });
    }

    void registrationChanged(const ServiceRegistration::Event& event) {
        if (std::holds_alternative<ServiceRegistration::Established>(event)) {
            finish({Outcome::Case::confirmed, version_});
            return;
        }
        // The daemon answered on the bus a moment ago: its failure is the answer.
        const auto& failure = std::get<ServiceRegistration::Failure>(event);
        DiagnosticLog::write("checkup", "discovery: " + failure.text);
        finish({failure.kind == ServiceRegistration::Failure::Case::daemonMissing
                    ? Outcome::Case::daemonMissing
                    : Outcome::Case::refused,
                failure.text});
    }

    // Any thread. Only the first outcome goes on; the listener and the advertisement are
    // torn down on the strand, and only then does the caller hear of it. The registration
    // is never released under a lock its handler takes.
    void finish(Outcome outcome) {
        if (!once_.claim()) {
            return;
        }
        boost::asio::post(strand_, [self = shared_from_this(), outcome = std::move(outcome)] {
            self->registration_.reset();
            boost::system::error_code ignored;
            self->acceptor_.close(ignored);
            self->timer_.cancel();
            self->done_(outcome);
        });
    }

    boost::asio::strand<boost::asio::io_context::executor_type> strand_;
    tcp::acceptor acceptor_;
    boost::asio::steady_timer timer_;
    const std::chrono::milliseconds patience_;
    const std::string version_;
    DiscoveryCheck::Handler done_;
    OneShot once_;
    std::shared_ptr<ServiceRegistration> registration_;
};

}  // namespace

void DiscoveryCheck::begin(Handler done, std::chrono::milliseconds patience) {
    // Asked here rather than on the strand: the bus may take seconds to answer, and the
    // I/O threads serve guests meanwhile.
    const auto daemon = AvahiDaemon::version();
    if (!daemon) {
        done(outcomeOf(daemon.error()));
        return;
    }
    std::make_shared<SelfTest>(std::move(done), patience, *daemon)->begin();
}

DiscoveryCheck::Outcome DiscoveryCheck::outcomeOf(const AvahiDaemon::Failure& failure) {
    return {failure.kind == AvahiDaemon::Failure::Case::busUnreachable
                ? Outcome::Case::busUnreachable
                : Outcome::Case::daemonMissing,
            failure.text};
}

DiscoveryCheck::Outcome DiscoveryCheck::run(std::chrono::milliseconds patience) {
    auto delivered = std::make_shared<std::promise<Outcome>>();
    auto outcome = delivered->get_future();
    begin([delivered](Outcome result) { delivered->set_value(std::move(result)); }, patience);
    return outcome.get();
}

}  // namespace zoranth
