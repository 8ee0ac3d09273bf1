#include "cli/command_line_entry.h"

#include <gtest/gtest.h>

TEST(CommandLineEntry, NoModeStartsTheWindow) {
    char program[] = "zoranth-host";
    char* argv[] = {program, nullptr};
    EXPECT_FALSE(zoranth::CommandLineEntry::run(1, argv).has_value());
}
