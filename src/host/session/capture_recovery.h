// The capture-recovery ladder of a live rave: watches each status refresh for a capture
// gone silent, spliced or garbled, and decides when to refresh the tap in place, when to
// rebuild it and when to log the outcome. A plain value with the time passed in; the
// rave session runs it on the main thread and carries out its steps.
#pragma once

#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "host/session/broadcast_sink.h"
#include "kit/silence_watchdog.h"

namespace zoranth {

class CaptureRecovery {
  public:
    // Where the ladder stands.
    struct Recovery {
        enum class Case { watching, refreshed, restarted };
        Case kind = Case::watching;
        double at = 0;  // refreshed and restarted: when that step was taken

        static Recovery watching() { return {Case::watching, 0}; }
        static Recovery refreshed(double at) { return {Case::refreshed, at}; }
        static Recovery restarted(double at) { return {Case::restarted, at}; }
        friend bool operator==(const Recovery&, const Recovery&) = default;
    };

    // What one check reads of the capture.
    struct Signals {
        SilenceWatchdog::Diagnosis diagnosis = SilenceWatchdog::Diagnosis::idle(0);
        std::optional<double> spliceRate;
        // Present only while the beat helper runs.
        std::optional<BroadcastSink::CaptureCanary> canary;
    };

    // What the owner has to do after a check.
    struct Step {
        enum class Action {
            none,
            refresh,  // dump the black box, refresh the tap in place, forget the canary's beats
            rebuild,  // rebuild the tap on the same ring, forget the canary's beats
        };
        Action action = Action::none;
        std::string reason;              // "garbled", "silent" or "spliced"
        std::vector<std::string> lines;  // host-log lines, in order, written before acting
    };

    // A first refresh waits this long after the last step of the rave...
    static constexpr double refreshSpacingSeconds = 30;
    // ...and every later step this long after the one before.
    static constexpr double stepSeconds = 20;
    // The share of spliced deliveries from which the capture is suspect.
    static constexpr double suspectSpliceRate = 0.2;

    // One check, run by each status refresh of a live rave.
    Step check(double now, const Signals& reading);

    // Back to watching with no step taken and no audio seen: every rave starts so.
    void reset();

    const Recovery& recovery() const { return recovery_; }
    double lastRecoveryAt() const { return lastRecoveryAt_; }
    bool hadAudioThisRave() const { return hadAudioThisRave_; }

    // "12.3 beats/s" or "no beats".
    static std::string beatText(const std::optional<BroadcastSink::CaptureCanary>& canary);
    // "splice 25%" or "splice -".
    static std::string spliceText(std::optional<double> spliceRate);
    // The case name with its payload: "likelyDenied(silentFor: 12.5)", "receivingAudio".
    static std::string diagnosisText(const SilenceWatchdog::Diagnosis& diagnosis);

  private:
    // The suspect reason, or none when the capture looks fine.
    std::optional<std::string> suspicion(const Signals& reading) const;
    void moveTo(Recovery recovery, double now);
    void settle(double now);

    Recovery recovery_ = Recovery::watching();
    double lastRecoveryAt_ = -std::numeric_limits<double>::infinity();
    bool hadAudioThisRave_ = false;
};

}  // namespace zoranth
