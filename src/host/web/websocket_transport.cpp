#include "host/web/websocket_transport.h"

#include <boost/asio/buffer.hpp>
#include <boost/beast/websocket/rfc6455.hpp>
#include <boost/beast/websocket/stream_base.hpp>

#include <string>

namespace zoranth {
namespace {

class TransportCategory : public boost::system::error_category {
  public:
    const char* name() const noexcept override { return "websocket guest"; }
    std::string message(int) const override { return "text message from a binary-only guest"; }
};

}  // namespace

WebSocketTransport::WebSocketTransport(std::unique_ptr<WebSocket> webSocket,
                                       std::chrono::milliseconds closingTime)
    : webSocket_(std::move(webSocket)) {
    boost::beast::websocket::stream_base::timeout timeouts{};
    webSocket_->get_option(timeouts);
    timeouts.handshake_timeout = closingTime;
    webSocket_->set_option(timeouts);
}

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

void WebSocketTransport::closeGracefully(CloseHandler done) {
    if (closing_ || !webSocket_->is_open()) {
        close();
        if (done) {
            done();
        }
        return;
    }
    closing_ = true;
    webSocket_->async_close(boost::beast::websocket::close_code::going_away,
                            [done = std::move(done)](const boost::system::error_code&) {
                                if (done) {
                                    done();
                                }
                            });
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
