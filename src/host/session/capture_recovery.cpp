#include "host/session/capture_recovery.h"

#include "kit/format_text.h"

namespace zoranth {
std::string CaptureRecovery::beatText(const std::optional<BroadcastSink::CaptureCanary>& canary) {
    if (!canary || !canary->beatsPerSecond) {
        return "no beats";
    }
    return formatText("%.1f beats/s", *canary->beatsPerSecond);
}

std::string CaptureRecovery::spliceText(std::optional<double> spliceRate) {
    if (!spliceRate) {
        return "splice -";
    }
    return formatText("splice %.0f%%", *spliceRate * 100);
}

std::string CaptureRecovery::diagnosisText(const SilenceWatchdog::Diagnosis& diagnosis) {
    using Case = SilenceWatchdog::Diagnosis::Case;
    switch (diagnosis.kind) {
        case Case::idle:
            return formatText("idle(silentFor: %g)", diagnosis.seconds);
        case Case::notCapturing:
            return formatText("notCapturing(for: %g)", diagnosis.seconds);
        case Case::likelyDenied:
            return formatText("likelyDenied(silentFor: %g)", diagnosis.seconds);
        case Case::receivingAudio:
            return "receivingAudio";
    }
    return "idle";
}

std::optional<std::string> CaptureRecovery::suspicion(const Signals& reading) const {
    // Audio that flowed earlier in this rave and stopped; silence from the start is the
    // permission warning's business, not the ladder's.
    const bool silent = reading.diagnosis.kind == SilenceWatchdog::Diagnosis::Case::likelyDenied &&
                        hadAudioThisRave_;
    const bool garbled = reading.canary && reading.canary->suspect;
    if (garbled) {
        return "garbled";
    }
    if (silent) {
        return "silent";
    }
    if (reading.spliceRate && *reading.spliceRate >= suspectSpliceRate) {
        return "spliced";
    }
    return std::nullopt;
}

CaptureRecovery::Step CaptureRecovery::check(double now, const Signals& reading) {
    if (reading.diagnosis.kind == SilenceWatchdog::Diagnosis::Case::receivingAudio) {
        hadAudioThisRave_ = true;
    }
    const std::string evidence = beatText(reading.canary) + ", " + spliceText(reading.spliceRate);
    const std::optional<std::string> suspect = suspicion(reading);
    Step step;
    switch (recovery_.kind) {
        case Recovery::Case::watching:
            if (suspect && now - lastRecoveryAt_ >= refreshSpacingSeconds) {
                step.action = Step::Action::refresh;
                step.reason = *suspect;
                step.lines.push_back("capture suspect (" + *suspect + ": " + evidence + ", " +
                                     diagnosisText(reading.diagnosis) + "): the tap looks broken");
                moveTo(Recovery::refreshed(now), now);
            }
            break;
        case Recovery::Case::refreshed:
            if (now - recovery_.at < stepSeconds) {
                break;
            }
            if (suspect) {
                step.action = Step::Action::rebuild;
                step.reason = *suspect;
                step.lines.push_back("capture still suspect after the refresh (" + evidence +
                                     "); rebuilding the tap");
                moveTo(Recovery::restarted(now), now);
            } else {
                step.lines.push_back("capture recovered after the refresh (" + evidence + ")");
                settle(now);
            }
            break;
        case Recovery::Case::restarted:
            if (now - recovery_.at < stepSeconds) {
                break;
            }
            step.lines.push_back(
                suspect ? "capture STILL suspect after rebuilding the tap (" + evidence + ")"
                        : "capture recovered after rebuilding the tap (" + evidence + ")");
            settle(now);
            break;
    }
    return step;
}

void CaptureRecovery::moveTo(Recovery recovery, double now) {
    recovery_ = recovery;
    lastRecoveryAt_ = now;
}

void CaptureRecovery::settle(double now) {
    moveTo(Recovery::watching(), now);
}

void CaptureRecovery::reset() {
    recovery_ = Recovery::watching();
    lastRecoveryAt_ = -std::numeric_limits<double>::infinity();
    hadAudioThisRave_ = false;
}

}  // namespace zoranth
