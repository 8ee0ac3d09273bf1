// Whether this computer lets the host record the system audio, found out without starting
// a capture: connect to the sound server and open the output's monitor briefly. Blocking
// (each request waits up to a few seconds): call it from a background queue, never the main
// thread.
#pragma once

#include <string>

namespace zoranth {

struct AudioCapability {
    struct Verdict {
        enum class Case { undetermined, granted, denied };
        Case which = Case::undetermined;
        std::string reason;  // why the probe could not decide (undetermined only)

        static Verdict granted() { return {Case::granted, {}}; }
        static Verdict denied() { return {Case::denied, {}}; }
        static Verdict undetermined(std::string reason) {
            return {Case::undetermined, std::move(reason)};
        }

        // "granted", "denied" or "undetermined(\"{reason}\")".
        std::string text() const;

        bool operator==(const Verdict&) const = default;
    };

    // Granted when the monitor opens with at least one channel; denied when the server
    // refuses access or gives an empty stream; undetermined, with the error's text, when
    // there is no server or it fails otherwise.
    static Verdict probe();
};

}  // namespace zoranth
