#include "platform/firewall/firewalld_zone.h"

#include <charconv>

namespace zoranth {
namespace {

std::optional<unsigned> number(std::string_view text) {
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

bool opens(const std::vector<FirewalldZone::Port>& ports, Traffic traffic) {
    for (const FirewalldZone::Port& port : ports) {
        if (port.protocol == traffic.protocolName() &&
            FirewalldZone::rangeHolds(port.port, traffic.port)) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool FirewalldZone::rangeHolds(std::string_view range, std::uint16_t port) {
    const std::size_t dash = range.find('-');
    const auto low = number(range.substr(0, dash));
    const auto high = dash == std::string_view::npos ? low : number(range.substr(dash + 1));
    return low && high && *low <= port && port <= *high;
}

Admission FirewalldZone::admits(Traffic traffic) const {
    const std::string zone = "the firewalld zone \u201c" + name + "\u201d";
    const std::string what = std::to_string(traffic.port) + "/" + traffic.protocolName();
    if (target == "ACCEPT") {
        return Admission::allowed(zone + " accepts everything (target ACCEPT)");
    }
    if (opens(ports, traffic)) {
        return Admission::allowed(zone + " opens " + what);
    }
    for (const Service& service : services) {
        if (opens(service.ports, traffic)) {
            return Admission::allowed(zone + " allows the service " + service.name);
        }
    }
    return Admission::blocked(zone + " does not open " + what);
}

}  // namespace zoranth
