// A browser's HTTP connection on 127.0.0.1: the page over keep-alive, bytes read
// before the entry took over, the limits that close a connection with one log line,
// and the hand-over of a WebSocket guest.
#include "host/web/web_entry.h"

#include <gtest/gtest.h>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/websocket.hpp>

#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/web/web_assets.h"
#include "support/eventually.h"

namespace {

using namespace std::chrono_literals;
namespace asio = boost::asio;
namespace beast = boost::beast;
using tcp = asio::ip::tcp;
using zoranth::WebAssets;
using zoranth::WebEntry;

// A listener on 127.0.0.1 that gives every connection a WebEntry, as the host does.
class EntryHost {
  public:
    explicit EntryHost(WebEntry::Limits limits = {}, std::string firstBytes = {})
        : acceptor_(context_, {asio::ip::make_address("127.0.0.1"), 0}),
          limits_(limits),
          firstBytes_(std::move(firstBytes)) {
        accept();
        thread_ = std::thread([this] { context_.run(); });
    }
    ~EntryHost() {
        context_.stop();
        thread_.join();
    }

    std::uint16_t port() const { return acceptor_.local_endpoint().port(); }

    std::vector<std::string> lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }

    std::future<std::unique_ptr<WebEntry::WebSocket>> nextGuest() {
        std::lock_guard lock(mutex_);
        guest_ = {};
        return guest_.get_future();
    }

  private:
    void accept() {
        acceptor_.async_accept(
            asio::make_strand(context_), [this](beast::error_code error, tcp::socket socket) {
                if (error) {
                    return;
                }
                const auto bytes = std::span(
                    reinterpret_cast<const std::uint8_t*>(firstBytes_.data()), firstBytes_.size());
                auto entry = std::make_shared<WebEntry>(
                    std::move(socket), "test", bytes, "Loft",
                    [this](std::unique_ptr<WebEntry::WebSocket> webSocket) {
                        std::lock_guard lock(mutex_);
                        guest_.set_value(std::move(webSocket));
                    },
                    [this](std::string_view, std::string_view text) {
                        std::lock_guard lock(mutex_);
                        lines_.emplace_back(text);
                    },
                    limits_);
                entry->start();
                accept();
            });
    }

    asio::io_context context_;
    tcp::acceptor acceptor_;
    const WebEntry::Limits limits_;
    const std::string firstBytes_;
    std::mutex mutex_;
    std::vector<std::string> lines_;
    std::promise<std::unique_ptr<WebEntry::WebSocket>> guest_;
    std::thread thread_;
};

// A plain blocking client socket with a bounded wait for every read.
class Client {
  public:
    explicit Client(std::uint16_t port) : socket_(context_) {
        socket_.connect({asio::ip::make_address("127.0.0.1"), port});
    }

    void send(std::string_view bytes) { asio::write(socket_, asio::buffer(bytes)); }

    // Everything until `until` appears, the peer closes, or the wait ends.
    std::string read(std::string_view until, std::chrono::milliseconds wait = 3s) {
        const auto deadline = std::chrono::steady_clock::now() + wait;
        while (received_.find(until) == std::string::npos && !closed_) {
            pollfd fd{socket_.native_handle(), POLLIN, 0};
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left <= 0ms || ::poll(&fd, 1, static_cast<int>(left.count())) <= 0) {
                break;
            }
            char buffer[65536];
            const ssize_t got = ::recv(socket_.native_handle(), buffer, sizeof buffer, 0);
            if (got <= 0) {
                closed_ = true;
            } else {
                received_.append(buffer, static_cast<std::size_t>(got));
            }
        }
        return received_;
    }

    // Whether the host closed the connection within the wait.
    bool closedWithin(std::chrono::milliseconds wait) {
        read("\x01never\x02", wait);
        return closed_;
    }

    void forget() { received_.clear(); }

  private:
    asio::io_context context_;
    tcp::socket socket_;
    std::string received_;
    bool closed_ = false;
};

const std::string pageRequest = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

