#include "host/capture/tap_format.h"

#include <cmath>
#include <cstdio>

namespace zoranth {

std::optional<TapFormat> TapFormat::from(const StreamDescription& description) {
    if (!(description.sampleRate > 0)) {
        return std::nullopt;
    }
    return TapFormat{
        .sampleRate = description.sampleRate,
        .channels = static_cast<int>(description.channelsPerFrame),
        .isNonInterleaved = (description.formatFlags & formatFlagIsNonInterleaved) != 0,
        .isFloat = (description.formatFlags & formatFlagIsFloat) != 0,
        .bitsPerChannel = static_cast<int>(description.bitsPerChannel),
    };
}

std::string TapFormat::text() const {
    // Formatted as a double so that no rate, however absurd, overflows an integer; adding
    // 0.0 turns a truncated -0 into 0.
    char rate[352];
    std::snprintf(rate, sizeof rate, "%.0f", std::trunc(sampleRate) + 0.0);
    return std::string(rate) + " Hz, " + std::to_string(channels) + " ch, " +
           (isFloat ? "Float" : "Int") + std::to_string(bitsPerChannel) + ", " +
           (isNonInterleaved ? "non-interleaved" : "interleaved");
}

}  // namespace zoranth
