#include "kit/quality_tier.h"

#include <gtest/gtest.h>

#include <unordered_set>

namespace zoranth {
namespace {

TEST(QualityTier, EachTierAsTabled) {
    const struct {
        QualityTier tier;
        int rawValue;
        std::int32_t bitrate;
        const char* label;
        const char* note;
        double megabits;
        double compression;
    } rows[] = {
        {QualityTier::full, 0, 256000, "256 kbps", "transparent", 0.256, 6.0},
        {QualityTier::high, 1, 192000, "192 kbps", "excellent", 0.192, 8.0},
        {QualityTier::medium, 2, 128000, "128 kbps", "very good", 0.128, 12.0},
        {QualityTier::low, 3, 96000, "96 kbps", "good — slightly softened", 0.096, 16.0},
        {QualityTier::minimum, 4, 64000, "64 kbps", "compressed but musical", 0.064, 24.0},
    };
    ASSERT_EQ(std::size(rows), QualityTier::allCases.size());
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const auto& row = rows[i];
        SCOPED_TRACE(row.label);
        EXPECT_EQ(QualityTier::allCases[i], row.tier);  // iteration is in raw-value order
        EXPECT_EQ(row.tier.rawValue(), row.rawValue);
        EXPECT_EQ(row.tier.bitrate(), row.bitrate);
        EXPECT_EQ(row.tier.label(), row.label);
        EXPECT_EQ(row.tier.qualityNote(), row.note);
        EXPECT_DOUBLE_EQ(row.tier.megabitsPerSecond(), row.megabits);
        EXPECT_DOUBLE_EQ(row.tier.compressionRatio(), row.compression);
        EXPECT_EQ(QualityTier::fromRawValue(row.rawValue), row.tier);
        EXPECT_EQ(QualityTier::fromBitrate(row.bitrate), row.tier);
    }
}

TEST(QualityTier, SmallerRawValueIsBetterAndOrdersFirst) {
    EXPECT_LT(QualityTier(QualityTier::full), QualityTier::high);
    EXPECT_LT(QualityTier(QualityTier::low), QualityTier::minimum);
    EXPECT_GT(QualityTier(QualityTier::minimum), QualityTier::full);
    std::unordered_set<QualityTier> seen(QualityTier::allCases.begin(),
                                         QualityTier::allCases.end());
    EXPECT_EQ(seen.size(), 5u);
}

TEST(QualityTier, OnlyExactBitratesAndRawValuesNameATier) {
    for (std::int32_t bitrate : {0, -1, 64001, 127999, 255999, 256001, 320000}) {
        EXPECT_EQ(QualityTier::fromBitrate(bitrate), std::nullopt) << bitrate;
    }
    for (int rawValue : {-1, 5, 100}) {
        EXPECT_EQ(QualityTier::fromRawValue(rawValue), std::nullopt) << rawValue;
    }
}

TEST(QualityTier, NearestIsTheBestTierNotAboveTheBitrate) {
    const struct {
        std::int32_t bitrate;
        QualityTier tier;
    } cases[] = {
        {510000, QualityTier::full},   {256000, QualityTier::full},   {255999, QualityTier::high},
        {192000, QualityTier::high},   {191999, QualityTier::medium}, {128000, QualityTier::medium},
        {127999, QualityTier::low},    {96000, QualityTier::low},     {95999, QualityTier::minimum},
        {64000, QualityTier::minimum}, {63999, QualityTier::minimum}, {0, QualityTier::minimum},
        {-5, QualityTier::minimum},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(QualityTier::nearest(c.bitrate), c.tier) << c.bitrate;
    }
}

}  // namespace
}  // namespace zoranth
