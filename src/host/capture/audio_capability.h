// Whether this computer lets the host record the system audio, found out without starting
// a capture: connect to the sound server and open the output's monitor briefly. On a
// desktop nothing asks permission for that; only a Snap or Flatpak sandbox can refuse
// it. Also the texts that explain a silent capture to the user. The probe blocks (each
// request waits up to a few seconds): call it from a background queue, never the main
// thread; the texts are pure.
#pragma once

#include <optional>
#include <string>

#include "host/checks/sandbox.h"
#include "kit/silence_watchdog.h"
#include "platform/pulse/pulse_error.h"

namespace zoranth {

struct AudioCapability {
    struct Verdict {
        enum class Case { undetermined, granted, denied, unreachable };
        Case which = Case::undetermined;
        // undetermined: why the probe could not decide; denied: the sound server's
        // refusal; unreachable: why there is no sound server to record from.
        std::string reason;
        Sandbox sandbox;  // denied: the sandbox that refused

        static Verdict granted() { return {Case::granted, {}, {}}; }
        static Verdict denied(std::string reason, Sandbox sandbox) {
            return {Case::denied, std::move(reason), std::move(sandbox)};
        }
        static Verdict undetermined(std::string reason) {
            return {Case::undetermined, std::move(reason), {}};
        }
        static Verdict unreachable(std::string reason) {
            return {Case::unreachable, std::move(reason), {}};
        }

        // "granted", "denied(\"{reason}\")", "unreachable(\"{reason}\")" or
        // "undetermined(\"{reason}\")".
        std::string text() const;

        bool operator==(const Verdict&) const = default;
    };

    // Granted when the monitor opens with at least one channel. A refusal or a missing
    // connection is denied inside a sandbox (that sandbox's permission); elsewhere a
    // missing server is unreachable and any other failure undetermined, with the
    // error's text.
    static Verdict probe();

    // What a failed request means here.
    static Verdict verdictOf(const PulseError& error, const Sandbox& sandbox);

    // What the window shows, and the tap check prints, when capture hears nothing
    // useful: nothing delivered at all, or only silence while a program plays into the
    // captured output. Absent for the other diagnoses.
    static std::optional<std::string> silenceWarning(const SilenceWatchdog::Diagnosis& diagnosis,
                                                     bool hadAudioThisRave);
};

}  // namespace zoranth
