#include "guestsim/simulated_guest.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "protocol/byte_coding.h"
#include "protocol/frame_encoder.h"
#include "protocol/mach_clock.h"

namespace zoranth {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds connectPatience{3000};
constexpr milliseconds reconnectLow{100};
constexpr milliseconds reconnectHigh{300};
constexpr std::size_t receiveBytes = 65536;
constexpr std::size_t slowReceiveBytes = 2048;
// Probes and reports the host has not taken yet; beyond this the host is not
// reading, and piling up more says nothing new.
constexpr std::size_t outboxLimit = 256 * 1024;
constexpr double slowBurstChunks = 4;
constexpr int drainReadLimit = 1000;
// A streaming host sends a chunk every 20 ms; after five of them, an empty buffer is
// what this guest has.
constexpr milliseconds firstChunkPatience{100};

std::string errorText(int error) {
    return std::strerror(error);
}

std::string localEndpointOf(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return {};
    }
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

std::uint32_t clampedU32(std::int64_t value) {
    return static_cast<std::uint32_t>(std::clamp<std::int64_t>(value, 0, UINT32_MAX));
}

}  // namespace

SimulatedGuest::SimulatedGuest(Settings settings, Clock::time_point now)
    : settings_(std::move(settings)),
      random_(settings_.seed * 0x9E3779B97F4A7C15ULL + static_cast<std::uint64_t>(settings_.index)),
      wakeAt_(now),
      receiveBuffer_(receiveBytes),
      garbageTurn_(static_cast<std::size_t>(settings_.index)) {
    char name[96];
    std::snprintf(name, sizeof name, "%s-%02d-%s", settings_.namePrefix.c_str(), settings_.index,
                  std::string(SimulatedGuest::name(settings_.behaviour)).c_str());
    deviceName_ = name;
    report_.index = settings_.index;
    report_.behaviour = settings_.behaviour;
    report_.deviceName = deviceName_;
}

SimulatedGuest::~SimulatedGuest() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

short SimulatedGuest::wantedEvents() const {
    switch (phase_) {
        case Phase::connecting:
            return POLLOUT;
        case Phase::connected: {
            short events = 0;
            if (reads()) {
                events |= POLLIN;
            }
            if (outboxSent_ < outbox_.size()) {
                events |= POLLOUT;
            }
            return events;
        }
        case Phase::waiting:
        case Phase::ended:
            break;
    }
    return 0;
}

SimulatedGuest::Clock::time_point SimulatedGuest::nextWake() const {
    switch (phase_) {
        case Phase::waiting:
        case Phase::connecting:
            return wakeAt_;
        case Phase::ended:
            return Clock::time_point::max();
        case Phase::connected:
            break;
    }
    Clock::time_point next = Clock::time_point::max();
    if (hasHello_ && speaks()) {
        next = std::min({next, nextProbeAt_, nextStatAt_});
    }
    switch (settings_.behaviour) {
        case Behaviour::slow:
            if (slowTokens_ < 1) {
                const double rate = settings_.slowFraction * streamChunksPerSecond;
                const auto wait = std::chrono::duration<double>((1 - slowTokens_) / rate);
                next = std::min(
                    next, slowRefilledAt_ + std::chrono::duration_cast<Clock::duration>(wait));
            }
            break;
        case Behaviour::stalled:
            // Before its first report the report timer wakes it; the stall waits for that.
            if (stalledNow_ || reportedHere_) {
                next = std::min(next, stalledNow_ ? resumeAt_ : stallAt_);
            }
            break;
        case Behaviour::flapping:
            next = std::min(next, sessionEndsAt_);
            break;
        case Behaviour::garbage:
            if (garbageSent_) {
                next = std::min(next, garbageSentAt_ + settings_.garbagePatience);
            }
            break;
        case Behaviour::normal:
        case Behaviour::silent:
            break;
    }
    return next;
}

