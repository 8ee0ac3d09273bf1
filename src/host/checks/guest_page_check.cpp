#include "host/checks/guest_page_check.h"

#include <boost/asio/io_context.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>

#include <memory>

#include "host/net/broadcast_server.h"
#include "host/session/broadcast_sink.h"
#include "host/web/join_link.h"
#include "kit/format_text.h"

namespace zoranth {
namespace {

namespace http = boost::beast::http;
using Outcome = GuestPageCheck::Outcome;
using Verdict = SystemCheckup::Verdict;
using Reason = SystemCheckup::Reason;

// The trial server streams like a stereo rave with the usual buffer.
constexpr std::uint16_t usualDelayMs = 4500;

std::string seconds(std::chrono::milliseconds duration) {
    return formatText("%g s", static_cast<double>(duration.count()) / 1000.0);
}

// Why an exchange ended without an answer, said the way the check reports it.
std::string failureText(const boost::beast::error_code& error, bool connected,
                        std::chrono::milliseconds patience) {
    if (error == boost::beast::error::timeout) {
        return "no answer within " + seconds(patience);
    }
    if (!connected) {
        return "cannot connect (" + error.message() + ")";
    }
    if (error == http::error::end_of_stream || error == boost::asio::error::eof ||
        error == boost::asio::error::connection_reset) {
        return "the connection closed without an answer";
    }
    if (error == http::error::body_limit) {
        return "the answer is larger than " + std::to_string(GuestPageCheck::maxBodyBytes) +
               " bytes";
    }
    if (error.category() == http::make_error_code(http::error::bad_version).category()) {
        return "the answer is no HTTP (" + error.message() + ")";
    }
    return error.message();
}

// One request and its answer, on an I/O context of its own that runs on the caller's
// thread; the stream's one deadline bounds connecting, writing and reading together.
class Exchange {
  public:
    Exchange(const boost::asio::ip::address& address, std::uint16_t port,
             std::chrono::milliseconds patience)
        : endpoint_(address, port), patience_(patience), stream_(context_) {
        outcome_.link = JoinLink::url(address.to_string(), port);
        const std::string host =
            address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
        request_.set(http::field::host, host + ":" + std::to_string(port));
        request_.set(http::field::user_agent, "zoranth-host --check");
        request_.set(http::field::accept, "text/html");
        parser_.body_limit(GuestPageCheck::maxBodyBytes);
    }

    Outcome run() {
        stream_.expires_after(patience_);
        stream_.async_connect(endpoint_, [this](const boost::beast::error_code& error) {
            if (error) {
                fail(error);
                return;
            }
            connected_ = true;
            http::async_write(stream_, request_,
                              [this](const boost::beast::error_code& error, std::size_t) {
                                  if (error) {
                                      fail(error);
                                      return;
                                  }
                                  read();
                              });
        });
        context_.run();
        return outcome_;
    }

  private:
    void read() {
        http::async_read(
            stream_, buffer_, parser_, [this](const boost::beast::error_code& error, std::size_t) {
                if (error) {
                    fail(error);
                    return;
                }
                const auto& response = parser_.get();
                outcome_.kind = Outcome::Case::answered;
                outcome_.status = response.result_int();
                outcome_.statusText = std::string(response.reason());
                outcome_.contentType = std::string(response[http::field::content_type]);
                outcome_.body = response.body();
                stream_.close();
            });
    }

    void fail(const boost::beast::error_code& error) {
        outcome_.kind = Outcome::Case::noAnswer;
        outcome_.text = failureText(error, connected_, patience_);
        stream_.close();
    }

    const boost::asio::ip::tcp::endpoint endpoint_;
    const std::chrono::milliseconds patience_;
    boost::asio::io_context context_;
    boost::beast::tcp_stream stream_;
    http::request<http::empty_body> request_{http::verb::get, "/", 11};
    boost::beast::flat_buffer buffer_;
    http::response_parser<http::string_body> parser_;
    Outcome outcome_;
    bool connected_ = false;
};

SystemCheckup::Finding pageResult(Verdict verdict, std::string detail, std::string fix) {
    // SystemCheckup has no reasons of the page's own; these are the nearest, and nothing
    // acts on them (no button of the window's fixes the page).
    const Reason reason = verdict == Verdict::ok        ? Reason::networkOK
                          : verdict == Verdict::unknown ? Reason::networkUntestable
                                                        : Reason::networkRefused;
    return {"page", "Guest page", verdict, std::move(detail), std::move(fix), reason};
}

constexpr const char* pageFix =
    "Phones cannot join from a browser until it does (guests with the Zoranth app still "
    "can). Run the check again; if the page still does not answer, reinstall zoranth-host.";

}  // namespace

Outcome GuestPageCheck::fetch(const boost::asio::ip::address& address, std::uint16_t port,
                              std::chrono::milliseconds patience) {
    return Exchange(address, port, patience).run();
}

Outcome GuestPageCheck::run(std::chrono::milliseconds patience) {
    const auto loopback = boost::asio::ip::make_address("127.0.0.1");
    const auto server =
        std::make_shared<BroadcastServer>(BroadcastSink::helloFor(2, usualDelayMs), "");
    const auto started = server->start({0, loopback, false});
    if (!started) {
        Outcome outcome;
        outcome.kind = Outcome::Case::noListener;
        outcome.text = started.error().error.message();
        return outcome;
    }
    Outcome outcome = fetch(loopback, server->port(), patience);
    server->stop();
    return outcome;
}

SystemCheckup::Finding GuestPageCheck::finding(const Outcome& outcome) {
    switch (outcome.kind) {
        case Outcome::Case::noListener:
            return pageResult(Verdict::unknown,
                              "Could not try the guest page: no trial server could listen on "
                              "127.0.0.1 (" +
                                  outcome.text + ").",
                              "");
        case Outcome::Case::noAnswer:
            return pageResult(
                Verdict::problem,
                "A browser gets no guest page at " + outcome.link + ": " + outcome.text + ".",
                pageFix);
        case Outcome::Case::answered:
            break;
    }
    if (outcome.status != 200) {
        const std::string status =
            std::to_string(outcome.status) +
            (outcome.statusText.empty() ? std::string() : " " + outcome.statusText);
        return pageResult(
            Verdict::problem,
            "A browser gets " + status + " at " + outcome.link + " instead of the guest page.",
            pageFix);
    }
    if (!outcome.contentType.starts_with("text/html")) {
        const std::string type =
            outcome.contentType.empty() ? "an answer without a type" : outcome.contentType;
        return pageResult(
            Verdict::problem,
            "A browser gets " + type + " at " + outcome.link + " instead of the guest page.",
            pageFix);
    }
    if (outcome.body.find(listenButton) == std::string::npos) {
        return pageResult(Verdict::problem,
                          "A browser gets a page without the listen button at " + outcome.link +
                              ", so guests cannot start listening.",
                          pageFix);
    }
    return pageResult(Verdict::ok,
                      "Phones can join from a browser: the guest page answers at " + outcome.link +
                          " (guests open it at this computer's address and the rave's port).",
                      "");
}

}  // namespace zoranth
