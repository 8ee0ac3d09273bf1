// A stand-in host for the guest page's browser tests: serves the page and its
// WebSocket entry on 127.0.0.1 through the host's own web pieces and streams a
// synthetic signal, encoded with the host's Opus encoder, on a schedule it knows
// exactly (chunk n starts at t0 + n × 20 ms on the host clock). Each guest report is
// printed as one line of JSON on standard output; SIGTERM or SIGINT says goodbye to
// every guest and ends it.
//   zoranth_page_host [--port N] [--delay-ms N] [--name NAME] [--signal tone|bursts]
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iostream>
#include <memory>
#include <numbers>
#include <set>
#include <string>
#include <vector>

#include "host/web/web_entry.h"
#include "host/web/websocket_transport.h"
#include "kit/opus_encoder.h"
#include "protocol/frame_decoder.h"
#include "protocol/frame_encoder.h"
#include "protocol/mach_clock.h"

namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using namespace zoranth;
using Bytes = std::shared_ptr<const std::vector<std::uint8_t>>;

struct Settings {
    std::uint16_t port = 0;
    std::uint16_t delayMs = 1500;
    std::string name = "Test Rave";
    std::string signal = "tone";  // a steady 440 Hz, or 30 ms bursts of it every 250 ms
};

// One browser guest: frames go out one at a time, clock answers ahead of audio.
class Guest : public std::enable_shared_from_this<Guest> {
  public:
    Guest(int id, std::unique_ptr<WebEntry::WebSocket> webSocket)
        : id_(id), transport_(std::move(webSocket)) {}

    void start(const Hello& hello) {
        priority_.push_back(share(FrameEncoder::encode(Message(hello))));
        receive();
        pump();
    }

    void send(Bytes frame, bool priority) {
        if (closed_) {
            return;
        }
        if (priority) {
            priority_.push_back(std::move(frame));
        } else if (audio_.size() < 500) {
            audio_.push_back(std::move(frame));
        }
        pump();
    }

    void goodbye() {
        if (closed_) {
            return;
        }
        audio_.clear();
        priority_.push_back(share(FrameEncoder::encode(Message(Message::Bye{}))));
        byeQueued_ = true;
        pump();
    }

    bool closed() const { return closed_; }

  private:
    static Bytes share(std::vector<std::uint8_t> bytes) {
        return std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes));
    }

    void receive() {
        transport_.receive([self = shared_from_this()](const boost::system::error_code& error,
                                                       std::span<const std::uint8_t> message) {
            self->received(error, message);
        });
    }

    void received(const boost::system::error_code& error, std::span<const std::uint8_t> message) {
        if (error) {
            closed_ = true;
            transport_.close();
            return;
        }
        decoder_.append(message);
        while (true) {
            auto next = decoder_.next();
            if (!next) {
                std::cout << R"({"guest":)" << id_ << R"(,"protocolError":")"
                          << next.error().text() << "\"}" << std::endl;
                closed_ = true;
                transport_.close();
                return;
            }
            if (!*next) {
                break;
            }
            handle(**next);
        }
        receive();
    }

    void handle(const Message& message) {
        if (const auto* request = message.as<TimeReq>()) {
            priority_.push_front(
                share(FrameEncoder::encode(Message(TimeResp{request->t1, MachClock::nowNanos()}))));
            pump();
        } else if (const auto* stat = message.as<ClientStat>()) {
            std::cout << R"({"guest":)" << id_ << R"(,"name":")" << stat->deviceName
                      << R"(","rttNanos":)" << stat->rttNanos << R"(,"minRttNanos":)"
                      << stat->minRttNanos << R"(,"offsetNanos":)" << stat->offsetNanos
                      << R"(,"syncErrorMicros":)" << stat->syncErrorMicros << R"(,"latencyMs":)"
                      << stat->latencyMs << R"(,"flags":)" << stat->flags
                      << R"(,"bufferDepthMs":)" << stat->bufferDepthMs << "}" << std::endl;
        }
    }

    void pump() {
        if (inFlight_ || closed_) {
            return;
        }
        std::deque<Bytes>& from = priority_.empty() ? audio_ : priority_;
        if (from.empty()) {
            return;
        }
        Bytes frame = std::move(from.front());
        from.pop_front();
        const bool last = byeQueued_ && priority_.empty() && &from == &priority_;
        inFlight_ = true;
        transport_.send(*frame, [self = shared_from_this(), frame, last](
                                    const boost::system::error_code& error, std::size_t) {
            self->inFlight_ = false;
            if (error) {
                self->closed_ = true;
                self->transport_.close();
            } else if (last) {
                self->closed_ = true;
                self->transport_.closeGracefully();
            } else {
                self->pump();
            }
        });
    }

    const int id_;
    WebSocketTransport transport_;
    FrameDecoder decoder_{65536};
    std::deque<Bytes> priority_;
    std::deque<Bytes> audio_;
    bool inFlight_ = false;
    bool closed_ = false;
    bool byeQueued_ = false;
};