void SimulatedGuest::advance(Clock::time_point now) {
    if (phase_ == Phase::waiting && now >= wakeAt_) {
        connect(now);
        return;
    }
    if (phase_ == Phase::connecting && now >= wakeAt_) {
        ++report_.connectFailures;
        report_.detail = "connect: timed out";
        closeSocket(false);
        comeBackAfter(now, reconnectLow, reconnectHigh);
        return;
    }
    if (phase_ != Phase::connected) {
        return;
    }
    switch (settings_.behaviour) {
        case Behaviour::slow: {
            const double elapsed = std::chrono::duration<double>(now - slowRefilledAt_).count();
            slowTokens_ = std::min(slowBurstChunks, slowTokens_ + elapsed * settings_.slowFraction *
                                                                      streamChunksPerSecond);
            slowRefilledAt_ = now;
            break;
        }
        case Behaviour::stalled:
            // It stalls once it has said who it is, however long that took: a busy host
            // can take longer than the stall's delay to answer the first time request.
            if (!stalledNow_ && now >= stallAt_ && reportedHere_) {
                stalledNow_ = true;
                ++report_.stalls;
            } else if (stalledNow_ && now >= resumeAt_) {
                stalledNow_ = false;
                stallAt_ = now + settings_.stallAfter;
                resumeAt_ = stallAt_ + settings_.stallFor;
            }
            break;
        case Behaviour::flapping:
            if (now >= sessionEndsAt_) {
                // Leave the way phones do: politely, by vanishing (reset), or by closing.
                const int style = leaves_++ % 3;
                leave(style == 0, style == 1);
                comeBackAfter(now, milliseconds(50), milliseconds(300));
                return;
            }
            break;
        case Behaviour::garbage:
            if (garbageSent_ && now - garbageSentAt_ >= settings_.garbagePatience) {
                // The host kept a guest that sent garbage: recorded as not disconnected.
                leave(false, false);
                comeBackAfter(now, reconnectLow, reconnectHigh);
                return;
            }
            break;
        case Behaviour::normal:
        case Behaviour::silent:
            break;
    }
    if (hasHello_) {
        sendDue(now);
    }
    flush(now);
}

void SimulatedGuest::onEvents(short revents, Clock::time_point now) {
    if (phase_ == Phase::connecting) {
        int error = 0;
        socklen_t length = sizeof error;
        ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error == 0 && (revents & POLLOUT) != 0) {
            connected(now);
        } else {
            ++report_.connectFailures;
            report_.detail = "connect: " + errorText(error);
            closeSocket(false);
            comeBackAfter(now, milliseconds(500), milliseconds(500));
        }
        return;
    }
    if (phase_ != Phase::connected) {
        return;
    }
    // A hang-up or error is reported even to a guest that is not reading: the
    // read below finds out what it was.
    if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        readSome(now);
    }
    if (phase_ == Phase::connected && (revents & POLLOUT) != 0) {
        flush(now);
    }
}

void SimulatedGuest::finish(Clock::time_point now) {
    switch (phase_) {
        case Phase::connected:
            if (settings_.behaviour == Behaviour::normal ||
                settings_.behaviour == Behaviour::silent ||
                settings_.behaviour == Behaviour::flapping) {
                drainArrived(now);
            }
            if (phase_ != Phase::connected) {
                break;  // the drain found the host gone
            }
            report_.ending = Ending::connectedAtEnd;
            leave(settings_.behaviour == Behaviour::normal ||
                      settings_.behaviour == Behaviour::slow ||
                      settings_.behaviour == Behaviour::flapping,
                  false);
            break;
        case Phase::connecting:
        case Phase::waiting:
            closeSocket(false);
            report_.ending =
                report_.connections > 0 ? Ending::betweenSessions : Ending::neverConnected;
            break;
        case Phase::ended:
            break;
    }
    phase_ = Phase::ended;
}

SimulatedGuest::Report SimulatedGuest::report() const {
    Report report = report_;
    report.stream = checker_.counts();
    report.clock = estimator_.estimate();
    if (report.clock && settings_.clockTruthKnown) {
        report.offsetErrorNanos = report.clock->offsetNanos + settings_.clockSkewNanos;
    }
    return report;
}

void SimulatedGuest::connect(Clock::time_point now) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(settings_.port);
    if (::inet_pton(AF_INET, settings_.host.c_str(), &address.sin_addr) != 1) {
        report_.detail = "not an IPv4 address: " + settings_.host;
        report_.ending = Ending::neverConnected;
        phase_ = Phase::ended;
        return;
    }
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        ++report_.connectFailures;
        report_.detail = "socket: " + errorText(errno);
        comeBackAfter(now, milliseconds(500), milliseconds(500));
        return;
    }
    if (settings_.behaviour == Behaviour::slow || settings_.behaviour == Behaviour::stalled) {
        const int bytes = smallReceiveBuffer;
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    }
    const int noDelay = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    if (!settings_.bindAddress.empty() && !bindLocal()) {
        return;
    }
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        connected(now);
    } else if (errno == EINPROGRESS) {
        phase_ = Phase::connecting;
        wakeAt_ = now + connectPatience;
    } else {
        ++report_.connectFailures;
        report_.detail = "connect: " + errorText(errno);
        closeSocket(false);
        comeBackAfter(now, milliseconds(500), milliseconds(500));
    }
}

