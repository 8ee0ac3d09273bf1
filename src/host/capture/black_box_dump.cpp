#include "host/capture/black_box_dump.h"

#include <algorithm>
#include <fstream>
#include <system_error>
#include <vector>

#include "kit/pcm_black_box.h"

namespace zoranth {

std::string BlackBoxDump::fileName(std::string_view reason, std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    std::string safeReason(reason);
    std::replace(safeReason.begin(), safeReason.end(), '/', '_');
    return "capture-" + std::string(stamp) + "-" + safeReason + ".wav";
}

std::optional<std::filesystem::path> BlackBoxDump::write(const std::filesystem::path& folder,
                                                         std::span<const float> interleaved,
                                                         std::int64_t sampleRate,
                                                         std::int64_t channels,
                                                         std::string_view reason, std::time_t when,
                                                         std::size_t keep) {
    if (interleaved.empty()) {
        return std::nullopt;
    }
    const auto bytes = PCMBlackBox::wav(interleaved, sampleRate, channels);
    if (!bytes) {
        return std::nullopt;
    }
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    const std::filesystem::path file = folder / fileName(reason, when);
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes->data()),
                  static_cast<std::streamsize>(bytes->size()));
        out.close();
        if (!out) {
            std::filesystem::remove(file, ignored);
            return std::nullopt;
        }
    }
    prune(folder, keep);
    return file;
}

void BlackBoxDump::prune(const std::filesystem::path& folder, std::size_t keep) {
    std::error_code error;
    std::vector<std::string> dumps;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.starts_with("capture-") && name.ends_with(".wav")) {
            dumps.push_back(name);
        }
    }
    if (dumps.size() <= keep) {
        return;
    }
    std::sort(dumps.begin(), dumps.end());
    for (std::size_t i = 0; i + keep < dumps.size(); ++i) {
        std::filesystem::remove(folder / dumps[i], error);
    }
}

}  // namespace zoranth
