// A guest's estimate of the host clock from its clock probes (TimeReq/TimeResp):
// the offset comes from the recent probes with the shortest round trips, whose two
// halves are the most nearly equal. A plain value; one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

namespace zoranth {

class ClockEstimator {
  public:
    // One answered probe: t1 and t4 on the guest's clock, t2 on the host's.
    struct Probe {
        std::uint64_t t1 = 0;
        std::uint64_t t2 = 0;
        std::uint64_t t4 = 0;

        std::int64_t roundTripNanos() const;
        // Host clock minus guest clock, assuming both halves of the trip took as long.
        std::int64_t offsetNanos() const;
    };

    struct Estimate {
        std::int64_t offsetNanos = 0;  // host clock minus guest clock
        std::int64_t rttNanos = 0;     // the latest probe's round trip
        std::int64_t minRttNanos = 0;  // the shortest round trip in the window
        std::size_t probes = 0;        // probes in the window

        friend bool operator==(const Estimate&, const Estimate&) = default;
    };

    // About four seconds of probes at one every 250 ms.
    static constexpr std::size_t defaultWindow = 16;
    static constexpr std::size_t defaultBest = 3;

    explicit ClockEstimator(std::size_t window = defaultWindow, std::size_t best = defaultBest);

    // Keeps the probe unless its answer came back before its question was asked (t4 < t1),
    // which only a broken clock or a forged answer produces.
    bool add(const Probe& probe);
    // Nothing until the first probe.
    std::optional<Estimate> estimate() const;

  private:
    std::size_t window_;
    std::size_t best_;
    std::deque<Probe> probes_;
};

}  // namespace zoranth
