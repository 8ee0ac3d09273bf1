// Whether a browser gets the guest page: what each answer (or its absence) means for
// the finding, and what a browser-like request reads back from real sockets on
// 127.0.0.1 that answer in every way the check must tell apart.
#include "host/checks/guest_page_check.h"

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>

#include <chrono>
#include <string>
#include <thread>

#include "host/web/web_assets.h"

namespace zoranth {
namespace {

using namespace std::chrono_literals;
using Case = GuestPageCheck::Outcome::Case;
using Verdict = SystemCheckup::Verdict;
namespace asio = boost::asio;
using tcp = asio::ip::tcp;

const std::string link = "http://127.0.0.1:40123/";
const std::string page =
    "<!doctype html><html><body><button id=\"listen\" type=\"button\">Tap to listen</button>"
    "</body></html>";

GuestPageCheck::Outcome answered(unsigned status, std::string statusText, std::string type,
                                 std::string body) {
    GuestPageCheck::Outcome outcome;
    outcome.kind = Case::answered;
    outcome.link = link;
    outcome.status = status;
    outcome.statusText = std::move(statusText);
    outcome.contentType = std::move(type);
    outcome.body = std::move(body);
    return outcome;
}

GuestPageCheck::Outcome failed(Case kind, std::string text) {
    GuestPageCheck::Outcome outcome;
    outcome.kind = kind;
    outcome.link = kind == Case::noAnswer ? link : "";
    outcome.text = std::move(text);
    return outcome;
}

TEST(GuestPageFinding, OnlyThePageWithItsListenButtonPasses) {
    const std::string fix =
        "Phones cannot join from a browser until it does (guests with the Zoranth app still "
        "can). Run the check again; if the page still does not answer, reinstall zoranth-host.";
    const struct {
        const char* why;
        GuestPageCheck::Outcome outcome;
        Verdict verdict;
        std::string detail;
        std::string fix;
    } cases[] = {
        {"the page", answered(200, "OK", "text/html; charset=utf-8", page), Verdict::ok,
         "Phones can join from a browser: the guest page answers at http://127.0.0.1:40123/ "
         "(guests open it at this computer's address and the rave's port).",
         ""},
        {"no answer at all", failed(Case::noAnswer, "no answer within 3 s"), Verdict::problem,
         "A browser gets no guest page at http://127.0.0.1:40123/: no answer within 3 s.", fix},
        {"a refusal", answered(404, "Not Found", "text/plain", "not found"), Verdict::problem,
         "A browser gets 404 Not Found at http://127.0.0.1:40123/ instead of the guest page.", fix},
        {"a status without its words", answered(503, "", "text/html", page), Verdict::problem,
         "A browser gets 503 at http://127.0.0.1:40123/ instead of the guest page.", fix},
        {"something else than a page", answered(200, "OK", "application/json", page),
         Verdict::problem,
         "A browser gets application/json at http://127.0.0.1:40123/ instead of the guest page.",
         fix},
        {"an answer of no type", answered(200, "OK", "", page), Verdict::problem,
         "A browser gets an answer without a type at http://127.0.0.1:40123/ instead of the "
         "guest page.",
         fix},
        {"a page nobody can start from",
         answered(200, "OK", "text/html", "<html><body>Hello</body></html>"), Verdict::problem,
         "A browser gets a page without the listen button at http://127.0.0.1:40123/, so "
         "guests cannot start listening.",
         fix},
        {"nothing to ask", failed(Case::noListener, "Address already in use"), Verdict::unknown,
         "Could not try the guest page: no trial server could listen on 127.0.0.1 (Address "
         "already in use).",
         ""},
    };
    for (const auto& row : cases) {
        const auto finding = GuestPageCheck::finding(row.outcome);
        EXPECT_EQ(finding.id, "page") << row.why;
        EXPECT_EQ(finding.title, "Guest page") << row.why;
        EXPECT_EQ(finding.verdict, row.verdict) << row.why;
        EXPECT_EQ(finding.detail, row.detail) << row.why;
        EXPECT_EQ(finding.fix, row.fix) << row.why;
    }
}

// One connection on 127.0.0.1, handled on a thread of its own: it reads the request (or
// not), sends `answer` and then holds the connection until the client lets go.
class CannedHost {
  public:
    enum class Manner { afterRequest, atOnce, closeAfterRequest };

    CannedHost(std::string answer, Manner manner)
        : acceptor_(context_, {asio::ip::make_address("127.0.0.1"), 0}),
          thread_([this, answer = std::move(answer), manner] { serve(answer, manner); }) {}
    ~CannedHost() { finish(); }

    std::uint16_t port() const { return acceptor_.local_endpoint().port(); }
    // What the client sent, once the connection is over.
    std::string request() {
        finish();
        return request_;
    }

