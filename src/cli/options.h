// The terminal modes' options, parsed from the process arguments. Parsing is a
// pure function that never fails: unknown arguments are ignored and malformed
// numbers fall back. Callable from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace zoranth {

struct Options {
    std::string command = "gui";
    std::string path = "capture.wav";
    double seconds = 10.0;
    std::uint16_t port = 0;
    bool stress = false;
    std::uint16_t delayMs = 1500;
    // How many guests the rave takes (serve mode): 1…4096, else 256.
    std::uint16_t maxGuests = 256;

    // The arguments without the program path. A later mode option replaces an
    // earlier one; a value option given last has no effect.
    static Options parse(std::span<const std::string> arguments);

    // The value of the last "--name NAME", scanned exactly as parse scans, so an
    // argument consumed as another option's value is never taken for it.
    static std::optional<std::string> raveNameArgument(std::span<const std::string> arguments);

    friend bool operator==(const Options&, const Options&) = default;
};

}  // namespace zoranth
