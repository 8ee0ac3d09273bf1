#include "host/guest_sync.h"

#include <algorithm>

namespace zoranth {
namespace {

bool isInSync(GuestSync::State state) {
    return state == GuestSync::State::inSync || state == GuestSync::State::inSyncNeedsCalibration;
}

}  // namespace

GuestSync::State GuestSync::state(double now, const std::optional<ClientStat>& stats,
                                  std::optional<double> statsAt) {
    if (!stats || !statsAt || now - *statsAt > reportFreshSeconds || !stats->hasMeasurement()) {
        return State::noReport;
    }
    if (!stats->isLocked()) {
        return State::syncing;
    }
    // Bluetooth and AirPlay add a delay of their own that only calibration measures.
    if (!needsCalibration(stats->route()) || stats->isCalibrated()) {
        return State::inSync;
    }
    return State::inSyncNeedsCalibration;
}

std::optional<std::string> GuestSync::summary(std::span<const State> states) {
    if (std::all_of(states.begin(), states.end(),
                    [](State state) { return state == State::noReport; })) {
        return std::nullopt;
    }
    const auto inSync = std::count_if(states.begin(), states.end(), isInSync);
    if (static_cast<std::size_t>(inSync) == states.size()) {
        return "all in sync";
    }
    // Guests without a report still count in the total.
    return std::to_string(inSync) + " of " + std::to_string(states.size()) + " in sync";
}

std::optional<std::string> GuestSync::calibrationNote(std::span<const State> states) {
    const auto toCalibrate =
        std::count(states.begin(), states.end(), State::inSyncNeedsCalibration);
    if (toCalibrate == 0) {
        return std::nullopt;
    }
    return std::to_string(toCalibrate) + " to calibrate";
}

}  // namespace zoranth
