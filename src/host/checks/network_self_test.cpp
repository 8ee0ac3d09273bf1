#include "host/checks/network_self_test.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>

#include <memory>
#include <string>

#include "host/diagnostic_log.h"
#include "host/serial_queue.h"
#include "platform/avahi/service_registration.h"

namespace zoranth {
namespace {

using boost::asio::ip::tcp;
using Reason = MacCheckup::Reason;

// Everything but the completion claim runs on `strand_`; the registration's events
// arrive on its own thread and only ever claim and post here.
class SelfTest : public std::enable_shared_from_this<SelfTest> {
  public:
    SelfTest(MacCheckup::FindingHandler done, std::chrono::milliseconds patience)
        : strand_(boost::asio::make_strand(SerialQueue::context())),
          acceptor_(strand_),
          timer_(strand_),
          patience_(patience),
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
            DiagnosticLog::write("checkup", "local network: no listener: " + error.message());
            finish(Reason::networkUntestable);
            return;
        }
        refuseNext();

        const std::uint16_t port = acceptor_.local_endpoint().port();
        auto registration = ServiceRegistration::start(
            {std::string(MacCheckup::selfTestServiceType), "", port},
            [weak = weak_from_this()](const ServiceRegistration::Event& event) {
                if (auto self = weak.lock()) {
                    self->registrationChanged(event);
                }
            });
        if (!registration) {
            DiagnosticLog::write("checkup",
                                 "local network: no advertisement: " + registration.error().text);
            finish(Reason::networkUntestable);
            return;
        }
        // An event that beat this assignment posted its teardown behind this very task.
        registration_ = std::move(*registration);

        timer_.expires_after(patience_);
        timer_.async_wait([self = shared_from_this()](const boost::system::error_code& waited) {
            if (!waited) {
                self->finish(Reason::networkUnconfirmed);
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
            finish(Reason::networkOK);
            return;
        }
        // A missing daemon or a refusal is waited out: the timeout reports it.
        const auto& failure = std::get<ServiceRegistration::Failure>(event);
        DiagnosticLog::write("checkup", "local network: " + failure.text);
    }

    // Any thread. Only the first outcome goes on; the listener and the advertisement are
    // torn down on the strand, and only then does the caller hear of it. The registration
    // is never released under a lock its handler takes.
    void finish(Reason reason) {
        if (!once_.claim()) {
            return;
        }
        boost::asio::post(strand_, [self = shared_from_this(), reason] {
            self->registration_.reset();
            boost::system::error_code ignored;
            self->acceptor_.close(ignored);
            self->timer_.cancel();
            self->done_(MacCheckup::networkFinding(reason));
        });
    }

    boost::asio::strand<boost::asio::io_context::executor_type> strand_;
    tcp::acceptor acceptor_;
    boost::asio::steady_timer timer_;
    const std::chrono::milliseconds patience_;
    MacCheckup::FindingHandler done_;
    MacCheckup::OneShot once_;
    std::shared_ptr<ServiceRegistration> registration_;
};

}  // namespace

void NetworkSelfTest::begin(MacCheckup::FindingHandler done, std::chrono::milliseconds patience) {
    std::make_shared<SelfTest>(std::move(done), patience)->begin();
}

}  // namespace zoranth
