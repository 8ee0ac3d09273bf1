#include "host/wifi_link.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <vector>

namespace zoranth {

namespace {

using Band = LinkCapacity::Band;
using PHYMode = LinkCapacity::PHYMode;
using HostAttachment = LinkCapacity::HostAttachment;

std::string_view bandText(Band band) {
    switch (band) {
    case Band::twoPointFour:
        return "2.4 GHz";
    case Band::fiveGHz:
        return "5 GHz";
    case Band::sixGHz:
        return "6 GHz";
    case Band::unknown:
        break;
    }
    return "unknown band";
}

// 802.11b knows only these rates; a legacy frame at any other rate is OFDM (11a/g).
bool isDsssRate(double mbps) {
    constexpr std::array rates{1.0, 2.0, 5.5, 11.0};
    return std::ranges::find(rates, mbps) != rates.end();
}

std::optional<int> unlessZero(std::optional<int> reading) {
    if (reading && *reading == 0) {
        return std::nullopt;
    }
    return reading;
}

}  // namespace

Band WiFiLink::band(std::optional<int> frequencyMHz) {
    if (!frequencyMHz) {
        return Band::unknown;
    }
    const int f = *frequencyMHz;
    if (f >= 2400 && f < 2500) {
        return Band::twoPointFour;
    }
    if (f >= 4900 && f < 5925) {
        return Band::fiveGHz;
    }
    if (f >= 5925 && f <= 7125) {
        return Band::sixGHz;
    }
    return Band::unknown;
}

PHYMode WiFiLink::phyMode(WirelessStation::RateFamily family, Band band, double txRateMbps) {
    switch (family) {
    case WirelessStation::RateFamily::eht:
        return PHYMode::be;
    case WirelessStation::RateFamily::he:
        return PHYMode::ax;
    case WirelessStation::RateFamily::vht:
        return PHYMode::ac;
    case WirelessStation::RateFamily::ht:
        return PHYMode::n;
    case WirelessStation::RateFamily::legacy:
        return band == Band::twoPointFour && isDsssRate(txRateMbps) ? PHYMode::legacy11b : PHYMode::legacy11g;
    }
    return PHYMode::unknown;
}

std::optional<LinkCapacity::Link> WiFiLink::link(const std::optional<WirelessStation>& station) {
    if (!station || station->txBitrateMbps <= 0) {
        return std::nullopt;
    }
    LinkCapacity::Link result;
    result.band = band(station->frequencyMHz);
    result.phyMode = phyMode(station->rateFamily, result.band, station->txBitrateMbps);
    result.txRateMbps = station->txBitrateMbps;
    result.rssi = unlessZero(station->signalDbm);
    result.noise = unlessZero(station->noiseDbm);
    return result;
}

std::optional<LinkCapacity::Link> WiFiLink::current() { return link(WirelessStation::read()); }

std::optional<int> WiFiLink::channelWidthMHz() {
    const auto station = WirelessStation::read();
    return station ? station->channelWidthMHz : std::nullopt;
}

std::string WiFiLink::describe(const std::optional<LinkCapacity::Link>& link) {
    return describe(link, link ? channelWidthMHz() : std::nullopt);
}

std::string WiFiLink::describe(const std::optional<LinkCapacity::Link>& link, std::optional<int> widthMHz) {
    if (!link) {
        return "Wi-Fi is off or not joined to a network";
    }
    std::vector<std::string> parts{std::string(bandText(link->band)), std::string(LinkCapacity::label(link->phyMode))};
    if (widthMHz) {
        parts.push_back(std::to_string(*widthMHz) + " MHz");
    }
    char rate[48];
    std::snprintf(rate, sizeof rate, "%.0f Mbps link", link->txRateMbps);
    parts.emplace_back(rate);
    if (const auto margin = LinkCapacity::snr(*link)) {
        parts.push_back(std::to_string(*margin) + " dB SNR");
    }
    std::string text;
    for (const auto& part : parts) {
        text += text.empty() ? part : " · " + part;
    }
    return text;
}

HostAttachment WiFiLink::attachment(const std::optional<RouteWatcher::Snapshot>& path) {
    if (!path || !path->hasUsableInterface()) {
        return HostAttachment::unknown;
    }
    // The interfaces traffic leaves by: those with a default route, or, on a network
    // without a gateway, every usable one.
    std::vector<const RouteWatcher::Interface*> used;
    for (const auto& candidate : path->interfaces) {
        if (candidate.isUsable() && candidate.carriesDefaultRoute) {
            used.push_back(&candidate);
        }
    }
    if (used.empty()) {
        for (const auto& candidate : path->interfaces) {
            if (candidate.isUsable()) {
                used.push_back(&candidate);
            }
        }
    }
    if (std::ranges::any_of(used, [](const auto* entry) { return entry->isWiredEthernet(); })) {
        return HostAttachment::ethernet;
    }
    if (std::ranges::any_of(used, [](const auto* entry) { return entry->wireless; })) {
        return HostAttachment::wifi;
    }
    return HostAttachment::unknown;
}

}  // namespace zoranth