bool SimulatedGuest::bindLocal() {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = 0;  // any free port
    std::string failure;
    if (::inet_pton(AF_INET, settings_.bindAddress.c_str(), &local.sin_addr) != 1) {
        failure = "not an IPv4 address";
    } else if (::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        failure = errorText(errno);
    } else {
        return true;
    }
    // An address this machine does not have stays missing: trying again changes nothing.
    report_.detail = "bind " + settings_.bindAddress + ": " + failure;
    ++report_.connectFailures;
    closeSocket(false);
    report_.ending = Ending::neverConnected;
    phase_ = Phase::ended;
    return false;
}

void SimulatedGuest::connected(Clock::time_point now) {
    phase_ = Phase::connected;
    ++report_.connections;
    connectedAt_ = now;
    localEndpoint_ = localEndpointOf(fd_);
    report_.localEndpoints.push_back(localEndpoint_);
    hasHello_ = false;
    decoder_ = FrameDecoder(static_cast<std::ptrdiff_t>(receiveBytes));
    outbox_.clear();
    outboxSent_ = 0;
    checker_.connected();
    bufferDepth_.clear();
    nextProbeAt_ = now;
    nextStatAt_ = now;  // the first report goes out with the first measurement
    slowTokens_ = slowBurstChunks;
    slowRefilledAt_ = now;
    reportedHere_ = false;
    stalledNow_ = false;
    stallAt_ = now + settings_.stallAfter;
    resumeAt_ = stallAt_ + settings_.stallFor;
    sessionEndsAt_ = now + randomBetween(milliseconds(300), milliseconds(1500));
    garbageSent_ = false;
    silentAsked_ = false;
}

void SimulatedGuest::readSome(Clock::time_point now) {
    const std::size_t want =
        settings_.behaviour == Behaviour::slow ? slowReceiveBytes : receiveBuffer_.size();
    const ssize_t got = ::recv(fd_, receiveBuffer_.data(), want, 0);
    if (got < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            lost(Ending::closedByHost, "recv: " + errorText(errno), now);
        }
        return;
    }
    if (got == 0) {
        lost(Ending::closedByHost, {}, now);
        return;
    }
    // One receive time for the batch: the probe answers in it arrived together.
    const std::uint64_t receivedAt = guestNow();
    decoder_.append(std::span(receiveBuffer_.data(), static_cast<std::size_t>(got)));
    while (phase_ == Phase::connected) {
        auto next = decoder_.next();
        if (!next) {
            lost(Ending::protocolError, "host sent " + next.error().text(), now);
            return;
        }
        if (!*next) {
            return;
        }
        handle(**next, receivedAt, now);
    }
}

void SimulatedGuest::handle(const Message& message, std::uint64_t receivedAt,
                            Clock::time_point now) {
    if (message.is<Hello>()) {
        hasHello_ = true;
        checker_.hello();
    } else if (const auto* audio = message.as<Message::Audio>()) {
        slowTokens_ -= 1;
        checker_.chunk(audio->header);
        bufferDepth_.chunk(audio->header);
    } else if (const auto* answer = message.as<TimeResp>()) {
        estimator_.add({answer->t1, answer->t2, receivedAt});
    } else if (message.is<Beat>() || message.is<Cue>()) {
        ++report_.controlFrames;
    } else if (message.is<Message::Bye>()) {
        lost(Ending::byeFromHost, {}, now);
    }
}

void SimulatedGuest::sendDue(Clock::time_point now) {
    if (settings_.behaviour == Behaviour::garbage) {
        if (!garbageSent_) {
            const Garbage kind = allGarbage[garbageTurn_++ % allGarbage.size()];
            queue(garbageBytes(kind, random_));
            garbageSent_ = true;
            garbageSentAt_ = now;
            report_.garbage.push_back({kind, localEndpoint_, false, 0});
        }
        return;
    }
    if (settings_.behaviour == Behaviour::silent && !silentAsked_) {
        // Every guest asks the time at once, which tells the host it is one; a silent
        // guest then says nothing more.
        queue(FrameEncoder::encode(TimeReq{guestNow()}));
        ++report_.probesSent;
        silentAsked_ = true;
    }
    if (!speaks()) {
        return;
    }
    if (now >= nextProbeAt_) {
        queue(FrameEncoder::encode(TimeReq{guestNow()}));
        ++report_.probesSent;
        nextProbeAt_ =
            now + randomBetween(probeInterval - milliseconds(25), probeInterval + milliseconds(25));
    }
    if (now < nextStatAt_) {
        return;
    }
    const auto estimate = estimator_.estimate();
    // The host clock now, as this guest estimates it (the offset is host minus guest).
    const auto depth =
        estimate
            ? bufferDepth_.millisAt(guestNow() + static_cast<std::uint64_t>(estimate->offsetNanos))
            : std::nullopt;
    // Nothing to report without a clock measurement. The first report also waits a
    // little for the first chunk, so that it does not tell of an empty buffer a moment
    // before the audio arrives.
    if (!estimate || (!depth && now - connectedAt_ < firstChunkPatience)) {
        // Look again shortly rather than at every turn of the loop.
        nextStatAt_ = now + milliseconds(20);
        return;
    }
    ClientStat stat;
    stat.rttNanos = clampedU32(estimate->rttNanos);
    stat.minRttNanos = clampedU32(estimate->minRttNanos);
    stat.offsetNanos = estimate->offsetNanos;
    stat.flags = ClientStat::composeFlags(true, true, false, false, RouteKind::speaker);
    stat.bufferDepthMs = depth.value_or(0);
    stat.deviceName = deviceName_;
    queue(FrameEncoder::encode(stat));
    ++report_.statsSent;
    reportedHere_ = true;
    nextStatAt_ = now + statInterval;
}

