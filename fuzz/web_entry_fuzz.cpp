// Drives the guest page's HTTP and WebSocket entry with arbitrary bytes over a real
// stream socket pair: the first byte picks HTTP (the rest is what a browser sends)
// or WebSocket (a valid upgrade, then the rest as the guest's frames, read as a guest
// connection reads them). Whatever arrives, the entry must answer or close without
// crashing, reading out of bounds or hanging, and a guest's messages must stay
// within the size limit.
#include <boost/asio/io_context.hpp>
#include <boost/asio/strand.hpp>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "host/web/web_entry.h"
#include "host/web/websocket_transport.h"
#include "protocol/frame_decoder.h"

namespace {

using namespace std::chrono_literals;
using zoranth::FrameDecoder;
using zoranth::WebEntry;
using zoranth::WebSocketTransport;

constexpr std::string_view upgradeRequest =
    "GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n"
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";

void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

// The guest side of a WebSocket guest: every message goes through a frame decoder
// until the stream fails or ends.
struct GuestReader {
    std::unique_ptr<WebSocketTransport> transport;
    FrameDecoder decoder{65536};
    bool done = false;

    void next() {
        transport->receive([this](const boost::system::error_code& error,
                                  std::span<const std::uint8_t> message) {
            if (error) {
                transport->close();
                done = true;
                return;
            }
            require(message.size() <= WebEntry::Limits{}.messageBytes, "message beyond the limit");
            decoder.append(message);
            while (true) {
                auto decoded = decoder.next();
                if (!decoded || !*decoded) {
                    break;
                }
            }
            next();
        });
    }
};

// Writes what it can without blocking and reads everything the entry sends back.
struct ClientEnd {
    int fd;
    std::string_view pending;
    bool eof = false;

    void pump() {
        while (!pending.empty()) {
            const ssize_t sent = ::send(fd, pending.data(), pending.size(), MSG_NOSIGNAL);
            if (sent <= 0) {
                break;
            }
            pending.remove_prefix(static_cast<std::size_t>(sent));
        }
        char buffer[65536];
        while (!eof) {
            const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
                eof = true;
            } else if (got < 0) {
                break;
            } else {
                received.append(buffer, static_cast<std::size_t>(got));
            }
        }
    }

    std::string received;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const bool webSocket = (data[0] & 1) != 0;
    const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);

    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) {
        return 0;
    }
    ::fcntl(pair[1], F_SETFL, O_NONBLOCK);

    boost::asio::io_context context;
    WebEntry::Socket socket(boost::asio::make_strand(context));
    socket.assign(boost::asio::ip::tcp::v4(), pair[0]);

    GuestReader reader;
    WebEntry::Limits limits;
    limits.exchangeTime = 500ms;
    limits.guestIdleTime = 500ms;
    auto entry = std::make_shared<WebEntry>(
        std::move(socket), "fuzz", std::span<const std::uint8_t>{}, "Fuzz",
        [&reader](std::unique_ptr<WebEntry::WebSocket> accepted) {
            reader.transport = std::make_unique<WebSocketTransport>(std::move(accepted));
            reader.next();
        },
        [](std::string_view, std::string_view) {}, limits);
    entry->start();

    ClientEnd client{pair[1], webSocket ? upgradeRequest : rest};
    bool restSent = !webSocket;
    bool shut = false;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!client.eof && std::chrono::steady_clock::now() < deadline) {
        context.run_for(1ms);
        client.pump();
        if (!restSent && client.received.find("\r\n\r\n") != std::string::npos) {
            require(client.received.starts_with("HTTP/1.1 101"), "upgrade refused");
            client.pending = rest;
            restSent = true;
        }
        if (restSent && client.pending.empty() && !shut) {
            ::shutdown(pair[1], SHUT_WR);
            shut = true;
        }
    }
    require(client.eof, "the entry never closed the connection");
    entry->close();
    if (reader.transport) {
        reader.transport->close();
    }
    context.run_for(10ms);
    ::close(pair[1]);
    return 0;
}
