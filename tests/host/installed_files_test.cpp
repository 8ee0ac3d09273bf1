// A program finds its own files under <prefix>/share/zoranth beside its executable,
// wherever it was installed; run from its build folder it names the source tree's.
#include <gtest/gtest.h>

#include <fstream>

#include "host/installed_files.h"

namespace zoranth {
namespace {

namespace fs = std::filesystem;

class InstalledFilesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        prefix_ = fs::temp_directory_path() /
                  ("zoranth-installed-" +
                   std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(prefix_ / "bin");
    }
    void TearDown() override { fs::remove_all(prefix_); }

    fs::path prefix_;
};

TEST_F(InstalledFilesTest, AnInstalledReceiverIsNamedByItsFullPath) {
    fs::create_directories(prefix_ / "share/zoranth/Tools");
    std::ofstream(prefix_ / "share/zoranth/Tools/recv.py") << "#!/usr/bin/env python3\n";

    const auto share = InstalledFiles::shareFolder(prefix_ / "bin");
    ASSERT_TRUE(share);
    EXPECT_EQ(*share, prefix_ / "share/zoranth");
    EXPECT_EQ(InstalledFiles::receiverCommand(share),
              "python3 " + (prefix_ / "share/zoranth/Tools/recv.py").string());
}

TEST_F(InstalledFilesTest, WithoutAnInstalledReceiverTheSourceTreesIsNamed) {
    EXPECT_EQ(InstalledFiles::shareFolder(prefix_ / "bin"), std::nullopt);
    EXPECT_EQ(InstalledFiles::receiverCommand(std::nullopt), "python3 Tools/recv.py");
    fs::create_directories(prefix_ / "share/zoranth");  // installed without the tools
    EXPECT_EQ(InstalledFiles::receiverCommand(InstalledFiles::shareFolder(prefix_ / "bin")),
              "python3 Tools/recv.py");
}

}  // namespace
}  // namespace zoranth
