#include "host/installed_files.h"

namespace zoranth {

namespace fs = std::filesystem;

std::optional<fs::path> InstalledFiles::executableFolder() {
    std::error_code error;
    const fs::path executable = fs::read_symlink("/proc/self/exe", error);
    if (error) {
        return std::nullopt;
    }
    return executable.parent_path();
}

std::optional<fs::path> InstalledFiles::shareFolder() {
    const auto folder = executableFolder();
    return folder ? shareFolder(*folder) : std::nullopt;
}

std::optional<fs::path> InstalledFiles::shareFolder(const fs::path& executableFolder) {
    const fs::path share = (executableFolder / "../share/zoranth").lexically_normal();
    std::error_code error;
    if (!fs::is_directory(share, error)) {
        return std::nullopt;
    }
    return share;
}

std::string InstalledFiles::receiverCommand() {
    return receiverCommand(shareFolder());
}

std::string InstalledFiles::receiverCommand(const std::optional<fs::path>& shareFolder) {
    if (shareFolder) {
        const fs::path receiver = *shareFolder / "Tools/recv.py";
        std::error_code error;
        if (fs::is_regular_file(receiver, error)) {
            return "python3 " + receiver.string();
        }
    }
    return "python3 Tools/recv.py";
}

}  // namespace zoranth
