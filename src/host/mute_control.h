// How this computer's own output gets muted during a rave, and who muted it: the mute
// strategies, the ownership record the controller keeps, and the rules that pick a
// strategy and read the muted state. Plain values: callable from any thread.
#pragma once

#include <string>
#include <string_view>

namespace zoranth {

struct MuteControl {
    enum class Strategy {
        device,       // the default output's own mute control
        tap,          // the capture session silences the speakers and keeps the audio
        unavailable,  // no way to mute from here
    };

    struct Ownership {
        bool weMuted = false;
        Strategy strategy = Strategy::unavailable;

        // Not muted by this application: weMuted false, strategy unavailable.
        static constexpr Ownership notMuted() { return {}; }
        friend bool operator==(const Ownership&, const Ownership&) = default;
    };

    // The case name: "device", "tap", "unavailable".
    static std::string_view text(Strategy strategy);

    // The output's own control when it has one; else the capture session, while there is one.
    static Strategy strategy(bool hasTapSession, bool deviceCanMute);

    // Unmuting undoes what we did when we muted; otherwise it uses what works now.
    static Strategy unmuteStrategy(Ownership ownership, Strategy current);

    // A tap mute ends with its capture session; a device mute outlives the rave.
    static Ownership afterTeardown(Ownership ownership);

    // A tap mute leaves the device itself unmuted, yet the speakers are silent.
    static bool isMuted(Ownership ownership, bool deviceMuted);

    // "mute via tap: ok", "unmute via device: FAILED".
    static std::string logLine(bool muting, Strategy strategy, bool succeeded);
};

}  // namespace zoranth
