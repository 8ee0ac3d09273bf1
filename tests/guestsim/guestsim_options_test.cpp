// The simulator's command line: the guest mix, the loopback rule, malformed values.
#include "guestsim/guestsim_options.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

using zoranth::GuestsimOptions;
using Behaviour = zoranth::SimulatedGuest::Behaviour;
using Case = GuestsimOptions::Failure::Case;

std::expected<GuestsimOptions, GuestsimOptions::Failure> parse(std::vector<std::string> arguments) {
    return GuestsimOptions::parse(arguments);
}

TEST(GuestsimOptions, ReadsEveryOption) {
    const auto options = parse({"127.0.0.2:4500",
                                "--guests",
                                "normal=3,garbage=1,slow=0",
                                "--seconds",
                                "2.5",
                                "--strict",
                                "--seed",
                                "9",
                                "--clock-skew-ms",
                                "4",
                                "--slow-fraction",
                                "0.25",
                                "--stall-after",
                                "0.5",
                                "--stall-for",
                                "3",
                                "--bind",
                                "127.0.0.3",
                                "--name",
                                "weak.link_2-a"});
    ASSERT_TRUE(options) << options.error().text();
    EXPECT_EQ(options->host, "127.0.0.2");
    EXPECT_EQ(options->port, 4500);
    EXPECT_EQ(options->mix,
              (GuestsimOptions::Mix{
                  {Behaviour::normal, 3}, {Behaviour::garbage, 1}, {Behaviour::slow, 0}}));
    EXPECT_EQ(options->seconds, 2.5);
    EXPECT_TRUE(options->strict);
    EXPECT_EQ(options->seed, 9u);
    EXPECT_EQ(options->clockSkewMs, 4);
    EXPECT_EQ(options->slowFraction, 0.25);
    EXPECT_EQ(options->stallAfterSeconds, 0.5);
    EXPECT_EQ(options->stallForSeconds, 3);
    EXPECT_EQ(options->bind, "127.0.0.3");
    EXPECT_EQ(options->guestSettings().front().bindAddress, "127.0.0.3");
    EXPECT_EQ(options->name, "weak.link_2-a");
    const zoranth::SimulatedGuest first(options->guestSettings().front(),
                                        zoranth::SimulatedGuest::Clock::now());
    EXPECT_EQ(first.deviceName(), "weak.link_2-a-01-normal");

    const auto separate = parse({"--host", "localhost", "--port", "4500"});
    ASSERT_TRUE(separate);
    EXPECT_EQ(separate->host, "127.0.0.1");
    EXPECT_EQ(separate->mix, (GuestsimOptions::Mix{{Behaviour::normal, 10}}));
    EXPECT_EQ(separate->guestSettings().front().bindAddress, "");
    const zoranth::SimulatedGuest plain(separate->guestSettings().front(),
                                        zoranth::SimulatedGuest::Clock::now());
    EXPECT_EQ(plain.deviceName(), "guestsim-01-normal");
}

TEST(GuestsimOptions, RefusesAHostOffThisMachineUnlessAllowed) {
    const auto remote = parse({"192.168.1.20:4500"});
    ASSERT_FALSE(remote);
    EXPECT_EQ(remote.error().kind, Case::remoteHost);
    EXPECT_EQ(remote.error().argument, "192.168.1.20");

    const auto allowed = parse({"192.168.1.20:4500", "--allow-remote"});
    ASSERT_TRUE(allowed);
    EXPECT_FALSE(allowed->guestSettings().front().clockTruthKnown);
    EXPECT_TRUE(parse({"127.9.9.9:1"})->guestSettings().front().clockTruthKnown);
}

