#include "platform/nl80211/wireless_station.h"

#include <gtest/gtest.h>
#include <linux/nl80211.h>

#include <filesystem>
#include <optional>

namespace {

using zoranth::WirelessStation;

TEST(WirelessStationWidth, OnlyThePlainChannelWidthsHaveAValue) {
    const struct {
        unsigned width;
        std::optional<int> mhz;
    } cases[] = {
        {NL80211_CHAN_WIDTH_20_NOHT, 20}, {NL80211_CHAN_WIDTH_20, 20},         {NL80211_CHAN_WIDTH_40, 40},
        {NL80211_CHAN_WIDTH_80, 80},      {NL80211_CHAN_WIDTH_160, 160},       {NL80211_CHAN_WIDTH_80P80, std::nullopt},
        {NL80211_CHAN_WIDTH_5, std::nullopt}, {NL80211_CHAN_WIDTH_10, std::nullopt}, {NL80211_CHAN_WIDTH_320, std::nullopt},
    };
    for (const auto& [width, mhz] : cases) {
        EXPECT_EQ(WirelessStation::widthMHz(width), mhz) << "nl80211 width " << width;
    }
}

bool hasWirelessInterface() {
    std::error_code ignored;
    for (const auto& device : std::filesystem::directory_iterator("/sys/class/net", ignored)) {
        if (std::filesystem::exists(device.path() / "wireless", ignored) ||
            std::filesystem::exists(device.path() / "phy80211", ignored)) {
            return true;
        }
    }
    return false;
}

TEST(WirelessStationRead, IsAbsentOnAMachineWithoutWiFi) {
    if (hasWirelessInterface()) {
        GTEST_SKIP() << "this machine has a Wi-Fi interface";
    }
    EXPECT_EQ(WirelessStation::read(), std::nullopt);
}

}  // namespace
