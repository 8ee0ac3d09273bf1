#include "host/sleep_blocker.h"

#include <utility>

#include "host/diagnostic_log.h"

namespace zoranth {

SleepBlocker::SleepBlocker() : SleepBlocker([] { return LogindInhibitor::inhibit(request()); }) {}

SleepBlocker::SleepBlocker(Inhibit inhibit) : inhibit_(std::move(inhibit)) {}

LogindInhibitor::Request SleepBlocker::request() {
    return {"idle:sleep", "Zoranth is hosting a rave",
            "Zoranth is streaming audio to guests' phones.", "block"};
}

void SleepBlocker::acquire() {
    if (isHolding()) {
        return;
    }
    auto taken = inhibit_();
    if (!taken) {
        lastFailure_ = taken.error().text();
        DiagnosticLog::write("power", "power: not keeping this computer awake: " + *lastFailure_);
        return;
    }
    inhibition_ = std::move(*taken);
    lastFailure_.reset();
}

void SleepBlocker::release() {
    inhibition_.release();
}

}  // namespace zoranth
