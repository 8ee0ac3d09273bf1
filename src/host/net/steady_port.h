// The port raves listen on, kept the same from rave to rave so that a firewall rule
// made for it stays right: the first rave takes a free port and remembers it (per
// user, in $XDG_STATE_HOME/zoranth/rave-port); later raves ask for the same one and
// fall back to any free port only while another program holds it. A port given on the
// command line wins. Any thread; the file is read and written whole on each call.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace zoranth {

class SteadyPort {
  public:
    struct Setup {
        std::string stateFile = defaultStateFile();
        // Where the rave will listen: a port counts as taken when it cannot be bound here.
        std::string listenAddress = "0.0.0.0";
    };

    struct Choice {
        std::uint16_t port = 0;              // the port to listen on
        bool fellBack = false;               // the usual port was taken and another was chosen
        std::optional<std::uint16_t> usual;  // the remembered port, when there is one
        friend bool operator==(const Choice&, const Choice&) = default;
    };

    SteadyPort() : SteadyPort(Setup{}) {}
    explicit SteadyPort(Setup setup) : setup_(std::move(setup)) {}

    // `requested` (from --port; 0 counts as none) as it is; otherwise the remembered
    // port while it is free, else a free port chosen now (port 0 when even that fails,
    // which lets the listener choose). Remembers nothing: call remember() once the
    // rave listens.
    Choice choose(std::optional<std::uint16_t> requested) const;

    // Keeps `port` as the usual one, unless one is remembered already. False when the
    // file cannot be written (the rave goes on; the next one chooses again).
    bool remember(std::uint16_t port) const;

    // The remembered port, or a free port remembered now: the port the checkup and
    // the firewall fix speak of before any rave ran. 0 when none can be had.
    std::uint16_t settle() const;

    std::optional<std::uint16_t> remembered() const;

    // Whether the port can be bound at the listen address right now.
    bool isFree(std::uint16_t port) const;

    // The line a rave prints when it fell back.
    static std::string fallbackLine(std::uint16_t usual, std::uint16_t chosen);

    // $XDG_STATE_HOME/zoranth/rave-port, by default ~/.local/state/zoranth/rave-port.
    static std::string defaultStateFile();

  private:
    std::uint16_t anyFreePort() const;

    Setup setup_;
};

}  // namespace zoranth
