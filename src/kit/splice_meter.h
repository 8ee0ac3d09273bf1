// Measures how often the audio jumps at the boundary between two capture deliveries:
// lost or reordered buffers leave such jumps without any gap in the timestamps.
// A plain value owned by the capture pipeline's sender thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace zoranth {

class SpliceMeter {
public:
    // A boundary step counts as a splice when it exceeds this many times the delivery's
    // mean step between neighbouring samples, plus a floor so near-silence is not judged on noise.
    static constexpr float factor = 6.0f;
    static constexpr float floor = 0.002f;

    // Remembers the verdicts of the last `boundaries` boundaries (at least one).
    explicit SpliceMeter(std::int64_t boundaries);

    // One channel of one delivery, in order; deliveries shorter than two samples are ignored.
    void process(std::span<const float> samples);
    // Capture restarted or lost data: the next boundary is not judged.
    void discontinuity();
    // Fraction of the remembered boundaries that were splices; absent before the first verdict.
    std::optional<double> rate() const;

    std::int64_t splices() const { return splices_; }
    std::int64_t judged() const { return filled_; }

private:
    void record(bool splice);

    std::optional<float> lastSample_;
    std::vector<bool> outcomes_;
    std::int64_t head_ = 0;
    std::int64_t filled_ = 0;
    std::int64_t splices_ = 0;
};

} // namespace zoranth
