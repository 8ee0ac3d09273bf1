// Serve mode: a whole rave from a terminal. Runs a RaveSession, ticks it four times a
// second, prints the banner, a status line every two seconds with one line per guest,
// the network verdict whenever it changes, and the summary at the end. Main thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace zoranth {

struct ServeCommand {
    ServeCommand() = delete;

    // The name serve mode advertises; empty means this computer's name. Written once
    // while the arguments are parsed, read afterwards.
    static inline std::string raveName;
    // How many guests the rave takes; written with raveName.
    static inline std::size_t maxGuests = 256;

    // The whole terminal run; returns the exit status. `port` 0 takes any free port.
    static int run(std::uint16_t port, std::uint16_t delayMs, std::optional<double> seconds);
};

}  // namespace zoranth
