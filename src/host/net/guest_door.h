// Where a new connection on the guests' one port waits until its first bytes tell
// what it is: a browser sends its HTTP request at once, while a native guest waits for
// the hello and may send nothing at all. Whatever was read is handed on with the
// socket, so no byte of either kind is lost. A connection that closes before it is
// told apart is let go without a word (port scanners, probes). Create it with
// std::make_shared; it runs on the executor of the socket it is given.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "host/web/first_bytes.h"

namespace zoranth {

class GuestDoor : public std::enable_shared_from_this<GuestDoor> {
  public:
    using Socket = boost::asio::ip::tcp::socket;
    enum class Kind { nativeGuest, webClient };
    // Called once, on the socket's executor, unless the connection closed first.
    using Handler = std::function<void(Kind, Socket, std::vector<std::uint8_t> firstBytes)>;

    GuestDoor(Socket socket, std::chrono::milliseconds wait, Handler handler);
    GuestDoor(const GuestDoor&) = delete;
    GuestDoor& operator=(const GuestDoor&) = delete;

    void open();

  private:
    void read();
    void readDone(const boost::system::error_code& error, std::size_t length);
    void conclude(Kind kind);

    Socket socket_;
    boost::asio::steady_timer timer_;
    const std::chrono::milliseconds wait_;
    Handler handler_;
    std::array<std::uint8_t, FirstBytes::decisive> bytes_{};
    std::size_t seen_ = 0;
    bool waitedOut_ = false;
    bool concluded_ = false;
};

}  // namespace zoranth