class PageHost {
  public:
    PageHost(asio::io_context& context, const Settings& settings)
        : context_(context),
          settings_(settings),
          strand_(asio::make_strand(context)),
          acceptor_(strand_, {asio::ip::make_address("127.0.0.1"), settings.port}),
          timer_(strand_),
          encoder_(*OpusEncoder::create(2, 128000)),
          hello_{48000, 2, 16, 960, settings.delayMs},
          start_(MachClock::nowNanos()) {}

    std::uint16_t port() const { return acceptor_.local_endpoint().port(); }
    std::uint64_t startNanos() const { return start_; }

    void run() {
        accept();
        tick();
    }

    void stop() {
        acceptor_.close();
        timer_.cancel();
        for (const auto& guest : guests_) {
            guest->goodbye();
        }
    }

  private:
    void accept() {
        acceptor_.async_accept(strand_, [this](const boost::system::error_code& error,
                                               asio::ip::tcp::socket socket) {
            if (error) {
                return;
            }
            auto entry = std::make_shared<WebEntry>(
                std::move(socket), "guest", std::span<const std::uint8_t>{}, settings_.name,
                [this](std::unique_ptr<WebEntry::WebSocket> webSocket) {
                    auto guest = std::make_shared<Guest>(++lastId_, std::move(webSocket));
                    guests_.insert(guest);
                    guest->start(hello_);
                },
                [](std::string_view, std::string_view text) {
                    std::cout << R"({"log":")" << text << "\"}" << std::endl;
                },
                WebEntry::Limits{});
            entry->start();
            accept();
        });
    }

    float sample(std::uint64_t frame) const {
        const double seconds = static_cast<double>(frame) / 48000.0;
        const double tone = 0.5 * std::sin(2 * std::numbers::pi * 440.0 * seconds);
        if (settings_.signal == "bursts") {
            return frame % 12000 < 1440 ? static_cast<float>(tone) : 0.0f;
        }
        return static_cast<float>(tone);
    }

    // Chunk n is complete, and sent, 20 ms after its first frame.
    void tick() {
        const std::uint64_t due = start_ + (seq_ + 1) * 20'000'000ULL;
        const auto wait = std::chrono::nanoseconds(
            static_cast<std::int64_t>(due) - static_cast<std::int64_t>(MachClock::nowNanos()));
        timer_.expires_after(wait);
        timer_.async_wait([this](const boost::system::error_code& error) {
            if (error) {
                return;
            }
            sendChunk();
            tick();
        });
    }

    void sendChunk() {
        std::vector<float> pcm(960 * 2);
        for (std::uint64_t i = 0; i < 960; ++i) {
            pcm[2 * i] = pcm[2 * i + 1] = sample(seq_ * 960 + i);
        }
        const std::uint64_t hostTime = start_ + seq_ * 20'000'000ULL;
        auto packet = encoder_->encode(pcm);
        if (packet) {
            auto frame = std::make_shared<const std::vector<std::uint8_t>>(
                FrameEncoder::encodeAudioFrame(
                    {static_cast<std::uint32_t>(seq_), hostTime, 960, settings_.delayMs}, *packet));
            for (const auto& guest : guests_) {
                guest->send(frame, false);
            }
        }
        if (seq_ % 25 == 0) {
            Beat beat{hostTime, seq_ % 100 == 0, static_cast<std::uint8_t>(seq_ / 25 % 4 + 1),
                      12000, 200};
            auto frame = std::make_shared<const std::vector<std::uint8_t>>(
                FrameEncoder::encode(Message(beat)));
            for (const auto& guest : guests_) {
                guest->send(frame, true);
            }
        }
        std::erase_if(guests_, [](const auto& guest) { return guest->closed(); });
        ++seq_;
    }

    asio::io_context& context_;
    const Settings settings_;
    asio::strand<asio::io_context::executor_type> strand_;
    asio::ip::tcp::acceptor acceptor_;
    asio::steady_timer timer_;
    std::shared_ptr<OpusEncoder> encoder_;
    const Hello hello_;
    const std::uint64_t start_;
    std::uint64_t seq_ = 0;
    int lastId_ = 0;
    std::set<std::shared_ptr<Guest>> guests_;
};

}  // namespace

int main(int argc, char** argv) {
    Settings settings;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const std::string value = argv[i + 1];
        if (option == "--port") {
            settings.port = static_cast<std::uint16_t>(std::stoi(value));
        } else if (option == "--delay-ms") {
            settings.delayMs = static_cast<std::uint16_t>(std::stoi(value));
        } else if (option == "--name") {
            settings.name = value;
        } else if (option == "--signal") {
            settings.signal = value;
        } else {
            std::cerr << "unknown option " << option << "\n";
            return 2;
        }
    }
    asio::io_context context;
    PageHost host(context, settings);
    std::cout << R"({"port":)" << host.port() << R"(,"startNanos":)" << host.startNanos()
              << "}" << std::endl;
    asio::signal_set signals(context, SIGINT, SIGTERM);
    signals.async_wait([&](const boost::system::error_code&, int) {
        host.stop();
        // The goodbyes and close frames go out, then the process ends.
        auto timer = std::make_shared<asio::steady_timer>(context, 500ms);
        timer->async_wait([&context, timer](const boost::system::error_code&) { context.stop(); });
    });
    host.run();
    context.run();
    return 0;
}
