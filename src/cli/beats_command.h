// Beats mode: runs the built-in beat tracker, or the external beat helper, over
// an audio file and prints every beat it finds, so that the trackers can be
// checked and compared offline. Runs on the main thread; prints to standard
// output directly, not through the host log.
#pragma once

#include <string>

namespace zoranth {

struct BeatsCommand {
    BeatsCommand() = delete;

    // The built-in tracker at the file's own sample rate. Returns the exit status:
    // 1 when the file cannot be opened, else 0 (a read error ends the file early).
    static int run(const std::string& path);

    // The external helper, fed the file in 960-frame blocks paced like live audio;
    // prints the beats and cues it sends. Returns 1 when the file cannot be opened
    // or no helper can be started, else 0.
    static int runHelper(const std::string& path);
};

}  // namespace zoranth