TEST(WebEntry, ServesThePageTwiceOnOneConnection) {
    EntryHost host;
    Client client(host.port());
    client.send(pageRequest);
    const std::string first = client.read("</html>");
    EXPECT_TRUE(first.starts_with("HTTP/1.1 200 OK\r\n")) << first.substr(0, 80);
    EXPECT_NE(first.find(std::string(WebAssets::find("/")->body)), std::string::npos);

    client.forget();
    client.send("GET /index.html HTTP/1.1\r\nHost: 127.0.0.1\r\nIf-None-Match: " +
                std::string(WebAssets::find("/")->etag) + "\r\n\r\n");
    EXPECT_TRUE(client.read("\r\n\r\n").starts_with("HTTP/1.1 304 Not Modified\r\n"));
    EXPECT_TRUE(host.lines().empty());
}

TEST(WebEntry, BytesReadBeforeTheEntryBeginTheRequest) {
    EntryHost host({}, "GET / HT");
    Client client(host.port());
    client.send("TP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_TRUE(client.read("\r\n\r\n").starts_with("HTTP/1.1 200 OK\r\n"));
}

TEST(WebEntry, ARequestBeyondTheLimitsIsClosedWithOneLogLine) {
    struct Case {
        std::string name;
        std::string bytes;
        std::string logged;
    };
    const Case cases[] = {
        {"request line", "GET /" + std::string(9000, 'a') + " HTTP/1.1\r\n", "beyond 8192 bytes"},
        {"header", "GET / HTTP/1.1\r\nX-Big: " + std::string(9000, 'b') + "\r\n\r\n",
         "beyond 8192 bytes"},
        {"body", "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 5\r\n\r\nhello", "request body"},
        {"not http", "HELLO THERE\r\n\r\n", "bad request"},
        {"long target", "GET /" + std::string(2000, 'c') + " HTTP/1.1\r\n\r\n",
         "request target too long"},
    };
    for (const Case& each : cases) {
        EntryHost host;
        Client client(host.port());
        client.send(each.bytes);
        EXPECT_TRUE(client.closedWithin(3s)) << each.name;
        const auto lines = host.lines();
        ASSERT_EQ(lines.size(), 1u) << each.name;
        EXPECT_NE(lines[0].find(each.logged), std::string::npos) << each.name << ": " << lines[0];
    }
}

TEST(WebEntry, ASlowClientIsTimedOutAndAnIdleOneLetGoQuietly) {
    WebEntry::Limits limits;
    limits.exchangeTime = 300ms;
    EntryHost host(limits);
    Client slow(host.port());
    slow.send("GET / HTTP/1.1\r\n");
    Client idle(host.port());
    idle.send(pageRequest);
    EXPECT_NE(idle.read("</html>").find("200 OK"), std::string::npos);

    EXPECT_TRUE(slow.closedWithin(3s));
    EXPECT_TRUE(idle.closedWithin(3s));
    // A timed-out stream is closed first and its read told after, so the line may follow
    // the close by a moment.
    EXPECT_TRUE(zoranth::eventually([&] { return !host.lines().empty(); }));
    const auto lines = host.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("timed out before sending a whole request"), std::string::npos);
}

TEST(WebEntry, AWebSocketRequestBecomesAGuest) {
    EntryHost host;
    auto guest = host.nextGuest();
    asio::io_context context;
    beast::websocket::stream<tcp::socket> client(context);
    client.next_layer().connect({asio::ip::make_address("127.0.0.1"), host.port()});
    client.handshake("127.0.0.1", "/ws");
    ASSERT_EQ(guest.wait_for(3s), std::future_status::ready);
    auto webSocket = guest.get();
    ASSERT_NE(webSocket, nullptr);
    EXPECT_TRUE(webSocket->is_open());

    client.binary(true);
    client.write(asio::buffer(std::string("ZRTH")));
    beast::flat_buffer received;
    webSocket->read(received);
    EXPECT_EQ(beast::buffers_to_string(received.data()), "ZRTH");
    EXPECT_TRUE(webSocket->got_binary());
}

}  // namespace
