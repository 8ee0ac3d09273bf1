// A browser guest's side of the host protocol for tests: a real WebSocket on /ws over
// loopback TCP, one wire frame per binary message both ways, read with timeouts.
// Also the page's plain HTTP fetch. One thread at a time.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket/stream.hpp>

#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "protocol/frame_decoder.h"
#include "protocol/wire_format.h"

namespace zoranth {

class WebTestGuest {
  public:
    static constexpr std::chrono::milliseconds patience{5000};

    struct Read {
        enum class Case { message, timedOut, closed, failed };
        Case kind = Case::timedOut;
        std::optional<Message> message;  // with `message`
        std::vector<std::uint8_t> bytes;  // the message as it came
    };

    // Connects and completes the WebSocket handshake on `target`.
    static std::expected<WebTestGuest, std::string> connect(std::uint16_t port,
                                                            const std::string& target = "/ws");

    WebTestGuest(WebTestGuest&&) noexcept;
    WebTestGuest& operator=(WebTestGuest&&) noexcept;
    ~WebTestGuest();

    bool send(const Message& message);
    // One binary message of these bytes; `text` sends a text message instead.
    bool sendMessage(std::span<const std::uint8_t> bytes, bool text = false);
    // Raw bytes on the TCP connection under the WebSocket.
    bool sendRaw(std::span<const std::uint8_t> bytes);

    Read next(std::chrono::milliseconds timeout = patience);
    std::optional<Message> nextMessage(std::chrono::milliseconds timeout = patience);
    // Messages until the host closes; nothing if it has not closed in time.
    std::optional<std::vector<Message>> readUntilClosed(
        std::chrono::milliseconds timeout = patience);

    // One HTTP/1.1 request on a new connection: the status and the body, or why not.
    struct Response {
        int status = 0;
        std::string body;
        std::string contentType;
    };
    static std::expected<Response, std::string> fetch(std::uint16_t port,
                                                      const std::string& target);

  private:
    using Stream = boost::beast::websocket::stream<boost::asio::ip::tcp::socket>;
    WebTestGuest();

    std::unique_ptr<boost::asio::io_context> context_;
    std::unique_ptr<Stream> stream_;
    boost::beast::flat_buffer buffer_;
    // One for the whole connection, as a guest's: audio makes sense after the hello.
    std::unique_ptr<FrameDecoder> decoder_ = std::make_unique<FrameDecoder>(65536);
};

}  // namespace zoranth
