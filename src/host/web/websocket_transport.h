// A guest's WebSocket as the carrier of its wire frames: each binary message holds
// exactly one frame, in both directions, so a browser guest gets the very frames a
// native guest reads off its TCP stream. Owned by one guest connection and used only
// on the WebSocket's executor (the guest's strand): one receive and one send may be
// outstanding at a time.
#pragma once

#include <boost/asio/buffer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/system/error_code.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <utility>

#include "host/web/web_entry.h"

namespace zoranth {

class WebSocketTransport {
  public:
    using WebSocket = WebEntry::WebSocket;
    // The message's bytes are valid only during the call.
    using ReceiveHandler =
        std::function<void(const boost::system::error_code&, std::span<const std::uint8_t>)>;
    using CloseHandler = std::function<void()>;

    // Once the guest is accepted, its closing handshake (ours, or the one a frame that
    // breaks the protocol starts) gets `closingTime` for the browser to answer before the
    // connection is torn down.
    explicit WebSocketTransport(std::unique_ptr<WebSocket> webSocket,
                                std::chrono::milliseconds closingTime = std::chrono::seconds(2));

    // The next message. A text message fails with textMessage(); one beyond the
    // size limit with Beast's message_too_big.
    void receive(ReceiveHandler handler);
    // One frame as one binary message; the bytes must stay valid until the handler,
    // which is called as (error_code, bytes written). A template, so that a handler's
    // own allocator and executor reach the write (the audio path allocates nothing).
    template <class Handler>
    void send(std::span<const std::uint8_t> frame, Handler&& handler) {
        webSocket_->async_write(boost::asio::buffer(frame.data(), frame.size()),
                                std::forward<Handler>(handler));
    }
    // Ends the WebSocket with a close frame ("going away"); `done` runs once the browser
    // answered, the handshake limit passed or the connection failed.
    void closeGracefully(CloseHandler done = {});
    // Ends it at once.
    void close();

    boost::asio::ip::tcp::socket& socket();

    // Guests speak binary frames only.
    static boost::system::error_code textMessage();

  private:
    std::unique_ptr<WebSocket> webSocket_;
    boost::beast::flat_buffer received_;
    bool closing_ = false;
};

}  // namespace zoranth