TEST(GuestsimOptions, MalformedArgumentsAreReportedWithTheOffendingText) {
    struct Bad {
        std::vector<std::string> arguments;
        Case kind;
        std::string argument;
    };
    const std::vector<Bad> cases{
        {{"--port", "4500", "--bogus"}, Case::unknownOption, "--bogus"},
        {{"--port", "4500", "--seconds"}, Case::missingValue, "--seconds"},
        {{"--port", "70000"}, Case::badValue, "70000"},
        {{"--port", "0"}, Case::badValue, "0"},
        {{"4500", "--seconds", "ten"}, Case::badValue, "ten"},
        {{"4500", "--seconds", "0"}, Case::badValue, "0"},
        {{"4500", "--seconds", "nan"}, Case::badValue, "nan"},
        {{"4500", "--slow-fraction", "2"}, Case::badValue, "2"},
        {{"--host", "::1", "--port", "4500"}, Case::badValue, "::1"},
        {{"--host", "example.org", "--port", "4500"}, Case::badValue, "example.org"},
        {{"4500", "--bind", "localhost"}, Case::badValue, "localhost"},
        {{"4500", "--bind", "::1"}, Case::badValue, "::1"},
        {{"4500", "--bind"}, Case::missingValue, "--bind"},
        {{"4500", "--name", ""}, Case::badValue, ""},
        {{"4500", "--name", "two words"}, Case::badValue, "two words"},
        {{"4500", "--name", std::string(33, 'a')}, Case::badValue, std::string(33, 'a')},
        {{"4500", "--guests", "normal=2,dancing=1"}, Case::badMix, "normal=2,dancing=1"},
        {{"4500", "--guests", "normal=2,normal=1"}, Case::badMix, "normal=2,normal=1"},
        {{"4500", "--guests", "normal"}, Case::badMix, "normal"},
        {{"4500", "--guests", "normal=-1"}, Case::badMix, "normal=-1"},
        {{"4500", "--guests", "normal=0"}, Case::badMix, "normal=0"},
        {{"4500", "--guests", "normal=600,slow=401"}, Case::badMix, "normal=600,slow=401"},
        {{"4500", "--guests", "normal=1,"}, Case::badMix, "normal=1,"},
        {{"--seconds", "5"}, Case::noPort, ""},
    };
    for (const Bad& bad : cases) {
        const auto options = parse(bad.arguments);
        ASSERT_FALSE(options) << bad.arguments.back();
        EXPECT_EQ(options.error().kind, bad.kind) << options.error().text();
        EXPECT_EQ(options.error().argument, bad.argument);
    }
}

TEST(GuestsimOptions, GuestsFollowTheMixWithClocksSpreadWithinTheSkew) {
    auto options = parse({"4500", "--guests", "slow=2,normal=19", "--clock-skew-ms", "3"});
    ASSERT_TRUE(options);
    const auto guests = options->guestSettings();
    ASSERT_EQ(guests.size(), 21u);
    EXPECT_EQ(guests[0].behaviour, Behaviour::slow);
    EXPECT_EQ(guests[1].behaviour, Behaviour::slow);
    EXPECT_EQ(guests[2].behaviour, Behaviour::normal);
    std::int64_t lowest = 0;
    std::int64_t highest = 0;
    for (std::size_t i = 0; i < guests.size(); ++i) {
        EXPECT_EQ(guests[i].index, static_cast<int>(i) + 1);
        EXPECT_EQ(guests[i].port, 4500);
        EXPECT_LE(std::llabs(guests[i].clockSkewNanos), 3'000'000);
        lowest = std::min(lowest, guests[i].clockSkewNanos);
        highest = std::max(highest, guests[i].clockSkewNanos);
    }
    EXPECT_EQ(lowest, -3'000'000);
    EXPECT_EQ(highest, 3'000'000);
}

TEST(GuestsimOptions, UsageNamesEveryOption) {
    const std::string usage = GuestsimOptions::usage();
    for (const char* option :
         {"--host", "--port", "--bind ADDRESS", "--name NAME", "--guests", "--seconds", "--strict",
          "--allow-remote", "--seed", "--clock-skew-ms", "--slow-fraction", "--stall-after",
          "--stall-for"}) {
        EXPECT_NE(usage.find(option), std::string::npos) << option;
    }
}

}  // namespace
