// Where this program's own files are: installed beside the executable under
// <prefix>/share/zoranth (the receiver, the beat helper), wherever the prefix is. Any
// thread.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace zoranth {

struct InstalledFiles {
    InstalledFiles() = delete;

    // The folder of the running executable; none when the system will not say.
    static std::optional<std::filesystem::path> executableFolder();

    // <executable folder>/../share/zoranth when it exists; none for a program run from
    // its build folder.
    static std::optional<std::filesystem::path> shareFolder();
    static std::optional<std::filesystem::path> shareFolder(
        const std::filesystem::path& executableFolder);

    // How a person runs the test receiver: "python3 <share>/Tools/recv.py" when it is
    // installed, else "python3 Tools/recv.py" as it stands in the source tree.
    static std::string receiverCommand();
    static std::string receiverCommand(const std::optional<std::filesystem::path>& shareFolder);
};

}  // namespace zoranth
