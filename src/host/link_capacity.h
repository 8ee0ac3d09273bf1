// The vocabulary of this machine's own network link (band, PHY generation, transmit
// rate, signal, noise, how the machine is attached) and the plain-language advice the
// settings screen gives from it. Values and pure functions: any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zoranth {

struct LinkCapacity {
    enum class Band { twoPointFour, fiveGHz, sixGHz, unknown };

    enum class PHYMode { legacy11b, legacy11g, n, ac, ax, be, unknown };

    enum class HostAttachment { ethernet, wifi, unknown };

    struct Link {
        Band band = Band::unknown;
        PHYMode phyMode = PHYMode::unknown;
        double txRateMbps = 0;
        std::optional<int> rssi;   // dBm
        std::optional<int> noise;  // dBm
        friend bool operator==(const Link&, const Link&) = default;
    };

    // "802.11b", "802.11g", "Wi-Fi 4" … "Wi-Fi 7", "unknown".
    static std::string_view label(PHYMode mode);

    // The advice lines that apply, in a fixed order; none when nothing needs saying.
    static std::vector<std::string> advice(const std::optional<Link>& link, HostAttachment attachment,
                                           bool throughExtender);

    // Signal above noise in dB, when both are known.
    static std::optional<int> snr(const Link& link);
};

}  // namespace zoranth
