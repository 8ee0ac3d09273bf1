// Serve mode: broadcasting a rave from a terminal. For now only the rave name
// that --name sets; written once while the arguments are parsed, read afterwards.
#pragma once

#include <string>

namespace zoranth {

struct ServeCommand {
    ServeCommand() = delete;

    // The name serve mode advertises; empty means this computer's name.
    static inline std::string raveName;
};

}  // namespace zoranth