  private:
    void finish() {
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    void serve(const std::string& answer, Manner manner) {
        boost::system::error_code error;
        tcp::socket socket = acceptor_.accept(error);
        if (error) {
            return;
        }
        if (manner == Manner::atOnce) {
            asio::write(socket, asio::buffer(answer), error);
        }
        asio::streambuf head;
        asio::read_until(socket, head, "\r\n\r\n", error);
        request_.assign(asio::buffers_begin(head.data()), asio::buffers_end(head.data()));
        if (manner == Manner::closeAfterRequest) {
            return;
        }
        if (manner == Manner::afterRequest) {
            asio::write(socket, asio::buffer(answer), error);
        }
        char rest[256];
        while (!error) {
            socket.read_some(asio::buffer(rest), error);
        }
    }

    asio::io_context context_;
    tcp::acceptor acceptor_;
    std::string request_;
    std::thread thread_;
};

const auto loopback = asio::ip::make_address("127.0.0.1");

TEST(GuestPageFetch, AsksForTheRootAsABrowserDoesAndReadsTheWholeAnswer) {
    CannedHost host(
        "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
            std::to_string(page.size()) + "\r\n\r\n" + page,
        CannedHost::Manner::afterRequest);
    const auto outcome = GuestPageCheck::fetch(loopback, host.port(), 2s);
    EXPECT_EQ(outcome.kind, Case::answered) << outcome.text;
    EXPECT_EQ(outcome.link, "http://127.0.0.1:" + std::to_string(host.port()) + "/");
    EXPECT_EQ(outcome.status, 200u);
    EXPECT_EQ(outcome.contentType, "text/html; charset=utf-8");
    EXPECT_EQ(outcome.body, page);
    const std::string request = host.request();
    EXPECT_TRUE(request.starts_with("GET / HTTP/1.1\r\n")) << request;
    EXPECT_NE(request.find("\r\nHost: 127.0.0.1:" + std::to_string(host.port()) + "\r\n"),
              std::string::npos)
        << request;
}

TEST(GuestPageFetch, TellsWhyNoAnswerCame) {
    const struct {
        const char* why;
        std::string answer;
        CannedHost::Manner manner;
        std::string text;
    } cases[] = {
        // What a host that takes every connection for a native guest does: its hello.
        {"a native guest's hello", std::string("ZRTH\x00\x02\x00\x10", 8),
         CannedHost::Manner::atOnce, "the answer is no HTTP (bad version)"},
        {"silence", "", CannedHost::Manner::afterRequest, "no answer within 0.5 s"},
        {"a hang-up", "", CannedHost::Manner::closeAfterRequest,
         "the connection closed without an answer"},
        {"an endless body",
         "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 2000000\r\n\r\n" +
             std::string(GuestPageCheck::maxBodyBytes + 1, 'x'),
         CannedHost::Manner::afterRequest, "the answer is larger than 1048576 bytes"},
    };
    for (const auto& row : cases) {
        CannedHost host(row.answer, row.manner);
        const auto outcome = GuestPageCheck::fetch(loopback, host.port(), 500ms);
        EXPECT_EQ(outcome.kind, Case::noAnswer) << row.why;
        EXPECT_EQ(outcome.text, row.text) << row.why;
    }
}

TEST(GuestPageFetch, NobodyListeningIsACallThatCannotConnect) {
    std::uint16_t port = 0;
    {
        asio::io_context context;
        tcp::acceptor closed(context, {loopback, 0});
        port = closed.local_endpoint().port();
    }
    const auto outcome = GuestPageCheck::fetch(loopback, port, 2s);
    EXPECT_EQ(outcome.kind, Case::noAnswer);
    EXPECT_EQ(outcome.text, "cannot connect (Connection refused)");
}

// The whole check: a real server of the rave's kind answers with the embedded page.
TEST(GuestPageCheck, TheRaveServerHandsABrowserThePage) {
    const auto outcome = GuestPageCheck::run();
    ASSERT_EQ(outcome.kind, Case::answered) << outcome.text;
    EXPECT_TRUE(outcome.link.starts_with("http://127.0.0.1:")) << outcome.link;
    EXPECT_EQ(outcome.status, 200u);
    const WebAsset* index = WebAssets::find("/");
    ASSERT_NE(index, nullptr);
    EXPECT_EQ(outcome.contentType, index->contentType);
    EXPECT_EQ(outcome.body, index->body);
    EXPECT_EQ(GuestPageCheck::finding(outcome).verdict, Verdict::ok)
        << GuestPageCheck::finding(outcome).detail;
}

}  // namespace
}  // namespace zoranth
