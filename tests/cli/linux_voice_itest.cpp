// What the terminal modes tell a person is about this Linux computer: --help, --check and
// --tapcheck, run for real, name no macOS place, product or mechanism.
#include <gtest/gtest.h>

#include <string>

#include "cli/host_run.h"

namespace zoranth {
namespace {

constexpr const char* macWords[] = {"Mac",    "macOS",   "System Settings", "Privacy & Security",
                                    "Finder", "Bonjour", "coreaudiod",      "IOProc",
                                    "bundle", "afplay",  "socketfilterfw",  "x-apple"};

TEST(LinuxVoice, TheTerminalModesNameNothingFromAMac) {
    ScratchFolder state;
    for (const char* arguments : {"--help", "--check", "--tapcheck --seconds 1"}) {
        const HostRun run = runHost(state.path(), arguments, "", true);
        ASSERT_FALSE(run.output.empty()) << arguments;
        for (const char* word : macWords) {
            EXPECT_EQ(run.output.find(word), std::string::npos)
                << arguments << " says \"" << word << "\":\n"
                << run.output;
        }
    }
}

}  // namespace
}  // namespace zoranth
