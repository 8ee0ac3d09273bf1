// A garbage guest's bytes: each kind is rejected by the host's own frame decoder
// for its own reason, however it is cut up, and never passes for a message. A guest
// told to connect from an address of its own does so, or ends at once when the machine
// lacks that address.
#include "guestsim/simulated_guest.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <random>

#include "guestsim/guest_swarm.h"
#include "protocol/frame_decoder.h"

namespace {

using zoranth::FrameDecoder;
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

TEST(SimulatedGuestNames, BehavioursReadBackFromTheirNames) {
    using Behaviour = SimulatedGuest::Behaviour;
    for (const Behaviour behaviour : {Behaviour::normal, Behaviour::slow, Behaviour::stalled,
                                      Behaviour::flapping, Behaviour::garbage, Behaviour::silent}) {
        EXPECT_EQ(SimulatedGuest::behaviourNamed(SimulatedGuest::name(behaviour)), behaviour);
    }
    EXPECT_FALSE(SimulatedGuest::behaviourNamed("Normal"));
}

}  // namespace
