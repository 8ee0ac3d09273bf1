#include "kit/silence_watchdog.h"

namespace zoranth {

std::string_view SilenceWatchdog::Diagnosis::shortLabel() const {
    switch (kind) {
        case Case::idle: return "idle";
        case Case::notCapturing: return "NO DATA";
        case Case::likelyDenied: return "SILENT?";
        case Case::receivingAudio: return "audio";
    }
    return "idle";
}

SilenceWatchdog::Diagnosis SilenceWatchdog::evaluate(const Inputs& inputs, double nowSeconds) {
    if (!startedAt_) startedAt_ = nowSeconds;

    Diagnosis result;
    if (inputs.deliveriesSeen) {
        if (inputs.audioPresent) {
            silenceBegan_.reset();
            result = Diagnosis::receivingAudio();
        } else {
            if (!silenceBegan_) silenceBegan_ = nowSeconds;
            const double silentFor = nowSeconds - *silenceBegan_;
            result = inputs.outputRunning && silentFor >= deniedAfterSeconds ? Diagnosis::likelyDenied(silentFor)
                                                                              : Diagnosis::idle(silentFor);
        }
    } else {
        const double waited = nowSeconds - *startedAt_;
        result = waited >= noDataAfterSeconds ? Diagnosis::notCapturing(waited) : Diagnosis::idle(waited);
    }
    lastDiagnosis_ = result;
    return result;
}

} // namespace zoranth
