// Saves the black box's minute of audio as a WAV file next to the host log and keeps only
// the newest few such files, so evidence of a capture problem never fills the disk.
// Plain functions over the file system; any thread but the realtime capture callback.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace zoranth {

struct BlackBoxDump {
    BlackBoxDump() = delete;

    // "capture-{yyyyMMdd-HHmmss}-{reason}.wav" for the local time `when`. A path separator in
    // the reason becomes '_', so the file always lands in the dump folder.
    static std::string fileName(std::string_view reason, std::time_t when);

    // Writes the samples as a 16-bit WAV file into `folder` (created when missing), then
    // prunes the folder to the `keep` newest dumps. Nothing for no samples or a failed write.
    static std::optional<std::filesystem::path> write(const std::filesystem::path& folder,
                                                      std::span<const float> interleaved,
                                                      std::int64_t sampleRate,
                                                      std::int64_t channels,
                                                      std::string_view reason, std::time_t when,
                                                      std::size_t keep);

    // Deletes all but the `keep` last "capture-….wav" files in name order (oldest first);
    // other files stay, and a file that cannot be deleted is left alone.
    static void prune(const std::filesystem::path& folder, std::size_t keep);
};

}  // namespace zoranth
