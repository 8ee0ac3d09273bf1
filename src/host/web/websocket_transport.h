// A guest's WebSocket as the carrier of its wire frames: each binary message holds
// exactly one frame, in both directions, so a browser guest gets the very frames a
// native guest reads off its TCP stream. Owned by one guest connection and used only
// on the WebSocket's executor (the guest's strand): one receive and one send may be
// outstanding at a time.
#pragma once

#include <boost/beast/core/flat_buffer.hpp>
#include <boost/system/error_code.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <span>

#include "host/web/web_entry.h"

namespace zoranth {

class WebSocketTransport {
  public:
    using WebSocket = WebEntry::WebSocket;
    // The message's bytes are valid only during the call.
    using ReceiveHandler =
        std::function<void(const boost::system::error_code&, std::span<const std::uint8_t>)>;
    using SendHandler = std::function<void(const boost::system::error_code&)>;

    explicit WebSocketTransport(std::unique_ptr<WebSocket> webSocket);

    // The next message. A text message fails with textMessage(); one beyond the
    // size limit with Beast's message_too_big.
    void receive(ReceiveHandler handler);
    // One frame as one binary message; the bytes must stay valid until the handler.
    void send(std::span<const std::uint8_t> frame, SendHandler handler);
    // Ends the WebSocket with a close frame ("going away"); the TCP connection closes
    // once the browser answers or the handshake limit passes.
    void closeGracefully();
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
