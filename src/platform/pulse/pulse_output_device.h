// The sound server's default sink, the "output device" of the capture layer: what plays
// through it, at which rate, whether anything is playing and whether it is muted. Plain
// values and a blocking one-shot query; any thread except the capture callback.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <string>

#include "platform/pulse/pulse_error.h"

namespace zoranth {

struct PulseOutputDevice {
    std::uint32_t index = 0;
    std::string name;         // the server's name for it, e.g. "alsa_output.pci-0000_00_1f.3"
    std::string description;  // what people see, e.g. "Built-in Audio Analog Stereo"
    std::uint32_t rate = 0;
    std::uint32_t channels = 0;
    bool running = false;  // a stream is playing into it (a monitor capture does not count)
    bool muted = false;
    std::string monitorSource;  // the source that carries everything it plays

    // Opens a short connection of its own and reads the default sink. Fails with the
    // server's error: no server, access refused, no default sink, or no answer in time.
    static std::expected<PulseOutputDevice, PulseError> queryDefault(
        std::chrono::milliseconds timeout = std::chrono::milliseconds(3000));

    // Sets the default sink's own mute, over a short connection of its own.
    static std::expected<void, PulseError> setDefaultMuted(
        bool muted, std::chrono::milliseconds timeout = std::chrono::milliseconds(3000));

    bool operator==(const PulseOutputDevice&) const = default;
};

}  // namespace zoranth
