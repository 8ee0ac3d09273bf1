#include "web_test_guest.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <sys/socket.h>
#include <sys/time.h>

#include "protocol/frame_decoder.h"
#include "protocol/frame_encoder.h"

namespace zoranth {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
using tcp = asio::ip::tcp;

void setReceiveTimeout(tcp::socket& socket, std::chrono::milliseconds timeout) {
    timeval value{};
    value.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    value.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
    ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value);
}

bool connectTo(tcp::socket& socket, std::uint16_t port, std::string& why) {
    beast::error_code error;
    socket.connect({asio::ip::make_address("127.0.0.1"), port}, error);
    if (error) {
        why = "connect: " + error.message();
        return false;
    }
    return true;
}

}  // namespace

WebTestGuest::WebTestGuest() : context_(std::make_unique<asio::io_context>()) {}
WebTestGuest::WebTestGuest(WebTestGuest&&) noexcept = default;
WebTestGuest& WebTestGuest::operator=(WebTestGuest&&) noexcept = default;
WebTestGuest::~WebTestGuest() = default;

std::expected<WebTestGuest, std::string> WebTestGuest::connect(std::uint16_t port,
                                                               const std::string& target) {
    WebTestGuest guest;
    guest.stream_ = std::make_unique<Stream>(*guest.context_);
    std::string why;
    if (!connectTo(guest.stream_->next_layer(), port, why)) {
        return std::unexpected(why);
    }
    setReceiveTimeout(guest.stream_->next_layer(), patience);
    beast::error_code error;
    guest.stream_->binary(true);
    guest.stream_->handshake("127.0.0.1:" + std::to_string(port), target, error);
    if (error) {
        return std::unexpected("handshake: " + error.message());
    }
    return guest;
}

bool WebTestGuest::send(const Message& message) {
    const auto frame = FrameEncoder::encode(message);
    return sendMessage(frame);
}

bool WebTestGuest::sendMessage(std::span<const std::uint8_t> bytes, bool text) {
    beast::error_code error;
    stream_->text(text);
    stream_->write(asio::buffer(bytes.data(), bytes.size()), error);
    stream_->binary(true);
    return !error;
}

bool WebTestGuest::sendRaw(std::span<const std::uint8_t> bytes) {
    beast::error_code error;
    asio::write(stream_->next_layer(), asio::buffer(bytes.data(), bytes.size()), error);
    return !error;
}

WebTestGuest::Read WebTestGuest::next(std::chrono::milliseconds timeout) {
    setReceiveTimeout(stream_->next_layer(), timeout);
    buffer_.consume(buffer_.size());
    beast::error_code error;
    stream_->read(buffer_, error);
    Read read;
    if (error == asio::error::would_block || error == asio::error::try_again ||
        error == asio::error::timed_out) {
        read.kind = Read::Case::timedOut;
        return read;
    }
    if (error) {
        read.kind = error == beast::websocket::error::closed || error == asio::error::eof ||
                            error == asio::error::connection_reset
                        ? Read::Case::closed
                        : Read::Case::failed;
        return read;
    }
    const auto data = buffer_.cdata();
    const auto* begin = static_cast<const std::uint8_t*>(data.data());
    read.bytes.assign(begin, begin + data.size());
    decoder_->append(read.bytes);
    auto decoded = decoder_->next();
    if (!decoded || !*decoded || decoder_->bufferedByteCount() != 0) {
        read.kind = Read::Case::failed;
        return read;
    }
    read.kind = Read::Case::message;
    read.message = std::move(**decoded);
    return read;
}

std::optional<Message> WebTestGuest::nextMessage(std::chrono::milliseconds timeout) {
    Read read = next(timeout);
    return read.kind == Read::Case::message ? std::move(read.message) : std::nullopt;
}

std::optional<std::vector<Message>> WebTestGuest::readUntilClosed(
    std::chrono::milliseconds timeout) {
    std::vector<Message> messages;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left <= std::chrono::milliseconds(0)) {
            return std::nullopt;
        }
        Read read = next(left);
        switch (read.kind) {
            case Read::Case::message:
                messages.push_back(std::move(*read.message));
                break;
            case Read::Case::closed:
                return messages;
            case Read::Case::timedOut:
            case Read::Case::failed:
                return std::nullopt;
        }
    }
}

std::expected<WebTestGuest::Response, std::string> WebTestGuest::fetch(std::uint16_t port,
                                                                       const std::string& target) {
    asio::io_context context;
    tcp::socket socket(context);
    std::string why;
    if (!connectTo(socket, port, why)) {
        return std::unexpected(why);
    }
    setReceiveTimeout(socket, patience);
    namespace http = beast::http;
    http::request<http::empty_body> request{http::verb::get, target, 11};
    request.set(http::field::host, "127.0.0.1:" + std::to_string(port));
    request.set(http::field::connection, "close");
    beast::error_code error;
    http::write(socket, request, error);
    if (error) {
        return std::unexpected("write: " + error.message());
    }
    beast::flat_buffer buffer;
    http::response<http::string_body> response;
    http::read(socket, buffer, response, error);
    if (error) {
        return std::unexpected("read: " + error.message());
    }
    return Response{static_cast<int>(response.result_int()), response.body(),
                    std::string(response[http::field::content_type])};
}

}  // namespace zoranth
