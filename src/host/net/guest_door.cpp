#include "host/net/guest_door.h"

#include <boost/asio/dispatch.hpp>

#include <span>
#include <utility>

namespace zoranth {

GuestDoor::GuestDoor(Socket socket, std::chrono::milliseconds wait, Handler handler)
    : socket_(std::move(socket)),
      timer_(socket_.get_executor()),
      wait_(wait),
      handler_(std::move(handler)) {}

void GuestDoor::open() {
    boost::asio::dispatch(socket_.get_executor(), [self = shared_from_this()] {
        self->timer_.expires_after(self->wait_);
        self->timer_.async_wait([weak = self->weak_from_this()](
                                    const boost::system::error_code& error) {
            const auto door = weak.lock();
            if (!door || error || door->concluded_) {
                return;
            }
            // Silent so far: a native guest waiting for its hello. The pending read
            // ends, aborted, and concludes so.
            door->waitedOut_ = true;
            boost::system::error_code ignored;
            door->socket_.cancel(ignored);
        });
        self->read();
    });
}

void GuestDoor::read() {
    socket_.async_read_some(
        boost::asio::buffer(bytes_.data() + seen_, bytes_.size() - seen_),
        [self = shared_from_this()](const boost::system::error_code& error, std::size_t length) {
            self->readDone(error, length);
        });
}

void GuestDoor::readDone(const boost::system::error_code& error, std::size_t length) {
    seen_ += length;
    if (error && !(error == boost::asio::error::operation_aborted && waitedOut_)) {
        // Closed or reset before saying what it is.
        timer_.cancel();
        return;
    }
    const auto verdict = FirstBytes::judge(std::span(bytes_.data(), seen_));
    if (verdict == FirstBytes::Verdict::webClient) {
        conclude(Kind::webClient);
    } else if (verdict == FirstBytes::Verdict::nativeGuest || waitedOut_ ||
               seen_ == bytes_.size()) {
        conclude(Kind::nativeGuest);
    } else {
        read();
    }
}

void GuestDoor::conclude(Kind kind) {
    concluded_ = true;
    timer_.cancel();
    handler_(kind, std::move(socket_), std::vector<std::uint8_t>(bytes_.begin(),
                                                                 bytes_.begin() + seen_));
}

}  // namespace zoranth
