#include "cli/options.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace zoranth {
namespace {

using Args = std::vector<std::string>;

Options with(auto change) {
    Options o;
    change(o);
    return o;
}

struct ParseCase {
    const char* name;
    Args arguments;
    Options expected;
};

const ParseCase parseCases[] = {
    {"no arguments", {}, Options{}},
    {"only unknown arguments", {"-psn_0_1234", "--verbose", "serve"}, Options{}},
    {"options are case sensitive", {"--SERVE", "-H", "--Help"}, Options{}},
    {"help", {"--help"}, with([](Options& o) { o.command = "help"; })},
    {"short help", {"-h"}, with([](Options& o) { o.command = "help"; })},
    {"goldens", {"--goldens"}, with([](Options& o) { o.command = "goldens"; })},
    {"tapcheck with seconds", {"--tapcheck", "--seconds", "2.5"}, with([](Options& o) {
         o.command = "tapcheck";
         o.seconds = 2.5;
     })},
    {"a later mode wins", {"--serve", "--check"}, with([](Options& o) { o.command = "check"; })},
    {"record then seconds is not a file name", {"--record", "--seconds", "5"}, with([](Options& o) {
         o.command = "record";
         o.seconds = 5;
     })},
    {"record to a file", {"--record", "take.wav"}, with([](Options& o) {
         o.command = "record";
         o.path = "take.wav";
     })},
    {"record takes a single-dash file name", {"--record", "-h"}, with([](Options& o) {
         o.command = "record";
         o.path = "-h";
     })},
    {"record with stress",
     {"--stress", "--record", "x.wav", "--seconds", "2e1"},
     with([](Options& o) {
         o.command = "record";
         o.path = "x.wav";
         o.seconds = 20;
         o.stress = true;
     })},
    {"record as the last argument", {"--record"}, with([](Options& o) { o.command = "record"; })},
    {"beats takes whatever follows", {"--beats", "--helper"}, with([](Options& o) {
         o.command = "beats";
         o.path = "--helper";
     })},
    {"beats as the last argument", {"--beats"}, with([](Options& o) { o.command = "beats"; })},
    {"seconds that do not parse keep the earlier value",
     {"--seconds", "3", "--seconds", "soon"},
     with([](Options& o) { o.seconds = 3; })},
    {"seconds with trailing text do not parse", {"--seconds", "5s"}, Options{}},
    {"seconds accept a sign", {"--seconds", "+0.25"}, with([](Options& o) { o.seconds = 0.25; })},
    {"seconds as the last argument", {"--seconds"}, Options{}},
    {"port", {"--serve", "--port", "+8080"}, with([](Options& o) {
         o.command = "serve";
         o.port = 8080;
     })},
    {"port out of range serves on 0", {"--port", "70000"}, Options{}},
    {"port that is not a number", {"--port", "8080", "--port", "http"}, Options{}},
    {"negative port", {"--port", "-1"}, Options{}},
    {"port consumes its value", {"--port", "--serve"}, Options{}},
    {"delay", {"--delay-ms", "0"}, with([](Options& o) { o.delayMs = 0; })},
    {"delay that is not a number falls back to 1500",
     {"--delay-ms", "900", "--delay-ms", "lots"},
     Options{}},
    {"delay at the limit", {"--delay-ms", "65535"}, with([](Options& o) { o.delayMs = 65535; })},
    {"delay past the limit", {"--delay-ms", "65536"}, Options{}},
    {"name does not go into the options", {"--name", "--serve"}, Options{}},
    {"max guests", {"--max-guests", "500"}, with([](Options& o) { o.maxGuests = 500; })},
    {"max guests at the ceiling", {"--max-guests", "4096"},
     with([](Options& o) { o.maxGuests = 4096; })},
    {"max guests of none or past the ceiling fall back to 256",
     {"--max-guests", "500", "--max-guests", "0", "--max-guests", "4097"},
     Options{}},
};

class OptionsParse : public testing::TestWithParam<ParseCase> {};

TEST_P(OptionsParse, FillsTheOptions) {
    const auto& c = GetParam();
    EXPECT_EQ(Options::parse(c.arguments), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, OptionsParse, testing::ValuesIn(parseCases), [](const auto& info) {
    std::string name;
    for (char ch : std::string(info.param.name)) {
        name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
    }
    return name;
});

TEST(OptionsParse, SecondsAreDecimalFloatingPoint) {
    EXPECT_DOUBLE_EQ(Options::parse(Args{"--seconds", "1e1"}).seconds, 10.0);
    EXPECT_DOUBLE_EQ(Options::parse(Args{"--seconds", "-2"}).seconds, -2.0);
    EXPECT_DOUBLE_EQ(Options::parse(Args{"--seconds", ".5"}).seconds, 0.5);
    EXPECT_DOUBLE_EQ(Options::parse(Args{"--seconds", " 5"}).seconds, 10.0);
    EXPECT_DOUBLE_EQ(Options::parse(Args{"--seconds", ""}).seconds, 10.0);
}

TEST(OptionsRaveName, TakesTheValueFollowingName) {
    const std::pair<Args, std::optional<std::string>> cases[] = {
        {{}, std::nullopt},
        {{"--serve", "--name", "Basement"}, "Basement"},
        {{"--name", "First", "--name", "Second"}, "Second"},
        {{"--name", "--serve"}, "--serve"},
        {{"--serve", "--name"}, std::nullopt},
        {{"--beats", "--name", "Track"}, std::nullopt},  // consumed as the beats file
        {{"--port", "--name", "x"}, std::nullopt},       // consumed as the port
        {{"--name", ""}, ""},
    };
    for (const auto& [arguments, name] : cases) {
        EXPECT_EQ(Options::raveNameArgument(arguments), name) << testing::PrintToString(arguments);
    }
}

}  // namespace
}  // namespace zoranth
