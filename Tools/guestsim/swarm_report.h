// The figures of a finished guest simulation: one line per guest, a summary per
// behaviour (as key=value lines a script can read), and the verdict on the host.
// Pure functions over the guests' reports; callable from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "guestsim/simulated_guest.h"

namespace zoranth {

struct SwarmReport {
    using Reports = std::vector<SimulatedGuest::Report>;

    struct Verdict {
        std::vector<std::string> faults;  // empty when the host passed
        bool passed() const { return faults.empty(); }
    };

    // How far a normal guest's clock estimate may stray from the truth under --strict.
    static constexpr std::int64_t offsetLimitNanos = 1'000'000;

    static std::string guestTable(const Reports& reports);
    static std::string behaviourSummary(const Reports& reports);
    // Always: a normal guest that saw a gap, an out-of-order chunk or a wrong chunk
    // time, lost its connection, never connected or got no audio, and any guest the
    // host sent undecodable bytes. With `strict` also: a normal guest without a clock
    // estimate or with one off by more than offsetLimitNanos, and a garbage guest the
    // host kept.
    static Verdict verdict(const Reports& reports, bool strict);
};

}  // namespace zoranth
