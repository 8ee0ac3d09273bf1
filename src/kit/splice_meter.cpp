#include "kit/splice_meter.h"

#include <algorithm>
#include <cmath>

namespace zoranth {

SpliceMeter::SpliceMeter(std::int64_t boundaries)
    : outcomes_(static_cast<std::size_t>(std::max<std::int64_t>(boundaries, 1)), false) {}

void SpliceMeter::process(std::span<const float> samples) {
    const std::size_t n = samples.size();
    if (n < 2) return;

    double stepSum = 0.0;
    for (std::size_t i = 1; i < n; ++i) stepSum += std::fabs(samples[i] - samples[i - 1]);
    const auto meanStep = static_cast<float>(stepSum / static_cast<double>(n - 1));

    if (lastSample_) record(std::fabs(samples[0] - *lastSample_) > meanStep * factor + floor);
    lastSample_ = samples[n - 1];
}

void SpliceMeter::discontinuity() {
    lastSample_.reset();
}

std::optional<double> SpliceMeter::rate() const {
    if (filled_ == 0) return std::nullopt;
    return static_cast<double>(splices_) / static_cast<double>(filled_);
}

void SpliceMeter::record(bool splice) {
    const auto size = static_cast<std::int64_t>(outcomes_.size());
    const auto slot = static_cast<std::size_t>(head_);
    if (filled_ == size && outcomes_[slot]) splices_ -= 1;
    outcomes_[slot] = splice;
    if (splice) splices_ += 1;
    head_ = (head_ + 1) % size;
    filled_ = std::min(filled_ + 1, size);
}

} // namespace zoranth
