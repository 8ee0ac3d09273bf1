// How record mode brings capture up, as a rave does: the standard ring,
// a started tap session and its format, with the lines they print on the way. Main
// thread.
#pragma once

#include <memory>
#include <optional>

#include "host/capture/capture_ring.h"
#include "host/capture/tap_format.h"
#include "host/capture/tap_session.h"

namespace zoranth {

struct CaptureStart {
    std::shared_ptr<CaptureRing> ring;
    std::shared_ptr<TapSession> session;
    TapFormat format;

    // Prints "FAILED to allocate ring: …" or "FAILED to start capture: …" and gives
    // nothing when capture cannot start; otherwise prints "tap format: …".
    static std::optional<CaptureStart> begin();
};

}  // namespace zoranth
