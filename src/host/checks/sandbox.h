// Whether this program runs inside a Snap or Flatpak sandbox, which is the one place
// on Linux where recording the system audio needs a permission: the sandbox must let
// it reach the sound server. A plain value read from the environment; any thread.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace zoranth {

struct Sandbox {
    enum class Kind { none, snap, flatpak };
    Kind kind = Kind::none;
    std::string name;  // the snap's name or the Flatpak application id; empty for none

    // SNAP_INSTANCE_NAME or SNAP_NAME with SNAP set; FLATPAK_ID, or the name in
    // /.flatpak-info's [Application] group.
    static Sandbox detect();
    static Sandbox detect(const std::function<std::optional<std::string>(const char*)>& variable,
                          const std::string& flatpakInfoPath);

    // "Snap" or "Flatpak"; empty for none.
    std::string label() const;

    // The command that lets the sandbox reach the sound server for recording:
    // "snap connect NAME:audio-record", "flatpak override --user --socket=pulseaudio ID";
    // empty outside a sandbox.
    std::string audioFix() const;

    friend bool operator==(const Sandbox&, const Sandbox&) = default;
};

}  // namespace zoranth
