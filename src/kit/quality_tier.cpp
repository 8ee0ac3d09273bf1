#include "kit/quality_tier.h"

#include "kit/opus_codec.h"

namespace zoranth {

std::optional<QualityTier> QualityTier::fromBitrate(std::int32_t bitrate) {
    for (const QualityTier tier : allCases) {
        if (tier.bitrate() == bitrate) {
            return tier;
        }
    }
    return std::nullopt;
}

std::optional<QualityTier> QualityTier::fromRawValue(int rawValue) {
    if (rawValue < full || rawValue > minimum) {
        return std::nullopt;
    }
    return QualityTier(static_cast<Value>(rawValue));
}

QualityTier QualityTier::nearest(std::int32_t atOrBelow) {
    for (const QualityTier tier : allCases) {
        if (atOrBelow >= tier.bitrate()) {
            return tier;
        }
    }
    return minimum;
}

std::int32_t QualityTier::bitrate() const {
    // The tiers are the codec's ladder, rung by rung.
    return OpusCodec::ladder[static_cast<std::size_t>(value_)];
}

std::string QualityTier::label() const {
    return OpusCodec::label(bitrate());
}

std::string QualityTier::qualityNote() const {
    // Each tier is described one step more modestly than the codec's own scale
    // would put its bitrate, so these words are the tier's own.
    switch (value_) {
        case full:
            return "transparent";
        case high:
            return "excellent";
        case medium:
            return "very good";
        case low:
            return "good — slightly softened";
        case minimum:
            return "compressed but musical";
    }
    return {};
}

double QualityTier::megabitsPerSecond() const {
    return bitrate() / 1'000'000.0;
}

double QualityTier::compressionRatio() const {
    return uncompressedMbps / megabitsPerSecond();
}

}  // namespace zoranth
