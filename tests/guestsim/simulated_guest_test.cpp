// A garbage guest's bytes: each kind is rejected by the host's own frame decoder
// for its own reason, however it is cut up, and never passes for a message. A guest
// told to connect from an address of its own does so, or ends at once when the machine
// lacks that address. A stalled guest says who it is before it stops reading, however
// late the host answers its first time request.
#include "guestsim/simulated_guest.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "guestsim/guest_swarm.h"
#include "protocol/frame_decoder.h"
#include "protocol/frame_encoder.h"
#include "protocol/mach_clock.h"

namespace {

using zoranth::ClientStat;
using zoranth::FrameDecoder;
using zoranth::FrameEncoder;
using zoranth::Message;
using zoranth::MessageType;
using zoranth::SimulatedGuest;
using Garbage = SimulatedGuest::Garbage;
using Failure = FrameDecoder::Failure;
using namespace std::chrono_literals;

// A listening socket on 127.0.0.1 whose connections the kernel completes on its own.
class Listener {
  public:
    Listener() {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
            ::listen(fd_, 4) == 0 &&
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            port_ = ntohs(address.sin_port);
        }
    }
    ~Listener() { ::close(fd_); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    std::uint16_t port() const { return port_; }
    // The address the first waiting connection came from; empty when none is waiting.
    std::string acceptedFrom() const {
        pollfd ready{fd_, POLLIN, 0};
        if (::poll(&ready, 1, 100) != 1) {
            return {};
        }
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        const int connection = ::accept(fd_, reinterpret_cast<sockaddr*>(&peer), &length);
        if (connection < 0) {
            return {};
        }
        ::close(connection);
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
        return text;
    }

  private:
    int fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::uint16_t port_ = 0;
};

// Reads from a connection until a whole message arrives or `limit` passes.
std::optional<Message> nextMessage(int connection, FrameDecoder& decoder,
                                   std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const auto decoded = decoder.next();
        if (!decoded) {
            return std::nullopt;
        }
        if (*decoded) {
            return **decoded;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd ready{connection, POLLIN, 0};
        std::uint8_t bytes[4096];
        const ssize_t got =
            left.count() > 0 && ::poll(&ready, 1, static_cast<int>(left.count())) == 1
                ? ::read(connection, bytes, sizeof bytes)
                : 0;
        if (got <= 0) {
            return std::nullopt;
        }
        decoder.append(std::span(bytes, static_cast<std::size_t>(got)));
    }
}

// A host that takes its time: says hello on `connection`, answers the guest's first time
// request only after `answerAfter`, and returns the name the guest then reports, if it does.
std::string nameReportedToASlowHost(int connection, std::chrono::milliseconds answerAfter) {
    const auto hello = FrameEncoder::encode(zoranth::Hello{48000, 2, 16, 960, 1500});
    FrameDecoder decoder(0);
    if (::write(connection, hello.data(), hello.size()) != static_cast<ssize_t>(hello.size())) {
        return {};
    }
    const auto asked = nextMessage(connection, decoder, 2s);
    if (!asked || !asked->is<zoranth::TimeReq>()) {
        return {};
    }
    std::this_thread::sleep_for(answerAfter);
    const auto answer = FrameEncoder::encode(
        zoranth::TimeResp{asked->as<zoranth::TimeReq>()->t1, zoranth::MachClock::nowNanos()});
    if (::write(connection, answer.data(), answer.size()) != static_cast<ssize_t>(answer.size())) {
        return {};
    }
    while (const auto message = nextMessage(connection, decoder, 2s)) {
        if (const auto* stat = message->as<ClientStat>()) {
            return stat->deviceName;
        }
    }
    return {};
}

SimulatedGuest::Report runOneGuest(std::uint16_t port, const std::string& bindAddress) {
    SimulatedGuest::Settings settings;
    settings.index = 1;
    settings.port = port;
    settings.bindAddress = bindAddress;
    zoranth::GuestSwarm swarm({settings});
    swarm.run(300ms);
    return swarm.reports().front();
}

TEST(SimulatedGuestBind, ConnectsFromTheChosenAddress) {
    const Listener listener;
    ASSERT_NE(listener.port(), 0);
    const auto report = runOneGuest(listener.port(), "127.0.0.2");
    EXPECT_EQ(listener.acceptedFrom(), "127.0.0.2");
    ASSERT_EQ(report.connections, 1) << report.detail;
    EXPECT_TRUE(report.localEndpoints.front().starts_with("127.0.0.2:"))
        << report.localEndpoints.front();
}

TEST(SimulatedGuestBind, AnAddressThisMachineLacksEndsTheGuestAtOnce) {
    const Listener listener;
    ASSERT_NE(listener.port(), 0);
    // 192.0.2.0/24 is reserved for documentation: no machine has it.
    const auto report = runOneGuest(listener.port(), "192.0.2.1");
    EXPECT_EQ(listener.acceptedFrom(), "");
    EXPECT_EQ(report.connections, 0);
    EXPECT_EQ(report.connectFailures, 1);
    EXPECT_EQ(report.ending, SimulatedGuest::Ending::neverConnected);
    EXPECT_EQ(report.detail, "bind 192.0.2.1: Cannot assign requested address");
}

TEST(SimulatedGuestGarbage, EveryKindFailsTheHostsDecoderForItsOwnReason) {
    const std::vector<std::pair<Garbage, Failure::Case>> cases{
        {Garbage::randomBytes, Failure::Case::badMagic},
        {Garbage::badMagic, Failure::Case::badMagic},
        {Garbage::badVersion, Failure::Case::unsupportedVersion},
        {Garbage::wrongLength, Failure::Case::payloadLengthMismatch},
        {Garbage::invalidName, Failure::Case::malformedPayload},
        {Garbage::hugePayload, Failure::Case::payloadLengthMismatch},
    };
    ASSERT_EQ(cases.size(), SimulatedGuest::allGarbage.size());
    std::mt19937_64 random(7);
    for (const auto& [kind, expected] : cases) {
        SCOPED_TRACE(std::string(SimulatedGuest::name(kind)));
        for (int round = 0; round < 50; ++round) {
            const auto bytes = SimulatedGuest::garbageBytes(kind, random);
            FrameDecoder decoder(0);
            decoder.append(bytes);
            const auto decoded = decoder.next();
            ASSERT_FALSE(decoded.has_value()) << "taken for a message";
            EXPECT_EQ(decoded.error().kind, expected);
        }
    }
}

TEST(SimulatedGuestGarbage, LengthsAreWrongInTheWaysTheyClaim) {
    std::mt19937_64 random(7);
    FrameDecoder shortProbe(0);
    shortProbe.append(SimulatedGuest::garbageBytes(Garbage::wrongLength, random));
    EXPECT_EQ(shortProbe.next().error(),
              Failure::payloadLengthMismatch(MessageType::timeReq, 8, 7));

    // The largest payload a frame can announce, every byte of it sent: the host must
    // take it all in before it can say the length is wrong.
    const auto huge = SimulatedGuest::garbageBytes(Garbage::hugePayload, random);
    EXPECT_EQ(huge.size(), 8u + 65535u);
    FrameDecoder hugeProbe(0);
    hugeProbe.append(std::span(huge).first(huge.size() - 1));
    const auto waiting = hugeProbe.next();
    ASSERT_TRUE(waiting.has_value());
    EXPECT_FALSE(waiting->has_value()) << "decoded before its last byte";
    hugeProbe.append(std::span(huge).last(1));
    EXPECT_EQ(hugeProbe.next().error(),
              Failure::payloadLengthMismatch(MessageType::timeReq, 8, 65535));
}

TEST(SimulatedGuestStall, AGuestSaysWhoItIsBeforeItStopsReadingHoweverLateTheHostAnswers) {
    const int listening = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listening, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(::listen(listening, 1), 0);
    ASSERT_EQ(::getsockname(listening, reinterpret_cast<sockaddr*>(&address), &length), 0);

    SimulatedGuest::Settings settings;
    settings.index = 3;
    settings.port = ntohs(address.sin_port);
    settings.behaviour = SimulatedGuest::Behaviour::stalled;
    settings.stallAfter = 50ms;  // long before the host answers
    zoranth::GuestSwarm swarm({settings});
    std::thread playing([&] { swarm.run(1500ms); });
    // The connection stays open to the end: a guest that is hung up on starts afresh.
    const int connection = ::accept(listening, nullptr, nullptr);
    const std::string reported =
        connection >= 0 ? nameReportedToASlowHost(connection, 400ms) : "accept failed";
    playing.join();
    ::close(connection);
    ::close(listening);

    const auto report = swarm.reports().front();
    EXPECT_EQ(reported, report.deviceName);
    EXPECT_EQ(report.statsSent, 1);
    EXPECT_EQ(report.stalls, 1) << "it reported, then stopped reading";
}

TEST(SimulatedGuestNames, BehavioursReadBackFromTheirNames) {
    using Behaviour = SimulatedGuest::Behaviour;
    for (const Behaviour behaviour : {Behaviour::normal, Behaviour::slow, Behaviour::stalled,
                                      Behaviour::flapping, Behaviour::garbage, Behaviour::silent}) {
        EXPECT_EQ(SimulatedGuest::behaviourNamed(SimulatedGuest::name(behaviour)), behaviour);
    }
    EXPECT_FALSE(SimulatedGuest::behaviourNamed("Normal"));
}

}  // namespace
