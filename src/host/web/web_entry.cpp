#include "host/web/web_entry.h"

#include <boost/asio/buffer.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/beast/websocket/error.hpp>
#include <boost/beast/websocket/stream_base.hpp>

#include <utility>

namespace zoranth {
namespace {

namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace websocket = boost::beast::websocket;

}  // namespace

WebEntry::WebEntry(Socket socket, std::string endpoint, std::span<const std::uint8_t> firstBytes,
                   std::string_view raveName, GuestHandler onGuest, DiagnosticSink log,
                   Limits limits)
    : endpoint_(std::move(endpoint)),
      raveJson_(WebRoutes::raveJson(raveName)),
      onGuest_(std::move(onGuest)),
      log_(std::move(log)),
      limits_(limits),
      executor_(socket.get_executor()),
      stream_(std::move(socket)) {
    const std::size_t copied =
        boost::asio::buffer_copy(buffer_.prepare(firstBytes.size()),
                                 boost::asio::buffer(firstBytes.data(), firstBytes.size()));
    buffer_.commit(copied);
}

void WebEntry::start() {
    boost::asio::dispatch(executor_, [self = shared_from_this()] { self->readRequest(); });
}

void WebEntry::close() {
    boost::asio::dispatch(executor_, [self = shared_from_this()] { self->finish(); });
}

// Everything below runs on the socket's strand.

void WebEntry::readRequest() {
    if (finished_) {
        return;
    }
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(limits_.headBytes));
    // A GET has no body; an empty body refuses any that is announced.
    parser_->body_limit(0);
    stream_.expires_after(limits_.exchangeTime);
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](const beast::error_code& error, std::size_t) {
                         self->requestRead(error);
                     });
}

void WebEntry::requestRead(const beast::error_code& error) {
    if (finished_) {
        return;
    }
    if (error) {
        const bool idle = buffer_.size() == 0 && !parser_->got_some();
        if (error == http::error::end_of_stream && idle) {
            // The browser closed a keep-alive connection between requests.
        } else if (error == beast::error::timeout && idle && served_ > 0) {
            // An idle keep-alive connection: let it go without a word.
        } else if (error == beast::error::timeout) {
            log("web client " + endpoint_ + " timed out before sending a whole request");
        } else if (error == http::error::header_limit) {
            log("web client " + endpoint_ + " sent a request head beyond " +
                std::to_string(limits_.headBytes) + " bytes");
        } else if (error == http::error::body_limit || error == http::error::unexpected_body) {
            log("web client " + endpoint_ + " sent a request body");
        } else if (error != boost::asio::error::operation_aborted) {
            log("web client " + endpoint_ + " sent a bad request: " + error.message());
        }
        finish();
        return;
    }
    WebRoutes::Answer answer = WebRoutes::answer(parser_->get(), raveJson_);
    if (answer.kind == WebRoutes::Answer::Kind::upgrade) {
        upgrade();
        return;
    }
    if (answer.kind == WebRoutes::Answer::Kind::refused) {
        log("web client " + endpoint_ + " refused: " + std::string(answer.reason));
    }
    respond(std::move(answer));
}

void WebEntry::respond(WebRoutes::Answer answer) {
    const bool closeAfter =
        answer.kind == WebRoutes::Answer::Kind::refused || !answer.response.keep_alive();
    response_.emplace(std::move(answer.response));
    stream_.expires_after(limits_.exchangeTime);
    http::async_write(
        stream_, *response_,
        [self = shared_from_this(), closeAfter](const beast::error_code& error, std::size_t) {
            self->responded(error, closeAfter);
        });
}

void WebEntry::responded(const beast::error_code& error, bool closeAfter) {
    response_.reset();
    if (finished_) {
        return;
    }
    if (error == beast::error::timeout) {
        log("web client " + endpoint_ + " timed out taking a response");
    }
    if (error || closeAfter) {
        finish();
        return;
    }
    ++served_;
    readRequest();
}

void WebEntry::upgrade() {
    webSocket_ = std::make_unique<WebSocket>(std::move(stream_));
    // The WebSocket keeps its own time from here: a handshake limit, then pings.
    beast::get_lowest_layer(*webSocket_).expires_never();
    websocket::stream_base::timeout timeouts{};
    timeouts.handshake_timeout = limits_.exchangeTime;
    timeouts.idle_timeout = limits_.guestIdleTime;
    timeouts.keep_alive_pings = true;
    webSocket_->set_option(timeouts);
    webSocket_->set_option(
        websocket::stream_base::decorator([](websocket::response_type& response) {
            response.set(http::field::server, WebRoutes::serverName);
        }));
    webSocket_->read_message_max(limits_.messageBytes);
    webSocket_->auto_fragment(false);
    webSocket_->binary(true);
    webSocket_->async_accept(
        parser_->get(),
        [self = shared_from_this()](const beast::error_code& error) { self->accepted(error); });
}

void WebEntry::accepted(const beast::error_code& error) {
    if (finished_) {
        return;
    }
    if (error) {
        log("web client " + endpoint_ + " failed the websocket handshake: " + error.message());
        finish();
        return;
    }
    finished_ = true;
    onGuest_(std::move(webSocket_));
}

void WebEntry::finish() {
    if (finished_) {
        return;
    }
    finished_ = true;
    beast::error_code ignored;
    if (webSocket_) {
        beast::get_lowest_layer(*webSocket_).socket().shutdown(Socket::shutdown_both, ignored);
        beast::get_lowest_layer(*webSocket_).close();
    } else {
        stream_.socket().shutdown(Socket::shutdown_both, ignored);
        stream_.close();
    }
}

void WebEntry::log(const std::string& text) const {
    if (log_) {
        log_(category, text);
    }
}

}  // namespace zoranth
