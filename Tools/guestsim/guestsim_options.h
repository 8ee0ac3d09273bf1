// The guest simulator's command line: where the host is, which guests to play and
// for how long. Parsing is a pure function; callable from any thread.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "guestsim/simulated_guest.h"

namespace zoranth {

struct GuestsimOptions {
    using Behaviour = SimulatedGuest::Behaviour;
    // How many guests of each behaviour, in the order given.
    using Mix = std::vector<std::pair<Behaviour, int>>;

    struct Failure {
        enum class Case { unknownOption, missingValue, badValue, badMix, remoteHost, noPort };
        Case kind = Case::badValue;
        std::string argument;  // the offending argument or value
        std::string reason;    // what was wrong with it, for badValue and badMix

        std::string text() const;
        friend bool operator==(const Failure&, const Failure&) = default;
    };

    static constexpr int maxGuests = 1000;
    static constexpr double maxSeconds = 24 * 3600;
    static constexpr std::size_t maxNameBytes = 32;

    std::string host = "127.0.0.1";
    std::uint16_t port = 0;
    // The guests' own IPv4 address; empty: whichever the system picks for the host.
    std::string bind;
    // The guests are called NAME-01-normal, NAME-02-slow, …
    std::string name = "guestsim";
    Mix mix{{Behaviour::normal, 10}};
    double seconds = 10;
    bool strict = false;
    bool allowRemote = false;
    std::uint64_t seed = 1;
    double clockSkewMs = 0;  // guests' clocks run up to this far ahead of or behind the host's
    double slowFraction = 0.5;
    double stallAfterSeconds = 1;
    double stallForSeconds = 15;
    bool help = false;

    // The arguments without the program path; "[HOST:]PORT" may stand alone.
    static std::expected<GuestsimOptions, Failure> parse(std::span<const std::string> arguments);
    // "normal=10,slow=2": each behaviour once, counts from 0, at most maxGuests in all.
    static std::expected<Mix, Failure> parseMix(std::string_view text);
    // An IPv4 address in 127.0.0.0/8.
    static bool isLoopback(const std::string& host);
    static std::string usage();

    int guestCount() const;
    // One guest per count in the mix, numbered from 1, with their clocks spread
    // over +-clockSkewMs.
    std::vector<SimulatedGuest::Settings> guestSettings() const;

    friend bool operator==(const GuestsimOptions&, const GuestsimOptions&) = default;
};

}  // namespace zoranth
