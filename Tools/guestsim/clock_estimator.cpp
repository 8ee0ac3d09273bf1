#include "guestsim/clock_estimator.h"

#include <algorithm>
#include <vector>

namespace zoranth {

std::int64_t ClockEstimator::Probe::roundTripNanos() const {
    return static_cast<std::int64_t>(t4 - t1);
}

std::int64_t ClockEstimator::Probe::offsetNanos() const {
    // Differences of unsigned readings, read as signed: the host may be behind the guest.
    return static_cast<std::int64_t>(t2 - t1) - roundTripNanos() / 2;
}

ClockEstimator::ClockEstimator(std::size_t window, std::size_t best)
    : window_(std::max<std::size_t>(window, 1)), best_(std::max<std::size_t>(best, 1)) {}

bool ClockEstimator::add(const Probe& probe) {
    if (probe.t4 < probe.t1) {
        return false;
    }
    probes_.push_back(probe);
    while (probes_.size() > window_) {
        probes_.pop_front();
    }
    return true;
}

std::optional<ClockEstimator::Estimate> ClockEstimator::estimate() const {
    if (probes_.empty()) {
        return std::nullopt;
    }
    std::vector<Probe> byRoundTrip(probes_.begin(), probes_.end());
    std::stable_sort(byRoundTrip.begin(), byRoundTrip.end(), [](const Probe& a, const Probe& b) {
        return a.roundTripNanos() < b.roundTripNanos();
    });
    const std::size_t used = std::min(best_, byRoundTrip.size());
    std::int64_t sum = 0;
    for (std::size_t i = 0; i < used; ++i) {
        sum += byRoundTrip[i].offsetNanos();
    }
    return Estimate{sum / static_cast<std::int64_t>(used), probes_.back().roundTripNanos(),
                    byRoundTrip.front().roundTripNanos(), probes_.size()};
}

}  // namespace zoranth
