#include "test_guest.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "protocol/frame_encoder.h"

namespace zoranth {

std::expected<TestGuest, std::string> TestGuest::connect(std::uint16_t port, Options options) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return std::unexpected(std::string("socket: ") + std::strerror(errno));
    }
    TestGuest guest(fd);
    if (options.receiveBufferBytes > 0) {
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &options.receiveBufferBytes,
                     sizeof options.receiveBufferBytes);
    }
    const int noDelay = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (::inet_pton(AF_INET, options.host.c_str(), &address.sin_addr) != 1) {
        return std::unexpected("not an IPv4 address: " + options.host);
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return std::unexpected(std::string("connect: ") + std::strerror(errno));
    }
    return guest;
}

TestGuest::TestGuest(int fd) : fd_(fd), buffer_(65536) {}

TestGuest::TestGuest(TestGuest&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      decoder_(std::move(other.decoder_)),
      buffer_(std::move(other.buffer_)),
      held_(std::move(other.held_)),
      closed_(other.closed_),
      closeError_(other.closeError_) {}

TestGuest& TestGuest::operator=(TestGuest&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = std::exchange(other.fd_, -1);
        decoder_ = std::move(other.decoder_);
        buffer_ = std::move(other.buffer_);
        held_ = std::move(other.held_);
        closed_ = other.closed_;
        closeError_ = other.closeError_;
    }
    return *this;
}

TestGuest::~TestGuest() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool TestGuest::send(const Message& message) {
    return sendRaw(FrameEncoder::encode(message));
}

bool TestGuest::sendRaw(std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(sent));
    }
    return true;
}

bool TestGuest::prove(std::chrono::milliseconds timeout) {
    constexpr std::uint64_t probe = 0x7e57'0000'0000'0001ULL;
    if (!send(TimeReq{probe})) {
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::deque<Message> before;
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        Read read = readDecoded(std::max(left, std::chrono::milliseconds(0)));
        if (read.kind != Read::Case::message) {
            held_.insert(held_.end(), before.begin(), before.end());
            return false;
        }
        if (const auto* answer = read.message->as<TimeResp>(); answer && answer->t1 == probe) {
            held_.insert(held_.end(), before.begin(), before.end());
            return true;
        }
        before.push_back(std::move(*read.message));
    }
}

TestGuest::Read TestGuest::next(std::chrono::milliseconds timeout) {
    if (!held_.empty()) {
        Message message = std::move(held_.front());
        held_.pop_front();
        return {Read::Case::message, std::move(message), std::nullopt, 0};
    }
    return readDecoded(timeout);
}

TestGuest::Read TestGuest::readDecoded(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        auto decoded = decoder_.next();
        if (!decoded) {
            return {Read::Case::failed, std::nullopt, decoded.error(), 0};
        }
        if (*decoded) {
            return {Read::Case::message, std::move(*decoded), std::nullopt, 0};
        }
        if (closed_) {
            return {Read::Case::closed, std::nullopt, std::nullopt, closeError_};
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return {Read::Case::timedOut, std::nullopt, std::nullopt, 0};
        }
        pollfd waiting{fd_, POLLIN, 0};
        const int ready = ::poll(&waiting, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            continue;  // the deadline check above ends the wait
        }
        const ssize_t got = ::recv(fd_, buffer_.data(), buffer_.size(), 0);
        if (got > 0) {
            decoder_.append(std::span(buffer_.data(), static_cast<std::size_t>(got)));
        } else if (got == 0) {
            closed_ = true;
        } else if (errno != EINTR && errno != EAGAIN) {
            closed_ = true;
            closeError_ = errno;
        }
    }
}

std::optional<Message> TestGuest::nextMessage(std::chrono::milliseconds timeout) {
    Read read = next(timeout);
    return read.kind == Read::Case::message ? std::move(read.message) : std::nullopt;
}

bool TestGuest::hearsAudio(int messages) {
    for (int i = 0; i < messages; ++i) {
        const auto message = nextMessage();
        if (!message) {
            return false;
        }
        if (message->is<Message::Audio>()) {
            return true;
        }
    }
    return false;
}

std::optional<std::vector<Message>> TestGuest::readUntilClosed(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::vector<Message> messages;
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        Read read = next(std::max(left, std::chrono::milliseconds(0)));
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

void TestGuest::finishSending() {
    ::shutdown(fd_, SHUT_WR);
}

void TestGuest::abort() {
    if (fd_ < 0) {
        return;
    }
    const linger reset{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(std::exchange(fd_, -1));
    closed_ = true;
}

std::string TestGuest::localEndpoint() const {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return {};
    }
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

std::function<void(std::string_view, std::string_view)> RecordedLog::sink() {
    return [record = record_](std::string_view category, std::string_view text) {
        std::lock_guard guard(record->lock);
        record->lines.emplace_back(category, text);
        record->changed.notify_all();
    };
}

std::vector<std::string> RecordedLog::lines(std::string_view category) const {
    std::vector<std::string> texts;
    std::lock_guard guard(record_->lock);
    for (const auto& [lineCategory, text] : record_->lines) {
        if (lineCategory == category) {
            texts.push_back(text);
        }
    }
    return texts;
}

bool RecordedLog::waitFor(std::string_view category, std::string_view fragment,
                          std::chrono::milliseconds timeout) const {
    std::unique_lock guard(record_->lock);
    return record_->changed.wait_for(guard, timeout, [&] {
        for (const auto& [lineCategory, text] : record_->lines) {
            if (lineCategory == category && text.find(fragment) != std::string::npos) {
                return true;
            }
        }
        return false;
    });
}

std::vector<std::uint8_t> testAudioFrame(std::uint32_t seq, std::size_t packetBytes,
                                         std::uint16_t bufferDelayMs) {
    const std::vector<std::uint8_t> packet(packetBytes, static_cast<std::uint8_t>(seq));
    return FrameEncoder::encodeAudioFrame(
        AudioChunkHeader{seq, 1'000'000'000ULL + seq * 20'000'000ULL, WireConstants::framesPerChunk,
                         bufferDelayMs},
        packet);
}

}  // namespace zoranth
