#include "host/beats/beat_helper.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using zoranth::BeatHelper;
namespace fs = std::filesystem;

// A scratch folder laid out like a user's home and an installed tree.
class BeatHelperLocate : public testing::Test {
  protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() /
                ("zoranth-beat-locate-" + std::to_string(::getpid()) + "-" +
                 testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        fs::create_directories(root_);
    }
    void TearDown() override { fs::remove_all(root_); }

    std::string make(const std::string& relative, bool executable) {
        const fs::path path = root_ / relative;
        fs::create_directories(path.parent_path());
        std::ofstream(path) << "#!/bin/sh\n";
        ::chmod(path.c_str(), executable ? 0755 : 0644);
        return path.string();
    }

    BeatHelper::Environment environment() const {
        return {.beatPython = std::nullopt,
                .xdgDataHome = std::nullopt,
                .home = (root_ / "home").string(),
                .executableFolder = (root_ / "prefix/bin").string(),
                .workingFolder = (root_ / "work").string()};
    }

    fs::path root_;
};

TEST_F(BeatHelperLocate, TheInterpreterComesFromTheVariableThenTheDataFolder) {
    auto environment = this->environment();
    const std::string home = (root_ / "home").string();
    EXPECT_EQ(BeatHelper::interpreterPath(environment),
              home + "/.local/share/zoranth/beat-venv/bin/python");
    environment.xdgDataHome = "relative/data";  // not absolute: ignored
    EXPECT_EQ(BeatHelper::interpreterPath(environment),
              home + "/.local/share/zoranth/beat-venv/bin/python");
    environment.xdgDataHome = "/srv/data";
    EXPECT_EQ(BeatHelper::interpreterPath(environment), "/srv/data/zoranth/beat-venv/bin/python");
    environment.beatPython = "/opt/python3";
    EXPECT_EQ(BeatHelper::interpreterPath(environment), "/opt/python3");
    environment = {};
    EXPECT_EQ(BeatHelper::interpreterPath(environment), "");
}

TEST_F(BeatHelperLocate, TheInstalledScriptComesBeforeTheWorkingFolders) {
    EXPECT_EQ(BeatHelper::scriptCandidates(environment()),
              (std::vector<std::string>{
                  (root_ / "prefix/share/zoranth/Tools/beat-helper/beat_helper.py").string(),
                  (root_ / "work/Tools/beat-helper/beat_helper.py").string()}));
}

TEST_F(BeatHelperLocate, FindsTheHelperOnlyWhenBothPartsAreThere) {
    const std::string venvPython = make("home/.local/share/zoranth/beat-venv/bin/python", true);
    EXPECT_EQ(BeatHelper::locate(environment()), std::nullopt);  // no script yet

    const std::string working = make("work/Tools/beat-helper/beat_helper.py", false);
    EXPECT_EQ(BeatHelper::locate(environment()), (BeatHelper::Location{venvPython, working}));

    const std::string installed =
        make("prefix/share/zoranth/Tools/beat-helper/beat_helper.py", false);
    EXPECT_EQ(BeatHelper::locate(environment()), (BeatHelper::Location{venvPython, installed}));

    auto environment = this->environment();
    environment.beatPython = make("tools/not-executable", false);
    EXPECT_EQ(BeatHelper::locate(environment), std::nullopt);
    environment.beatPython = (root_ / "tools").string();  // a folder is no interpreter
    EXPECT_EQ(BeatHelper::locate(environment), std::nullopt);
    environment.beatPython = make("tools/python", true);
    EXPECT_EQ(BeatHelper::locate(environment),
              (BeatHelper::Location{*environment.beatPython, installed}));
}

TEST(BeatHelper, ARecordIsTheTimeTheCountAndTheChannelMeans) {
    const std::vector<float> stereo{1.0f, 0.0f, -0.5f, -0.25f, 0.25f, 0.75f, 9.0f};
    const auto record = BeatHelper::record(stereo, 2, 3, 0x0102030405060708ull);
    ASSERT_EQ(record.size(), 12u + 4 * 3);
    std::uint64_t time = 0;
    std::uint32_t frames = 0;
    float means[3];
    std::memcpy(&time, record.data(), 8);
    std::memcpy(&frames, record.data() + 8, 4);
    std::memcpy(means, record.data() + 12, sizeof means);
    EXPECT_EQ(record[0], 0x08);  // little-endian on this machine, as the helper reads it
    EXPECT_EQ(time, 0x0102030405060708ull);
    EXPECT_EQ(frames, 3u);
    EXPECT_FLOAT_EQ(means[0], 0.5f);
    EXPECT_FLOAT_EQ(means[1], -0.375f);
    EXPECT_FLOAT_EQ(means[2], 0.5f);

    EXPECT_EQ(BeatHelper::record(std::vector<float>(1920), 2, 960, 0).size(), 3852u);
    // A count beyond the samples given sends only the whole frames present.
    EXPECT_EQ(BeatHelper::record(stereo, 2, 10, 0).size(), 12u + 4 * 3);
}

TEST(BeatHelper, DescribesCuesAsTheHostLogsThem) {
    struct Case {
        std::uint8_t kind, value, value2;
        const char* text;
    };
    const Case cases[] = {
        {1, 7, 0, "drop (intensity 7)"}, {2, 0, 0, "breakdown"}, {3, 0, 0, "build"},
        {4, 14, 1, "chord Dm"},          {4, 1, 0, "chord C#"},  {4, 11, 2, "chord B"},
        {5, 200, 0, "energy 200"},       {0, 0, 0, "kind 0"},    {9, 1, 1, "kind 9"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(BeatHelper::describe(c.kind, c.value, c.value2), c.text);
    }
}

TEST_F(BeatHelperLocate, StartingWithoutAHelperInstalledGivesNoHelper) {
    auto environment = this->environment();
    environment.beatPython = (root_ / "missing/python").string();
    EXPECT_EQ(BeatHelper::locate(environment), std::nullopt);

    ::setenv("ZORANTH_BEAT_PYTHON", environment.beatPython->c_str(), 1);
    const auto helper = BeatHelper::start();
    ::unsetenv("ZORANTH_BEAT_PYTHON");
    ASSERT_FALSE(helper.has_value());
    EXPECT_EQ(helper.error().kind, BeatHelper::StartError::Case::notInstalled);
}

}  // namespace
