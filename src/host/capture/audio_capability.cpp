#include "host/capture/audio_capability.h"

#include "host/capture/sound_server_error.h"
#include "platform/pulse/pulse_capture.h"

namespace zoranth {
namespace {

// The connection could not be made or was lost: there is no server to record from.
bool isMissingServer(int code) {
    return code == SoundServerError::connectionRefused ||
           code == SoundServerError::connectionTerminated;
}

}  // namespace

std::string AudioCapability::Verdict::text() const {
    switch (which) {
        case Case::granted:
            return "granted";
        case Case::denied:
            return "denied(\"" + reason + "\")";
        case Case::unreachable:
            return "unreachable(\"" + reason + "\")";
        case Case::undetermined:
            break;
    }
    return "undetermined(\"" + reason + "\")";
}

AudioCapability::Verdict AudioCapability::verdictOf(const PulseError& error,
                                                    const Sandbox& sandbox) {
    const std::string described = SoundServerError{error.code, error.operation}.description();
    const bool refused =
        error.code == SoundServerError::accessDenied || isMissingServer(error.code);
    // A sandbox without the permission either hides the server's socket or has the
    // server refuse recording; outside one, neither is a permission.
    if (sandbox.kind != Sandbox::Kind::none && refused) {
        return Verdict::denied(error.text(), sandbox);
    }
    if (isMissingServer(error.code)) {
        return Verdict::unreachable(described);
    }
    return Verdict::undetermined(described);
}

AudioCapability::Verdict AudioCapability::probe() {
    const Sandbox sandbox = Sandbox::detect();
    PulseCapture::Config config;
    config.streamName = "Zoranth Capture Probe";
    config.threadName = "zoranth-probe";
    PulseCapture capture(std::move(config));
    if (auto connected = capture.connect(); !connected) {
        return verdictOf(connected.error(), sandbox);
    }
    auto sink = capture.defaultSink();
    if (!sink) {
        return verdictOf(sink.error(), sandbox);
    }
    auto stream = capture.openStream(*sink);
    if (!stream) {
        return verdictOf(stream.error(), sandbox);
    }
    if (stream->rate == 0 || stream->channels == 0) {
        return Verdict::undetermined("the sound server opened an empty capture stream");
    }
    return Verdict::granted();
}

std::optional<std::string> AudioCapability::silenceWarning(
    const SilenceWatchdog::Diagnosis& diagnosis, bool hadAudioThisRave) {
    using Case = SilenceWatchdog::Diagnosis::Case;
    if (diagnosis.kind == Case::notCapturing) {
        return "Zoranth is not receiving any audio from this computer.\n\nThe capture stream "
               "started but the sound server has delivered nothing, not even silence. Press "
               "Stop and Start again.";
    }
    if (diagnosis.kind != Case::likelyDenied) {
        return std::nullopt;
    }
    if (hadAudioThisRave) {
        return "Zoranth lost this computer's audio for a moment and is reconnecting to it.\n\n"
               "If it doesn't come back within a minute, press Stop and Start again.";
    }
    return "Zoranth hears only silence although a program is playing on this computer's "
           "output.\n\nWhat it plays is silent: the program is playing silence, or its own "
           "volume is muted or at zero. Guests hear exactly what this computer plays.";
}

}  // namespace zoranth
