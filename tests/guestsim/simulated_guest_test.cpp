// A garbage guest's bytes: each kind is rejected by the host's own frame decoder
// for its own reason, however it is cut up, and never passes for a message.
#include "guestsim/simulated_guest.h"

#include <gtest/gtest.h>

#include <random>

#include "protocol/frame_decoder.h"

namespace {

using zoranth::FrameDecoder;
using zoranth::MessageType;
using zoranth::SimulatedGuest;
using Garbage = SimulatedGuest::Garbage;
using Failure = FrameDecoder::Failure;

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
