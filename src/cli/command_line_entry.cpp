#include "cli/command_line_entry.h"

#include <cstdio>
#include <string_view>

namespace zoranth {

std::optional<int> CommandLineEntry::run(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg.starts_with("--") || arg == "-h") {
            std::puts("This mode is not part of this build yet.");
            return 2;
        }
    }
    return std::nullopt;
}

}  // namespace zoranth
