#include "host/host_status_line.h"

#include "kit/format_text.h"

namespace zoranth {

std::string HostStatusLine::guest(const Guest& guest) {
    std::string text =
        "  [" + guest.name +
        formatText("  sent %.1f MB  q %.2f  drop %d  exp %d", guest.bytesSent / 1'000'000.0,
                   guest.occupancy, guest.droppedFrames, guest.expiredFrames);
    if (guest.rttMs) {
        text += formatText("  rtt %.1f ms", *guest.rttMs);
    }
    if (guest.bufferMs) {
        text += "  buf " + std::to_string(*guest.bufferMs) + " ms";
    }
    if (guest.syncErrorMs) {
        text += formatText("  err %+.1f ms", *guest.syncErrorMs);
    }
    if (guest.latencyMs) {
        text += "  L " + std::to_string(*guest.latencyMs) + " ms";
    }
    return text + "]";
}

}  // namespace zoranth
