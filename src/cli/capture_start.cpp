#include "cli/capture_start.h"

#include "host/host_log.h"

namespace zoranth {

std::optional<CaptureStart> CaptureStart::begin() {
    auto ring = CaptureRing::createStandard();
    if (!ring) {
        HostLog::line("FAILED to allocate ring: " + std::string(ring.error().description()));
        return std::nullopt;
    }
    HostLog::line("starting capture (answer the permission prompt if one appears)");
    auto session = TapSession::create();
    const auto format = session->start(*ring);
    if (!format) {
        HostLog::line("FAILED to start capture: " + TapSession::describe(format.error()));
        return std::nullopt;
    }
    HostLog::line("tap format: " + format->text());
    return CaptureStart{std::move(*ring), std::move(session), *format};
}

}  // namespace zoranth
