#include "host/beats/beat_line.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using zoranth::Beat;
using zoranth::BeatLine;
using zoranth::Cue;

std::vector<std::uint8_t> bytesOf(std::string_view text) {
    return {text.begin(), text.end()};
}

struct ParseCase {
    const char* line;
    std::optional<BeatLine::Parsed> expected;
};

class BeatLineParse : public testing::TestWithParam<ParseCase> {};

TEST_P(BeatLineParse, GivesTheEventOrIgnoresTheLine) {
    EXPECT_EQ(BeatLine::parse(GetParam().line), GetParam().expected) << GetParam().line;
}

INSTANTIATE_TEST_SUITE_P(
    Lines, BeatLineParse,
    testing::Values(
        ParseCase{"B 123 1 1 12800 200", Beat{123, true, 1, 12800, 200}},
        // Only a downbeat field of exactly 1 marks the downbeat.
        ParseCase{"B 123 2 3 12800 200", Beat{123, false, 3, 12800, 200}},
        ParseCase{"B 123 0 0 70000 0", Beat{123, false, 0, 65535, 0}},
        ParseCase{"B 18446744073709551615 1 4 4294967295 255",
                  Beat{18446744073709551615ull, true, 4, 65535, 255}},
        ParseCase{"  B   7  1 1  12000 9 extra fields", Beat{7, true, 1, 12000, 9}},
        ParseCase{"B 123 1 1 12800", std::nullopt}, ParseCase{"B 123 1 x 12800 200", std::nullopt},
        ParseCase{"B 123 1 1 12800 256", std::nullopt},
        ParseCase{"B 123 1 1 4294967296 200", std::nullopt},
        ParseCase{"B 18446744073709551616 1 1 12800 200", std::nullopt},
        ParseCase{"B -1 1 1 12800 200", std::nullopt},
        ParseCase{"B +1 1 1 12800 200", std::nullopt},
        ParseCase{"B 0x10 1 1 12800 200", std::nullopt},
        ParseCase{"B 1.5 1 1 12800 200", std::nullopt},
        ParseCase{"B\t123 1 1 12800 200", std::nullopt},
        ParseCase{"C 99 4 14 1", Cue{99, 4, 14, 1}}, ParseCase{"C 99 200 0 0", Cue{99, 200, 0, 0}},
        ParseCase{"C 99 4 14", std::nullopt}, ParseCase{"C 99 4 300 1", std::nullopt},
        ParseCase{"L Beat This! ready", BeatLine::Log{"Beat This! ready"}},
        ParseCase{"L   spaced    out  ", BeatLine::Log{"spaced out"}},
        ParseCase{"L", BeatLine::Log{""}}, ParseCase{"", std::nullopt},
        ParseCase{"    ", std::nullopt}, ParseCase{"b 123 1 1 12800 200", std::nullopt},
        ParseCase{"BEAT 123 1 1 12800 200", std::nullopt}, ParseCase{"X whatever", std::nullopt}));

TEST(BeatLineSplitter, JoinsALineSplitAcrossReads) {
    BeatLine::Splitter splitter;
    EXPECT_TRUE(splitter.append(bytesOf("B 123 1 1 12")).empty());
    EXPECT_EQ(splitter.pendingBytes(), 12u);
    EXPECT_EQ(splitter.append(bytesOf("800 200\nL one\n\nL tw")),
              (std::vector<std::string>{"B 123 1 1 12800 200", "L one", ""}));
    EXPECT_EQ(splitter.append(bytesOf("o\n")), (std::vector<std::string>{"L two"}));
    EXPECT_EQ(splitter.pendingBytes(), 0u);
}

TEST(BeatLineSplitter, DiscardsALineThatNeverEndsAndResumesAfterIt) {
    BeatLine::Splitter splitter;
    const std::string chunk(BeatLine::Splitter::maxLineBytes / 4 + 1, 'x');
    for (int i = 0; i < 8; ++i) {
        EXPECT_TRUE(splitter.append(bytesOf(chunk)).empty());
        EXPECT_LE(splitter.pendingBytes(), BeatLine::Splitter::maxLineBytes);
    }
    EXPECT_EQ(splitter.append(bytesOf("tail of the long line\nL next\n")),
              (std::vector<std::string>{"L next"}));
}

TEST(BeatLineUtf8, ReplacesEachBrokenSequenceOnce) {
    struct Case {
        std::string bytes;
        std::string text;
    };
    const std::string fffd = "\xEF\xBF\xBD";
    const Case cases[] = {
        {"plain", "plain"},
        {"caf\xC3\xA9 \xF0\x9F\x8E\xB5", "caf\xC3\xA9 \xF0\x9F\x8E\xB5"},
        {"a\xFF"
         "b",
         "a" + fffd + "b"},
        {"\xC3", fffd},  // cut short at the end
        {"\xE2\x82"
         "x",
         fffd + "x"},                                     // cut short before a plain byte
        {"\xC0\xAF", fffd + fffd},                        // overlong
        {"\xED\xA0\x80", fffd + fffd + fffd},             // a surrogate
        {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},  // past U+10FFFF
    };
    for (const Case& c : cases) {
        EXPECT_EQ(BeatLine::validUtf8(c.bytes), c.text) << testing::PrintToString(c.bytes);
    }
    BeatLine::Splitter splitter;
    EXPECT_EQ(splitter.append(bytesOf("L caf\xC3\n")), (std::vector<std::string>{"L caf" + fffd}));
}

}  // namespace
