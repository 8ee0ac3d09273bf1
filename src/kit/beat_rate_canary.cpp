#include "kit/beat_rate_canary.h"

#include <algorithm>

namespace zoranth {

namespace {

// The tracker reports beats in order, but the span is taken from the extremes so that
// a late, out-of-order report can never make it negative.
struct Span {
    std::uint64_t oldest;
    std::uint64_t newest;
};

Span spanOf(const std::vector<std::uint64_t>& times) {
    const auto [low, high] = std::minmax_element(times.begin(), times.end());
    return {*low, *high};
}

} // namespace

BeatRateCanary::BeatRateCanary(double windowSeconds, double suspectBeatsPerSecond)
    : windowSeconds_(windowSeconds), suspectBeatsPerSecond_(suspectBeatsPerSecond) {}

void BeatRateCanary::note(std::uint64_t beatHostNanos) {
    times_.push_back(beatHostNanos);
    const std::uint64_t newest = spanOf(times_).newest;
    const double windowNanos = windowSeconds_ * 1e9;
    std::erase_if(times_, [&](std::uint64_t t) { return static_cast<double>(newest - t) > windowNanos; });
}

void BeatRateCanary::reset() {
    times_.clear();
}

std::optional<double> BeatRateCanary::beatsPerSecond() const {
    if (times_.empty()) return std::nullopt;
    const Span span = spanOf(times_);
    const double seconds = static_cast<double>(span.newest - span.oldest) / 1e9;
    // A single instant has no rate, whatever the window.
    if (seconds <= 0.0 || seconds < 0.8 * windowSeconds_) return std::nullopt;
    return static_cast<double>(times_.size() - 1) / seconds;
}

bool BeatRateCanary::isSuspect() const {
    return beatsPerSecond().value_or(0.0) > suspectBeatsPerSecond_;
}

} // namespace zoranth
