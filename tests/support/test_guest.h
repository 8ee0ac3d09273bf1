// A guest's side of the host protocol over a real TCP connection on loopback, for
// tests: connects, sends messages or raw bytes, and reads the host's frames with
// timeouts through the same frame decoder a guest uses. One thread at a time.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/frame_decoder.h"
#include "protocol/wire_format.h"

namespace zoranth {

class TestGuest {
  public:
    struct Options {
        std::string host = "127.0.0.1";
        // SO_RCVBUF before connecting; 0 keeps the system's default. A small buffer
        // makes a guest that stops reading push back on the host quickly.
        int receiveBufferBytes = 0;
    };

    struct Read {
        enum class Case { message, timedOut, closed, failed };
        Case kind = Case::timedOut;
        std::optional<Message> message;  // with `message`
        std::optional<FrameDecoder::Failure>
            failure;    // with `failed`: the host's bytes made no sense
        int error = 0;  // with `closed`: 0 for an orderly end, else errno
    };

    static constexpr std::chrono::milliseconds patience{5000};

    static std::expected<TestGuest, std::string> connect(std::uint16_t port, Options options);
    static std::expected<TestGuest, std::string> connect(std::uint16_t port) {
        return connect(port, Options{});
    }

    TestGuest(TestGuest&& other) noexcept;
    TestGuest& operator=(TestGuest&& other) noexcept;
    TestGuest(const TestGuest&) = delete;
    TestGuest& operator=(const TestGuest&) = delete;
    ~TestGuest();

    // Whole frames or arbitrary bytes; false once the host has gone.
    bool send(const Message& message);
    bool sendRaw(std::span<const std::uint8_t> bytes);

    // Proves this connection a guest, as every real guest does at once: a clock request,
    // and its answer read. The frames that came before the answer (the hello) are kept
    // for next(). False when the host closed or did not answer in time.
    bool prove(std::chrono::milliseconds timeout = patience);

    // The next message from the host, waiting at most `timeout`.
    Read next(std::chrono::milliseconds timeout = patience);
    // The next message, or nothing on a timeout, close or failure.
    std::optional<Message> nextMessage(std::chrono::milliseconds timeout = patience);
    // Reads the host's messages until audio comes, at most `messages` of them.
    bool hearsAudio(int messages = 200);
    // Everything the host sends until it closes; nothing if it has not closed in time.
    std::optional<std::vector<Message>> readUntilClosed(
        std::chrono::milliseconds timeout = patience);

    // Stops sending (half close), as a guest that has nothing more to say.
    void finishSending();
    // Drops the connection with a reset, as a guest whose phone vanished mid-stream.
    void abort();
    int descriptor() const { return fd_; }
    // "127.0.0.1:port" as the host sees this guest.
    std::string localEndpoint() const;

  private:
    explicit TestGuest(int fd);
    Read readDecoded(std::chrono::milliseconds timeout);

    int fd_ = -1;
    FrameDecoder decoder_{65536};
    std::vector<std::uint8_t> buffer_;
    std::deque<Message> held_;  // read while proving, not yet taken
    bool closed_ = false;
    int closeError_ = 0;
};

// Collects diagnostic lines (category, text) from any thread; hand sink() to the
// component under test in place of the journal. The sink keeps the record alive, so
// connections that outlive a test may still log into it.
class RecordedLog {
  public:
    std::function<void(std::string_view, std::string_view)> sink();
    // The texts logged under `category`, in order.
    std::vector<std::string> lines(std::string_view category) const;
    // Waits until some line of `category` contains `fragment`.
    bool waitFor(std::string_view category, std::string_view fragment,
                 std::chrono::milliseconds timeout = TestGuest::patience) const;

  private:
    struct Record {
        std::mutex lock;
        std::condition_variable changed;
        std::vector<std::pair<std::string, std::string>> lines;
    };
    std::shared_ptr<Record> record_ = std::make_shared<Record>();
};

// An audio frame for tests: a chunk header with this sequence number and a packet of
// `packetBytes` bytes, all equal to the sequence number's low byte.
std::vector<std::uint8_t> testAudioFrame(std::uint32_t seq, std::size_t packetBytes,
                                         std::uint16_t bufferDelayMs = 1500);

}  // namespace zoranth
