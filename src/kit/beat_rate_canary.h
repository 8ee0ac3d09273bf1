// Watches the beat tracker's output: a beat rate no music has means the tracker is
// hearing clicks from a broken capture path.
// A plain value belonging to its owner's thread (the serve command guards it with its own lock).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace zoranth {

class BeatRateCanary {
public:
    BeatRateCanary(double windowSeconds, double suspectBeatsPerSecond);

    // One beat at host-clock nanoseconds; beats older than the window before the newest are forgotten.
    void note(std::uint64_t beatHostNanos);
    void reset();
    // Beats per second over the held beats, once they span at least 80 % of the window.
    std::optional<double> beatsPerSecond() const;
    bool isSuspect() const;

    double windowSeconds() const { return windowSeconds_; }
    double suspectBeatsPerSecond() const { return suspectBeatsPerSecond_; }

private:
    double windowSeconds_;
    double suspectBeatsPerSecond_;
    std::vector<std::uint64_t> times_;
};

} // namespace zoranth
