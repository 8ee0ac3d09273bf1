#include "app/peak_hold.h"

#include <algorithm>
#include <cmath>

namespace zoranth {

void PeakHold::update(std::span<const float> peak, double now) {
    if (peak.size() != held_.size()) {
        held_.assign(peak.begin(), peak.end());
        heldAt_.assign(peak.size(), now);
        return;
    }
    for (std::size_t channel = 0; channel < peak.size(); ++channel) {
        if (peak[channel] >= held_[channel] || now - heldAt_[channel] > holdSeconds) {
            held_[channel] = peak[channel];
            heldAt_[channel] = now;
        }
    }
}

std::optional<double> PeakHold::nextDrop(std::span<const float> peak) const {
    std::optional<double> earliest;
    for (std::size_t channel = 0; channel < held_.size() && channel < peak.size(); ++channel) {
        if (held_[channel] > peak[channel]) {
            const double at = heldAt_[channel] + holdSeconds;
            earliest = earliest ? std::min(*earliest, at) : at;
        }
    }
    return earliest;
}

double PeakHold::decibels(float level) {
    if (!(level > 0)) {
        return floorDecibels;
    }
    return std::max(floorDecibels, 20.0 * std::log10(static_cast<double>(level)));
}

double PeakHold::fraction(float level) {
    return std::clamp((decibels(level) - floorDecibels) / -floorDecibels, 0.0, 1.0);
}

}  // namespace zoranth
