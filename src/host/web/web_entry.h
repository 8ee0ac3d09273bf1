// One browser's HTTP connection to the host: reads requests within fixed limits,
// answers them from the embedded guest page, and turns an upgrade on /ws into an
// accepted WebSocket that it hands to the owner as a guest. A client that is slow to
// send a request, sends too much or speaks no HTTP is closed with one log line; an
// idle keep-alive connection is closed quietly. Create it with std::make_shared. It
// runs on the executor of the socket it is given, which must be a strand (the serial
// queue the guest keeps after an upgrade); start() and close() may be called from any
// thread.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/websocket/stream.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "host/diagnostic_log.h"
#include "host/web/web_routes.h"

namespace zoranth {

class WebEntry : public std::enable_shared_from_this<WebEntry> {
  public:
    using Socket = boost::asio::ip::tcp::socket;
    using WebSocket = boost::beast::websocket::stream<boost::beast::tcp_stream>;
    // Called on the socket's executor with the guest's accepted WebSocket.
    using GuestHandler = std::function<void(std::unique_ptr<WebSocket> webSocket)>;

    struct Limits {
        // The request line and every header together.
        std::size_t headBytes = 8192;
        // For a whole request head to arrive, for a response to be taken, and for the
        // WebSocket handshake: a slow or stalled client is let go after this.
        std::chrono::milliseconds exchangeTime{10000};
        // A WebSocket guest's largest message: one frame of the wire protocol.
        std::size_t messageBytes = 65543;
        // A WebSocket guest silent this long is pinged; silent for as long again, closed.
        std::chrono::milliseconds guestIdleTime{10000};
    };

    static constexpr std::string_view category = "web";

    // `firstBytes` are what the client sent before the host knew it spoke HTTP;
    // `endpoint` ("host:port") names the client in log lines; `raveName` is shown by
    // the page.
    WebEntry(Socket socket, std::string endpoint, std::span<const std::uint8_t> firstBytes,
             std::string_view raveName, GuestHandler onGuest, DiagnosticSink log, Limits limits);
    WebEntry(const WebEntry&) = delete;
    WebEntry& operator=(const WebEntry&) = delete;

    void start();
    void close();

    const std::string& endpoint() const { return endpoint_; }

  private:
    void readRequest();
    void requestRead(const boost::beast::error_code& error);
    void respond(WebRoutes::Answer answer);
    void responded(const boost::beast::error_code& error, bool closeAfter);
    void upgrade();
    void accepted(const boost::beast::error_code& error);
    void finish();
    void log(const std::string& text) const;

    const std::string endpoint_;
    const std::string raveJson_;
    const GuestHandler onGuest_;
    const DiagnosticSink log_;
    const Limits limits_;
    const Socket::executor_type executor_;  // the strand; stream_ moves on at an upgrade
    boost::beast::tcp_stream stream_;
    boost::beast::flat_buffer buffer_;
    std::optional<boost::beast::http::request_parser<boost::beast::http::empty_body>> parser_;
    std::optional<WebRoutes::Response> response_;  // outlives its write
    std::unique_ptr<WebSocket> webSocket_;         // during the handshake
    std::int64_t served_ = 0;
    bool finished_ = false;
};

}  // namespace zoranth
