#include "host/host_status_line.h"

#include <cstdio>

namespace zoranth {

namespace {

template <typename... Values>
std::string formatted(const char* format, Values... values) {
    const int length = std::snprintf(nullptr, 0, format, values...);
    std::string text(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
    std::snprintf(text.data(), text.size() + 1, format, values...);
    return text;
}

}  // namespace

std::string HostStatusLine::guest(const Guest& guest) {
    std::string text = "  [" + guest.name +
                       formatted("  sent %.1f MB  q %.2f  drop %d  exp %d", guest.bytesSent / 1'000'000.0,
                                 guest.occupancy, guest.droppedFrames, guest.expiredFrames);
    if (guest.rttMs) {
        text += formatted("  rtt %.1f ms", *guest.rttMs);
    }
    if (guest.bufferMs) {
        text += "  buf " + std::to_string(*guest.bufferMs) + " ms";
    }
    if (guest.syncErrorMs) {
        text += formatted("  err %+.1f ms", *guest.syncErrorMs);
    }
    if (guest.latencyMs) {
        text += "  L " + std::to_string(*guest.latencyMs) + " ms";
    }
    return text + "]";
}

}  // namespace zoranth
