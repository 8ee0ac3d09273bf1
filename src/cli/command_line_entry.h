// The process entry: parses the arguments and runs a terminal mode.
// Called once from main on the main thread.
#pragma once

#include <optional>

namespace zoranth {

struct CommandLineEntry {
    // The mode's exit status, or nothing when no terminal mode was selected and
    // the window is to start.
    static std::optional<int> run(int argc, char** argv);
};

}  // namespace zoranth
