// This machine's Wi-Fi station as the kernel's nl80211 interface reports it: the
// channel's frequency and width, the current transmit rate and the kind of modulation
// behind it, the signal and the noise floor. Synchronous reads; any thread.
#pragma once

#include <optional>
#include <string>

namespace zoranth {

struct WirelessStation {
    // Which 802.11 generation sent the last frame: legacy (11a/b/g rates), HT (11n),
    // VHT (11ac), HE (11ax) or EHT (11be).
    enum class RateFamily { legacy, ht, vht, he, eht };

    std::string interfaceName;
    std::optional<int> frequencyMHz;
    std::optional<int> channelWidthMHz;  // 20, 40, 80 or 160 only
    double txBitrateMbps = 0;
    RateFamily rateFamily = RateFamily::legacy;
    std::optional<int> signalDbm;  // as reported; absent when the driver gives none
    std::optional<int> noiseDbm;

    friend bool operator==(const WirelessStation&, const WirelessStation&) = default;

    // The first station (managed) interface that is joined to a network. Absent with
    // no Wi-Fi hardware or driver, with the radio off, or while not associated.
    static std::optional<WirelessStation> read();

    // An nl80211 channel width (enum nl80211_chan_width) in MHz, when it is one of the
    // four plain widths; 5, 10, 80+80 and 320 MHz channels give no value.
    static std::optional<int> widthMHz(unsigned nl80211Width);
};

}  // namespace zoranth
