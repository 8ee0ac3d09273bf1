// The firewall tool's three outputs as the checkup reads them, and tidy().
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "host/checks/mac_checkup.h"

namespace zoranth {

static void PrintTo(const MacCheckup::FirewallEntry& entry, std::ostream* out) {
    *out << "{" << entry.target << (entry.blocked ? ", blocked}" : ", allowed}");
}

namespace {

using Entry = MacCheckup::FirewallEntry;

struct GlobalStateCase {
    const char* output;
    std::optional<int> state;
};

TEST(FirewallGlobalState, IsTheNumberAfterTheMarkerOrDisabledInAnyCase) {
    const GlobalStateCase cases[] = {
        {"Firewall is disabled. (State = 0)\n", 0},
        {"Firewall is enabled. (State = 1)\n", 1},
        {"Firewall is blocking all non-essential incoming connections. (State = 2)", 2},
        {"State = 12abc", 12},
        {"(State = x)", std::nullopt},
        {"Firewall is enabled. (State = ", std::nullopt},
        {"Firewall is DISABLED!", 0},
        {"firewall Disabled", 0},
        {"Firewall disabled? (State = 1)", 1},  // the marker wins over the word
        {"(State = 1) and later (State = 0)", 1},
        {"Firewall is enabled.", std::nullopt},
        {"state = 1", std::nullopt},  // the marker is case-sensitive
        {"", std::nullopt},
        {"State = 99999999999999999999", std::nullopt},
    };
    for (const auto& [output, state] : cases) {
        EXPECT_EQ(MacCheckup::parseGlobalState(output), state) << output;
    }
}

TEST(FirewallBlockAll, EnabledBeatsDisabledWhichBeatsBlockingAll) {
    const std::pair<const char*, bool> cases[] = {
        {"Firewall has block all state set to enabled.\n", true},
        {"Firewall has block all state set to disabled.\n", false},
        {"BLOCK ALL STATE SET TO ENABLED", true},
        {"Block all state set to disabled, blocking all is off", false},
        {"block all state set to disabled; block all state set to enabled", true},
        {"Firewall is Blocking All non-essential incoming connections.", true},
        {"Firewall is enabled.", false},
        {"", false},
    };
    for (const auto& [output, blockAll] : cases) {
        EXPECT_EQ(MacCheckup::parseBlockAll(output), blockAll) << output;
    }
}

TEST(FirewallListApps, ReadsNumberedEntriesWithTheirAnswerLine) {
    const std::string output =
        "ALF: total number of apps = 9 \n"
        "\n"
        "1 :  /Applications/Zoranth Host.app \n"
        " \t ( Allow incoming connections ) \n"
        "\n"
        "2 :  /usr/bin/blocked \n"
        " \t ( Block incoming connections ) \n"
        "3 :  com.zoranth.host\n"
        "(Allow incoming connections)\n"
        "4 : /no/answer\n"
        "5 :  /after/an/unanswered/one\n"
        "\t( Block incoming connections )\n"
        " x : /not/numbered\n"
        " \t ( Allow incoming connections ) \n"
        ":  /no/number\n"
        " \t ( Allow incoming connections ) \n"
        "6 :   \n"
        " \t ( Allow incoming connections ) \n"
        "7 : /odd/answer\n"
        "   ( Ask about incoming connections )\n"
        "8 :  /with:colon/path\n"
        "   ( Allow incoming connections )\n"
        "9 : /last/without/answer";
    const std::vector<Entry> expected = {
        {"/Applications/Zoranth Host.app", false},
        {"/usr/bin/blocked", true},
        {"com.zoranth.host", false},
        {"/after/an/unanswered/one", true},
        {"/with:colon/path", false},
    };
    EXPECT_EQ(MacCheckup::parseListApps(output), expected);
}

TEST(FirewallListApps, ToleratesCarriageReturnsAndFindsNothingInNoise) {
    EXPECT_EQ(MacCheckup::parseListApps("1 : /a b\r\n ( Block incoming connections )\r\n"),
              (std::vector<Entry>{{"/a b", true}}));
    EXPECT_TRUE(MacCheckup::parseListApps("").empty());
    EXPECT_TRUE(MacCheckup::parseListApps("ALF: total number of apps = 0 \n\n").empty());
    EXPECT_TRUE(MacCheckup::parseListApps("( Allow incoming connections )\n1 :\n").empty());
}

TEST(FirewallListApps, ListsTheSameTargetTwiceWhenTheFirewallDoes) {
    const std::string output =
        "1 : /opt/zoranth/zoranth-host\n ( Allow incoming connections )\n"
        "2 : /opt/zoranth/zoranth-host\n ( Block incoming connections )\n";
    EXPECT_EQ(MacCheckup::parseListApps(output),
              (std::vector<Entry>{{"/opt/zoranth/zoranth-host", false},
                                  {"/opt/zoranth/zoranth-host", true}}));
}

TEST(CheckupTidy, JoinsTheWordsWithSingleSpaces) {
    const std::pair<const char*, const char*> cases[] = {
        {"  Open  System\tSettings\n\n> Privacy \r\n", "Open System Settings > Privacy"},
        {"one", "one"},
        {" \t\n ", ""},
        {"", ""},
        {"Options\u2026,  \u201cBlock\u201d", "Options\u2026, \u201cBlock\u201d"},
    };
    for (const auto& [text, tidied] : cases) {
        EXPECT_EQ(MacCheckup::tidy(text), tidied) << text;
    }
}

}  // namespace
}  // namespace zoranth
