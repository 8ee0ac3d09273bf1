// The one executable: a terminal mode when one is asked for, else the window.
#include "cli/command_line_entry.h"

#include <cstdio>
#include <cstdlib>

#ifdef ZORANTH_HAS_APP
#include "app/host_app.h"
#endif

int main(int argc, char** argv) {
    if (auto status = zoranth::CommandLineEntry::run(argc, argv)) {
        std::fflush(stdout);
        return *status;
    }
#ifdef ZORANTH_HAS_APP
    return zoranth::HostApp::run(argc, argv);
#else
    std::fputs("The window is not part of this build yet; see --help for the terminal modes.\n",
               stderr);
    return 2;
#endif
}
