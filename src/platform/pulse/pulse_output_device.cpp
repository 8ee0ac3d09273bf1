#include "platform/pulse/pulse_output_device.h"

#include "platform/pulse/pulse_loop.h"

namespace zoranth {

std::expected<PulseOutputDevice, PulseError> PulseOutputDevice::queryDefault(
    std::chrono::milliseconds timeout) {
    PulseLoop loop("zoranth-pulse-query");
    if (auto connected = loop.connect("Zoranth Host", timeout); !connected) {
        return std::unexpected(connected.error());
    }
    PulseLoop::Guard guard(loop);
    auto sink = loop.defaultSink(timeout);
    if (!sink) {
        return std::unexpected(sink.error());
    }
    auto inputs = loop.sinkInputs(timeout);
    if (!inputs) {
        return std::unexpected(inputs.error());
    }
    sink->device.running = PulseLoop::playsInto(*inputs, sink->device.index);
    return sink->device;
}

std::expected<void, PulseError> PulseOutputDevice::setDefaultMuted(
    bool muted, std::chrono::milliseconds timeout) {
    PulseLoop loop("zoranth-pulse-mute");
    if (auto connected = loop.connect("Zoranth Host", timeout); !connected) {
        return std::unexpected(connected.error());
    }
    PulseLoop::Guard guard(loop);
    auto sink = loop.defaultSink(timeout);
    if (!sink) {
        return std::unexpected(sink.error());
    }
    return loop.setSinkMute(sink->device.index, muted, timeout);
}

}  // namespace zoranth
