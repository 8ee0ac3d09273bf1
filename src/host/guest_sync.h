// Classifies each guest's clock-sync state from its latest report, and words a list
// of them for the guest list. Stateless: any thread.
#pragma once

#include <optional>
#include <span>
#include <string>

#include "protocol/wire_format.h"

namespace zoranth {

struct GuestSync {
    GuestSync() = delete;

    enum class State { noReport, syncing, inSync, inSyncNeedsCalibration };

    // A report older than this says nothing about the guest now.
    static constexpr double reportFreshSeconds = 5.0;

    // From a connection snapshot's latest report and when it arrived (seconds on the
    // same clock as now).
    static State state(double now, const std::optional<ClientStat>& stats,
                       std::optional<double> statsAt);

    // "all in sync" or "2 of 3 in sync"; none while nobody has reported.
    static std::optional<std::string> summary(std::span<const State> states);
    // "1 to calibrate", "3 to calibrate"; none when nobody needs it.
    static std::optional<std::string> calibrationNote(std::span<const State> states);
};

}  // namespace zoranth