void SimulatedGuest::queue(const std::vector<std::uint8_t>& bytes) {
    if (outbox_.size() - outboxSent_ > outboxLimit) {
        return;
    }
    outbox_.insert(outbox_.end(), bytes.begin(), bytes.end());
}

void SimulatedGuest::flush(Clock::time_point now) {
    while (phase_ == Phase::connected && outboxSent_ < outbox_.size()) {
        const ssize_t sent = ::send(fd_, outbox_.data() + outboxSent_, outbox_.size() - outboxSent_,
                                    MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            outboxSent_ += static_cast<std::size_t>(sent);
        } else if (sent < 0 && errno == EINTR) {
            continue;
        } else if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return;
        } else {
            lost(Ending::closedByHost, "send: " + errorText(errno), now);
            return;
        }
    }
    outbox_.clear();
    outboxSent_ = 0;
}

void SimulatedGuest::lost(Ending why, const std::string& detail, Clock::time_point now) {
    closeSocket(false);
    if (!detail.empty()) {
        report_.detail = detail;
    }
    if (why == Ending::protocolError) {
        // The host's stream is broken: nothing more a guest can trust.
        report_.ending = why;
        phase_ = Phase::ended;
        return;
    }
    ++report_.hostEndings;
    if (settings_.behaviour == Behaviour::garbage && garbageSent_ && !report_.garbage.empty()) {
        report_.garbage.back().disconnected = true;
        report_.garbage.back().secondsToDisconnect =
            std::chrono::duration<double>(now - garbageSentAt_).count();
    }
    if (settings_.behaviour == Behaviour::normal) {
        // A well-behaved guest the host let go of: that is the finding, so it stays gone.
        report_.ending = why;
        phase_ = Phase::ended;
        return;
    }
    comeBackAfter(now, reconnectLow, reconnectHigh);
}

void SimulatedGuest::leave(bool sayBye, bool reset) {
    if (sayBye && fd_ >= 0) {
        queue(FrameEncoder::encode(Message::Bye{}));
        // Best effort: whatever the socket takes now. A half-sent frame only ends in
        // the host's decoder waiting for bytes that never come.
        while (outboxSent_ < outbox_.size()) {
            const ssize_t sent = ::send(fd_, outbox_.data() + outboxSent_,
                                        outbox_.size() - outboxSent_, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent <= 0) {
                break;
            }
            outboxSent_ += static_cast<std::size_t>(sent);
        }
    }
    closeSocket(reset);
}

void SimulatedGuest::closeSocket(bool reset) {
    if (fd_ >= 0) {
        if (reset) {
            const linger abortive{1, 0};
            ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
        }
        ::close(fd_);
        fd_ = -1;
    }
    outbox_.clear();
    outboxSent_ = 0;
    hasHello_ = false;
}

void SimulatedGuest::comeBackAfter(Clock::time_point now, milliseconds low, milliseconds high) {
    phase_ = Phase::waiting;
    wakeAt_ = now + randomBetween(low, high);
}

