// Tells apart the ways guests can hear nothing: capture has delivered nothing yet,
// capture delivers silence while nothing plays, capture delivers silence although the
// output is playing (the usual sign of refused recording access), or audio arrives.
// A plain value owned by the capture pipeline's sender thread; the caller passes the time.
#pragma once

#include <optional>
#include <string_view>

namespace zoranth {

class SilenceWatchdog {
public:
    struct Diagnosis {
        enum class Case { idle, notCapturing, likelyDenied, receivingAudio };

        Case kind = Case::idle;
        // How long the silence (or the wait for a first delivery) has lasted; 0 for receivingAudio.
        double seconds = 0.0;

        static Diagnosis idle(double silentFor) { return {Case::idle, silentFor}; }
        static Diagnosis notCapturing(double forSeconds) { return {Case::notCapturing, forSeconds}; }
        static Diagnosis likelyDenied(double silentFor) { return {Case::likelyDenied, silentFor}; }
        static Diagnosis receivingAudio() { return {Case::receivingAudio, 0.0}; }

        // The tap-check state column: "idle", "NO DATA", "DENIED?" or "audio".
        std::string_view shortLabel() const;

        bool operator==(const Diagnosis&) const = default;
    };

    // What the sender loop observed on one pass.
    struct Inputs {
        bool deliveriesSeen = false;  // the ring has received at least one delivery
        bool audioPresent = false;    // some channel's peak in the latest chunk is non-zero
        bool outputRunning = false;   // the default output device is playing in some process
    };

    // Silence this long while the output plays reads as refused access rather than a quiet room.
    static constexpr double deniedAfterSeconds = 5.0;
    // No delivery at all for this long means capture is not running.
    static constexpr double noDataAfterSeconds = 1.5;

    // One evaluation per sender-loop pass; nowSeconds is wall-clock time.
    Diagnosis evaluate(const Inputs& inputs, double nowSeconds);

    const Diagnosis& lastDiagnosis() const { return lastDiagnosis_; }

private:
    std::optional<double> silenceBegan_;
    std::optional<double> startedAt_;
    Diagnosis lastDiagnosis_ = Diagnosis::idle(0.0);
};

} // namespace zoranth
