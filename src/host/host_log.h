// The host's one progress trail: every component writes its lines here. Each line
// goes to standard output and, time-stamped, to the host log file. Callable from
// any thread; never from the realtime capture callback.
#pragma once

#include <string>
#include <string_view>

namespace zoranth {

struct HostLog {
    // Prints the line, then appends "yyyy-MM-dd HH:mm:ss.SSS  text" to the log file.
    // Problems with the file silently reduce the log to standard output.
    static void line(std::string_view text);

    // Whether lines also go to the file (true until switched off, e.g. for beats mode).
    static bool writesFile();
    static void setWritesFile(bool writes);

    // $XDG_STATE_HOME/zoranth/host.log, by default ~/.local/state/zoranth/host.log;
    // computed once per process.
    static const std::string& logPath();

    // The folder holding the log (and the black-box dumps).
    static std::string logFolder();

    // The path rule itself, for the given environment values (either may be null).
    static std::string pathFor(const char* xdgStateHome, const char* home);
};

}  // namespace zoranth
