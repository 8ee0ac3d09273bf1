// What the terminal modes tell a person is about this Linux computer: --help, --check,
// --tapcheck, --record and --serve (with and without avahi-daemon to announce it), run for
// real, name no macOS place, product or mechanism.
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
    const std::string take = "--record '" + (state.path() / "take.wav").string() + "' --seconds 1";
    const std::string loopback = "ZORANTH_LISTEN_ADDRESS=127.0.0.1";
    const std::string noAvahi = loopback + " DBUS_SYSTEM_BUS_ADDRESS=unix:path=" +
                                (state.path() / "no-bus").string();
    const struct {
        std::string arguments;
        std::string environment;
    } runs[] = {
        {"--help", ""},
        {"--check", ""},
        {"--tapcheck --seconds 1", ""},
        {take, ""},
        {"--serve --seconds 2", loopback},
        {"--serve --seconds 2", noAvahi},
    };
    for (const auto& [arguments, environment] : runs) {
        const HostRun run = runHost(state.path(), arguments, environment, true);
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
