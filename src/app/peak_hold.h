// The level meters' held peaks: a falling peak stays on the marker for a moment so the
// eye can catch it, a rising one moves it at once. A plain value for the window's
// thread; the caller passes the time.
#pragma once

#include <optional>
#include <span>
#include <vector>

namespace zoranth {

class PeakHold {
  public:
    static constexpr double holdSeconds = 1.2;
    // The meters' scale: -60 dBFS at the left end, 0 dBFS at the right.
    static constexpr double floorDecibels = -60;

    // Takes a new set of per-channel peaks. A different channel count (the first update
    // included) starts over from these peaks.
    void update(std::span<const float> peak, double now);

    const std::vector<float>& held() const { return held_; }

    // When the oldest held peak that is above `peak` may drop; none when nothing is held.
    std::optional<double> nextDrop(std::span<const float> peak) const;

    // 20·log10 of a linear level, never below the floor; 0 or less reads as the floor.
    static double decibels(float level);
    // Where a level sits on the scale, 0 at -60 dBFS to 1 at full scale.
    static double fraction(float level);

  private:
    std::vector<float> held_;
    std::vector<double> heldAt_;
};

}  // namespace zoranth
