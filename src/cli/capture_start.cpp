#include "cli/capture_start.h"

#include "host/host_log.h"
#include "host/session/rave_session.h"

namespace zoranth {

std::optional<CaptureStart> CaptureStart::begin() {
    auto capture = RaveSession::bringUpCapture(HostLog::line);
    if (!capture) {
        HostLog::line(capture.error().line());
        return std::nullopt;
    }
    return CaptureStart{std::move(capture->ring), std::move(capture->session), capture->format};
}

}  // namespace zoranth
