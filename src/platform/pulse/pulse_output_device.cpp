#include "platform/pulse/pulse_output_device.h"

#include "platform/pulse/pulse_loop.h"

namespace zoranth {
namespace {

// Connects a short-lived loop of its own, finds the default sink and hands both to `use`
// under the loop's lock.
template <typename Use>
auto withDefaultSink(const char* threadName, std::chrono::milliseconds timeout, Use use)
    -> decltype(use(std::declval<PulseLoop&>(), std::declval<PulseLoop::SinkDetails&>())) {
    PulseLoop loop(threadName);
    if (!loop.started()) {
        return std::unexpected(PulseError{PA_ERR_INTERNAL, "pa_threaded_mainloop_start"});
    }
    PulseLoop::Guard guard(loop);
    if (auto connected = loop.connect("Zoranth Host", timeout); !connected) {
        return std::unexpected(connected.error());
    }
    auto sink = loop.defaultSink(timeout);
    if (!sink) {
        return std::unexpected(sink.error());
    }
    return use(loop, *sink);
}

}  // namespace

std::expected<PulseOutputDevice, PulseError> PulseOutputDevice::queryDefault(
    std::chrono::milliseconds timeout) {
    return withDefaultSink(
        "zoranth-pulse-query", timeout,
        [timeout](PulseLoop& loop,
                  PulseLoop::SinkDetails& sink) -> std::expected<PulseOutputDevice, PulseError> {
            auto inputs = loop.sinkInputs(timeout);
            if (!inputs) {
                return std::unexpected(inputs.error());
            }
            sink.device.running = PulseLoop::playsInto(*inputs, sink.device.index);
            return sink.device;
        });
}

std::expected<void, PulseError> PulseOutputDevice::setDefaultMuted(
    bool muted, std::chrono::milliseconds timeout) {
    return withDefaultSink("zoranth-pulse-mute", timeout,
                           [muted, timeout](PulseLoop& loop, PulseLoop::SinkDetails& sink) {
                               return loop.setSinkMute(sink.device.index, muted, timeout);
                           });
}

}  // namespace zoranth
