#include "host/capture/audio_capability.h"

#include "host/capture/core_audio_error.h"
#include "platform/pulse/pulse_capture.h"

namespace zoranth {
namespace {

AudioCapability::Verdict verdictOf(const PulseError& error) {
    if (error.code == CoreAudioError::soundServerAccessDenied) {
        return AudioCapability::Verdict::denied();
    }
    return AudioCapability::Verdict::undetermined(
        CoreAudioError{error.code, error.operation}.description());
}

}  // namespace

std::string AudioCapability::Verdict::text() const {
    switch (which) {
        case Case::granted:
            return "granted";
        case Case::denied:
            return "denied";
        case Case::undetermined:
            break;
    }
    return "undetermined(\"" + reason + "\")";
}

AudioCapability::Verdict AudioCapability::probe() {
    PulseCapture::Config config;
    config.streamName = "Zoranth Permission Probe";
    config.threadName = "zoranth-probe";
    PulseCapture capture(std::move(config));
    if (auto connected = capture.connect(); !connected) {
        return verdictOf(connected.error());
    }
    auto sink = capture.defaultSink();
    if (!sink) {
        return verdictOf(sink.error());
    }
    auto stream = capture.openStream(*sink);
    if (!stream) {
        return verdictOf(stream.error());
    }
    if (stream->rate == 0 || stream->channels == 0) {
        return Verdict::denied();
    }
    return Verdict::granted();
}

}  // namespace zoranth
