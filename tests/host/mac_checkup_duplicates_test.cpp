// Second copies of the program: found on the search path and through desktop entries,
// resolved through links, never this copy itself, each reported once.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "host/checks/mac_checkup.h"

namespace zoranth {
namespace {

namespace fs = std::filesystem;

class InstalledCopies : public ::testing::Test {
  protected:
    InstalledCopies() {
        char pattern[] = "/tmp/zoranth-copies-XXXXXX";
        root_ = ::mkdtemp(pattern);
    }
    ~InstalledCopies() override {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    fs::path program(const std::string& folder, bool executable = true) {
        const fs::path path = root_ / folder / "zoranth-host";
        fs::create_directories(path.parent_path());
        std::ofstream(path) << "#!/bin/sh\n";
        fs::permissions(path, executable ? fs::perms::owner_all : fs::perms::owner_read);
        return path;
    }

    fs::path link(const std::string& folder, const fs::path& target) {
        const fs::path path = root_ / folder / "zoranth-host";
        fs::create_directories(path.parent_path());
        fs::create_symlink(target, path);
        return path;
    }

    void desktopEntry(const std::string& name, const std::string& text) {
        const fs::path path = root_ / "share" / "applications" / name;
        fs::create_directories(path.parent_path());
        std::ofstream(path) << text;
    }

    std::string in(const std::string& folder) const { return (root_ / folder).string(); }

    fs::path root_;
};

TEST_F(InstalledCopies, AreFoundOnThePathAndThroughDesktopEntriesInSearchOrder) {
    const fs::path self = program("self");
    link("bin-link-to-self", self);
    const fs::path copy = program("bin-copy");
    program("bin-not-executable", false);
    const fs::path real = program("opt/real");
    link("bin-link-to-other", real);
    const fs::path spaced = program("opt/with space");
    const fs::path tried = program("opt/tried");

    desktopEntry("a-zoranth.desktop",
                 "[Desktop Entry]\nName=Zoranth Host\nExec=\"" + spaced.string() + "\" %U\n");
    desktopEntry("b-again.desktop", "[Desktop Entry]\nExec=" + copy.string() + " --check\n");
    desktopEntry("c-tried.desktop",
                 "[Desktop Entry]\nTryExec = " + tried.string() + "\nExec=zoranth-host\n");
    desktopEntry("d-missing.desktop", "[Desktop Entry]\nExec=" + in("gone") + "/zoranth-host\n");
    desktopEntry("e-other.desktop", "[Desktop Entry]\nExec=/usr/bin/true zoranth-host\n");
    desktopEntry("f-self.desktop", "[Desktop Entry]\nExec=" + self.string() + "\n");

    const MacCheckup::AppLocation location{self.string(), self.string(), "com.zoranth.host"};
    const MacCheckup::InstallSearch search{
        {in("bin-link-to-self"), in("bin-copy"), in("bin-not-executable"), in("nowhere"),
         in("bin-link-to-other"), in("bin-copy")},
        {in("empty-share"), in("share")}};
    EXPECT_EQ(
        MacCheckup::duplicateInstalls(location, search),
        (std::vector<std::string>{copy.string(), real.string(), spaced.string(), tried.string()}));
}

TEST_F(InstalledCopies, ThisCopyRunThroughALinkIsNotASecondOne) {
    const fs::path self = program("self");
    const fs::path viaLink = link("bin", self);
    const MacCheckup::AppLocation location{viaLink.string(), viaLink.string(), "com.zoranth.host"};
    EXPECT_TRUE(MacCheckup::duplicateInstalls(location, {{in("bin"), in("self")}, {}}).empty());
}

TEST_F(InstalledCopies, AreNotLookedForWithoutKnowingThisCopy) {
    program("bin");
    const MacCheckup::AppLocation unknown{std::nullopt, "", "com.zoranth.host"};
    EXPECT_TRUE(MacCheckup::duplicateInstalls(unknown, {{in("bin")}, {}}).empty());
}

TEST(DuplicateFinding, NamesTheCopyAndAsksToDeleteIt) {
    const MacCheckup::Finding expected{
        "duplicate-/opt/old/zoranth-host",
        "Another copy of Zoranth",
        MacCheckup::Verdict::warning,
        "There is a second copy at /opt/old/zoranth-host.",
        "Permissions are granted to a specific copy, so a toggle you turn on may apply to that one "
        "instead of this one. Delete it and grant permission again.",
        MacCheckup::Reason::duplicateInstall,
        std::nullopt};
    EXPECT_EQ(MacCheckup::duplicateFinding("/opt/old/zoranth-host"), expected);
}

}  // namespace
}  // namespace zoranth