void SimulatedGuest::drainArrived(Clock::time_point now) {
    for (int i = 0; i < drainReadLimit && phase_ == Phase::connected; ++i) {
        pollfd ready{fd_, POLLIN, 0};
        if (::poll(&ready, 1, 0) <= 0 || (ready.revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
            return;
        }
        readSome(now);
    }
}

bool SimulatedGuest::reads() const {
    if (stalledNow_) {
        return false;
    }
    return settings_.behaviour != Behaviour::slow || slowTokens_ >= 1;
}

bool SimulatedGuest::speaks() const {
    switch (settings_.behaviour) {
        case Behaviour::normal:
        case Behaviour::slow:
        case Behaviour::flapping:
            return true;
        case Behaviour::stalled:
            return !stalledNow_;
        case Behaviour::garbage:
        case Behaviour::silent:
            return false;
    }
    return false;
}

std::uint64_t SimulatedGuest::guestNow() const {
    return MachClock::nowNanos() + static_cast<std::uint64_t>(settings_.clockSkewNanos);
}

milliseconds SimulatedGuest::randomBetween(milliseconds low, milliseconds high) {
    if (high <= low) {
        return low;
    }
    std::uniform_int_distribution<std::int64_t> pick(low.count(), high.count());
    return milliseconds(pick(random_));
}

std::string_view SimulatedGuest::name(Behaviour behaviour) {
    switch (behaviour) {
        case Behaviour::normal:
            return "normal";
        case Behaviour::slow:
            return "slow";
        case Behaviour::stalled:
            return "stalled";
        case Behaviour::flapping:
            return "flapping";
        case Behaviour::garbage:
            return "garbage";
        case Behaviour::silent:
            return "silent";
    }
    return "?";
}

std::optional<SimulatedGuest::Behaviour> SimulatedGuest::behaviourNamed(std::string_view name) {
    for (const Behaviour behaviour : {Behaviour::normal, Behaviour::slow, Behaviour::stalled,
                                      Behaviour::flapping, Behaviour::garbage, Behaviour::silent}) {
        if (SimulatedGuest::name(behaviour) == name) {
            return behaviour;
        }
    }
    return std::nullopt;
}

std::string_view SimulatedGuest::name(Garbage garbage) {
    switch (garbage) {
        case Garbage::randomBytes:
            return "random bytes";
        case Garbage::badMagic:
            return "bad magic";
        case Garbage::badVersion:
            return "bad version";
        case Garbage::wrongLength:
            return "wrong length";
        case Garbage::invalidName:
            return "invalid UTF-8 name";
        case Garbage::hugePayload:
            return "64 KiB payload";
    }
    return "?";
}

std::string_view SimulatedGuest::name(Ending ending) {
    switch (ending) {
        case Ending::connectedAtEnd:
            return "connected at end";
        case Ending::betweenSessions:
            return "away at end";
        case Ending::closedByHost:
            return "closed by host";
        case Ending::byeFromHost:
            return "bye from host";
        case Ending::protocolError:
            return "protocol error";
        case Ending::neverConnected:
            return "never connected";
    }
    return "?";
}

std::vector<std::uint8_t> SimulatedGuest::garbageBytes(Garbage kind, std::mt19937_64& random) {
    std::uniform_int_distribution<int> byte(0, 255);
    const auto randomFill = [&](std::vector<std::uint8_t>& bytes, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            bytes.push_back(static_cast<std::uint8_t>(byte(random)));
        }
    };
    std::vector<std::uint8_t> bytes;
    switch (kind) {
        case Garbage::randomBytes:
            randomFill(bytes, 64);
            if (bytes[0] == WireConstants::magic[0]) {
                bytes[0] = 0;  // never the start of a frame
            }
            break;
        case Garbage::badMagic:
            bytes = FrameEncoder::encode(TimeReq{random()});
            bytes[3] = 'X';
            break;
        case Garbage::badVersion:
            bytes = FrameEncoder::encode(TimeReq{random()});
            bytes[4] =
                (random() & 1) != 0 ? WireConstants::version - 1 : WireConstants::version + 1;
            break;
        case Garbage::wrongLength:
            // A clock probe one byte short, announced as such.
            bytes = FrameEncoder::encode(TimeReq{random()});
            bytes.pop_back();
            bytes[6] = static_cast<std::uint8_t>(TimeReq::wireSize - 1);
            break;
        case Garbage::invalidName: {
            ClientStat stat;
            stat.deviceName = "abcd";
            bytes = FrameEncoder::encode(stat);
            const std::uint8_t invalid[] = {0xC3, 0x28, 0xFF, 0xFE};
            std::copy(std::begin(invalid), std::end(invalid), bytes.end() - 4);
            break;
        }
        case Garbage::hugePayload: {
            // A clock probe announcing the largest payload a frame can carry, all of it sent.
            ByteWriter header;
            FrameEncoder::writeHeader(MessageType::timeReq, WireConstants::maxPayload, header);
            bytes = header.bytes();
            randomFill(bytes, WireConstants::maxPayload);
            break;
        }
    }
    return bytes;
}

}  // namespace zoranth
