// This machine's Wi-Fi link as the window shows it: read through nl80211 into a
// LinkCapacity::Link, described in one line, and how the machine is attached to the
// network (Ethernet, Wi-Fi) read from a network snapshot. The reads are synchronous on
// the caller's thread; everything else is pure.
#pragma once

#include "host/link_capacity.h"
#include "platform/netlink/route_watcher.h"
#include "platform/nl80211/wireless_station.h"

#include <optional>
#include <string>

namespace zoranth {

struct WiFiLink {
    // Absent with no Wi-Fi, the radio off, not joined, or a transmit rate of 0.
    static std::optional<LinkCapacity::Link> current();
    static std::optional<int> channelWidthMHz();

    // "5 GHz · Wi-Fi 6 · 80 MHz · 866 Mbps link · 41 dB SNR", or
    // "Wi-Fi is off or not joined to a network". The first form reads the channel width.
    static std::string describe(const std::optional<LinkCapacity::Link>& link);
    static std::string describe(const std::optional<LinkCapacity::Link>& link, std::optional<int> widthMHz);

    // Ethernet wins over Wi-Fi: a machine wired and on Wi-Fi at once sends over the wire.
    static LinkCapacity::HostAttachment attachment(const std::optional<RouteWatcher::Snapshot>& path);

    // The mappings behind current().
    static std::optional<LinkCapacity::Link> link(const std::optional<WirelessStation>& station);
    static LinkCapacity::Band band(std::optional<int> frequencyMHz);
    static LinkCapacity::PHYMode phyMode(WirelessStation::RateFamily family, LinkCapacity::Band band,
                                         double txRateMbps);
};

}  // namespace zoranth
