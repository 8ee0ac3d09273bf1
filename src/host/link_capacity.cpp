#include "host/link_capacity.h"

namespace zoranth {

namespace {

// At or below this margin over the noise floor a link is too weak to share well.
constexpr int weakSignalSnrDb = 24;

}  // namespace

std::string_view LinkCapacity::label(PHYMode mode) {
    switch (mode) {
    case PHYMode::legacy11b:
        return "802.11b";
    case PHYMode::legacy11g:
        return "802.11g";
    case PHYMode::n:
        return "Wi-Fi 4";
    case PHYMode::ac:
        return "Wi-Fi 5";
    case PHYMode::ax:
        return "Wi-Fi 6";
    case PHYMode::be:
        return "Wi-Fi 7";
    case PHYMode::unknown:
        break;
    }
    return "unknown";
}

std::optional<int> LinkCapacity::snr(const Link& link) {
    if (!link.rssi || !link.noise) {
        return std::nullopt;
    }
    return *link.rssi - *link.noise;
}

std::vector<std::string> LinkCapacity::advice(const std::optional<Link>& link, HostAttachment attachment,
                                              bool throughExtender) {
    std::vector<std::string> lines;
    if (link && link->band == Band::twoPointFour) {
        lines.emplace_back(
            "You're on 2.4 GHz. It carries roughly a tenth of what 5 GHz does and is shared with every "
            "neighbour's network. Moving the party to a 5 GHz SSID is worth more than everything else here "
            "combined.");
    }
    if (attachment == HostAttachment::wifi) {
        lines.emplace_back(
            "Plug this computer into Ethernet. It sends a separate copy of the audio to every guest, so on Wi-Fi it "
            "competes for airtime with its own listeners and roughly halves what the network can carry.");
    }
    if (throughExtender) {
        lines.emplace_back(
            "Guests going through a range extender or mesh node cost twice the airtime, because everything "
            "crosses the air on the way in and again on the way out. A single well-placed access point beats "
            "two chained ones.");
    }
    if (link) {
        if (const auto margin = snr(*link); margin && *margin <= weakSignalSnrDb) {
            lines.push_back("This computer's signal is weak (" + std::to_string(*margin) +
                            " dB above noise). Guests further from the access point than it is will be slower "
                            "still, and one slow guest costs more airtime than several fast ones.");
        }
    }
    return lines;
}

}  // namespace zoranth
