#include "host/web/websocket_transport.h"

#include <boost/asio/buffer.hpp>
#include <boost/beast/websocket/rfc6455.hpp>

#include <string>

namespace zoranth {
namespace {

class TransportCategory : public boost::system::error_category {
  public:
    const char* name() const noexcept override { return "websocket guest"; }
    std::string message(int) const override { return "text message from a binary-only guest"; }
};

}  // namespace

WebSocketTransport::WebSocketTransport(std::unique_ptr<WebSocket> webSocket)
    : webSocket_(std::move(webSocket)) {}

boost::system::error_code WebSocketTransport::textMessage() {
    static const TransportCategory category;
    return {1, category};
}

void WebSocketTransport::receive(ReceiveHandler handler) {
    received_.consume(received_.size());
    webSocket_->async_read(received_, [this, handler = std::move(handler)](
                                          const boost::system::error_code& error, std::size_t) {
        if (error) {
            handler(error, {});
            return;
        }
        if (!webSocket_->got_binary()) {
            handler(textMessage(), {});
            return;
        }
        const auto data = received_.cdata();
        handler(error, std::span(static_cast<const std::uint8_t*>(data.data()), data.size()));
    });
}

void WebSocketTransport::send(std::span<const std::uint8_t> frame, SendHandler handler) {
    webSocket_->async_write(boost::asio::buffer(frame.data(), frame.size()),
                            [handler = std::move(handler)](const boost::system::error_code& error,
                                                           std::size_t) { handler(error); });
}

void WebSocketTransport::closeGracefully() {
    if (closing_ || !webSocket_->is_open()) {
        close();
        return;
    }
    closing_ = true;
    webSocket_->async_close(boost::beast::websocket::close_code::going_away,
                            [](const boost::system::error_code&) {});
}

void WebSocketTransport::close() {
    auto& socket = boost::beast::get_lowest_layer(*webSocket_).socket();
    boost::system::error_code ignored;
    socket.shutdown(boost::asio::ip::tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
}

boost::asio::ip::tcp::socket& WebSocketTransport::socket() {
    return boost::beast::get_lowest_layer(*webSocket_).socket();
}

}  // namespace zoranth
