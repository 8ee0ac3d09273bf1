// The join link's QR code: a scanner reads the link back from the PNG, and the
// terminal drawing carries exactly the code's modules.
#include "host/web/join_code.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using zoranth::JoinCode;

std::string run(const std::string& command) {
    std::string output;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[512];
        while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
            output += buffer;
        }
        ::pclose(pipe);
    }
    return output;
}

TEST(JoinCode, AScannerReadsTheLinkFromThePng) {
    const std::string link = "http://192.168.1.20:51234/";
    const auto code = JoinCode::make(link);
    ASSERT_TRUE(code) << code.error();
    const auto png = code->png();
    const auto path = std::filesystem::temp_directory_path() /
                      ("join-code-" + std::to_string(::getpid()) + ".png");
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
    const std::string read = run("zbarimg --quiet --raw '" + path.string() + "' 2>/dev/null");
    std::filesystem::remove(path);
    EXPECT_EQ(read, link + "\n");
}

TEST(JoinCode, TheTerminalDrawingHoldsEveryModule) {
    const auto code = JoinCode::make("http://10.0.0.2:5000/");
    ASSERT_TRUE(code);
    const int margin = 2;
    const std::string text = code->terminalText(margin);
    // Back from half blocks to modules: light ones are drawn.
    const std::vector<std::string> halves = {"\u2588", "\u2580", "\u2584", " "};
    int y = -margin;
    std::size_t at = 0;
    while (at < text.size()) {
        int x = -margin;
        while (text[at] != '\n') {
            int cell = -1;
            for (int i = 0; i < 4; ++i) {
                if (text.compare(at, halves[i].size(), halves[i]) == 0) {
                    cell = i;
                    at += halves[i].size();
                    break;
                }
            }
            ASSERT_GE(cell, 0) << "unexpected text at byte " << at;
            const bool topDark = cell >= 2;
            const bool bottomDark = cell == 1 || cell == 3;
            EXPECT_EQ(topDark, code->isDark(x, y)) << x << "," << y;
            if (y + 1 < code->size() + margin) {
                EXPECT_EQ(bottomDark, code->isDark(x, y + 1)) << x << "," << y + 1;
            }
            ++x;
        }
        EXPECT_EQ(x, code->size() + margin);
        ++at;
        y += 2;
    }
    EXPECT_GE(y, code->size() + margin);
}

TEST(JoinCode, ALinkTooLongForACodeIsRefused) {
    const auto code = JoinCode::make(std::string(8000, 'a'));
    ASSERT_FALSE(code);
    EXPECT_EQ(code.error(), "the link is too long for a QR code");
}

}  // namespace
