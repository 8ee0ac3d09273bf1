// The process entry: parses the arguments and runs a terminal mode, or reports
// that none was asked for so that the window starts. Called once from main on
// the main thread.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

namespace zoranth {

struct CommandLineEntry {
    // The terminal modes, each returning the process exit status. Swappable so
    // that the dispatch can be checked without running a mode.
    struct Modes {
        std::function<int(double seconds)> tapCheck;
        std::function<int(const std::string& path, double seconds, bool stress)> record;
        // No duration means serve until stopped.
        std::function<int(std::uint16_t port, std::uint16_t delayMs, std::optional<double> seconds)>
            serve;
        std::function<int(const std::string& path)> beats;
        std::function<int(const std::string& path)> beatsHelper;
        std::function<int()> check;

        // The modes of this build.
        static Modes builtIn();
    };

    // The mode's exit status, or nothing when no terminal mode was selected and
    // the window is to start.
    static std::optional<int> run(int argc, char** argv);

    // Parses the arguments (without the program path), takes the rave name from
    // them and runs the selected mode.
    static std::optional<int> dispatch(std::span<const std::string> arguments, const Modes& modes);

    // The usage text, ending with where the host log goes, on standard output.
    static void usage();

    // One line per reference message, "name: " and the frame in lower-case hex,
    // so a guest implementation can be checked byte for byte.
    static void emitGoldenVectors();
};

}  // namespace zoranth
