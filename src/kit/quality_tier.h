// The five fixed Opus bitrates the host streams at, best first, with the words
// the window shows for them. A plain value: callable from any thread.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>

namespace zoranth {

class QualityTier {
  public:
    // Raw values: a smaller one is a better quality, and tiers order by it.
    enum Value : int { full = 0, high = 1, medium = 2, low = 3, minimum = 4 };

    // The rate of 48 kHz 16-bit stereo PCM, against which compression is measured.
    static constexpr double uncompressedMbps = 1.536;
    static constexpr std::size_t count = 5;

    constexpr QualityTier(Value value) : value_(value) {}

    static const std::array<QualityTier, 5> allCases;

    // Exactly one of the five bitrates, otherwise no tier.
    static std::optional<QualityTier> fromBitrate(std::int32_t bitrate);
    // 0…4, otherwise no tier.
    static std::optional<QualityTier> fromRawValue(int rawValue);
    // The best tier whose bitrate does not exceed the given one; below every tier
    // (zero and negative included) that is still minimum, the lowest the host streams.
    static QualityTier nearest(std::int32_t atOrBelow);

    constexpr Value value() const { return value_; }
    constexpr int rawValue() const { return value_; }

    std::int32_t bitrate() const;
    std::string label() const;  // "128 kbps"
    std::string qualityNote() const;
    double megabitsPerSecond() const;
    double compressionRatio() const;

    friend constexpr bool operator==(QualityTier, QualityTier) = default;
    friend constexpr auto operator<=>(QualityTier, QualityTier) = default;

  private:
    Value value_;
};

inline constexpr std::array<QualityTier, 5> QualityTier::allCases{full, high, medium, low, minimum};

// Some of the tiers, one bit each: which tier streams the guests need right now.
class TierSet {
  public:
    constexpr TierSet() = default;
    constexpr TierSet(std::initializer_list<QualityTier> tiers) {
        for (const QualityTier tier : tiers) {
            insert(tier);
        }
    }

    constexpr void insert(QualityTier tier) { bits_ |= bit(tier); }
    constexpr bool contains(QualityTier tier) const { return (bits_ & bit(tier)) != 0; }
    constexpr bool empty() const { return bits_ == 0; }
    friend constexpr bool operator==(TierSet, TierSet) = default;

  private:
    static constexpr std::uint8_t bit(QualityTier tier) {
        return static_cast<std::uint8_t>(1u << tier.rawValue());
    }
    std::uint8_t bits_ = 0;
};

}  // namespace zoranth

template <>
struct std::hash<zoranth::QualityTier> {
    std::size_t operator()(zoranth::QualityTier tier) const noexcept {
        return std::hash<int>{}(tier.rawValue());
    }
};
