// Which sound server this computer runs, as it describes itself: PulseAudio itself or
// PipeWire's pulse service, with its name and version. A plain value and a blocking
// one-shot query over a short connection of its own; any thread except the capture
// callback.
#pragma once

#include <chrono>
#include <expected>
#include <string>
#include <string_view>

#include "platform/pulse/pulse_error.h"

namespace zoranth {

struct PulseServerInfo {
    std::string name;     // the server's own name: "pulseaudio", "PulseAudio (on PipeWire 0.3.65)"
    std::string version;  // its protocol-level version: "16.1", "15.0.0"

    // "PipeWire 0.3.65" for PipeWire's pulse service, "PulseAudio 16.1" for PulseAudio,
    // otherwise the server's name and version as it gives them.
    std::string text() const;
    bool isPipeWire() const;

    // Fails with the server's error: no server, access refused, or no answer in time.
    static std::expected<PulseServerInfo, PulseError> query(
        std::chrono::milliseconds timeout = std::chrono::milliseconds(3000));

    bool operator==(const PulseServerInfo&) const = default;
};

}  // namespace zoranth
