#include "guestsim/buffer_depth.h"

#include <algorithm>

namespace zoranth {

void BufferDepth::chunk(const AudioChunkHeader& header) {
    // The stream arrives in order, so the latest chunk is the newest; when the host
    // changes the delay, the buffer is as deep as the new delay makes it.
    newestDueNanos_ =
        header.hostTimeNanos + static_cast<std::uint64_t>(header.bufferDelayMs) * 1'000'000ULL;
}

std::optional<std::uint16_t> BufferDepth::millisAt(std::uint64_t hostNowNanos) const {
    if (!newestDueNanos_) {
        return std::nullopt;
    }
    if (*newestDueNanos_ <= hostNowNanos) {
        return 0;
    }
    const std::uint64_t aheadMs = (*newestDueNanos_ - hostNowNanos) / 1'000'000ULL;
    return static_cast<std::uint16_t>(std::min<std::uint64_t>(aheadMs, UINT16_MAX));
}

}  // namespace zoranth
