#include "host/capture/core_audio_error.h"

#include <array>
#include <utility>

namespace zoranth {
namespace {

constexpr std::int32_t code(const char (&chars)[5]) {
    return static_cast<std::int32_t>(
        static_cast<std::uint32_t>(chars[0]) << 24 | static_cast<std::uint32_t>(chars[1]) << 16 |
        static_cast<std::uint32_t>(chars[2]) << 8 | static_cast<std::uint32_t>(chars[3]));
}

constexpr std::array<std::pair<std::int32_t, std::string_view>, 10> hints{{
    {code("nope"), "operation not permitted; system audio recording access is most likely denied"},
    {code("who?"), "unknown property on this object"},
    {code("!obj"), "no data / bad property size"},
    {-10851, "bad audio object; the device or tap was already destroyed"},
    {0x10004003,  // MACH_RCV_TIMED_OUT
     "timed out after ~2 minutes waiting for coreaudiod (MACH_RCV_TIMED_OUT). coreaudiod was "
     "blocked on a system-audio permission decision. Either a prompt was shown and left "
     "unanswered, or it could not be shown at all — which happens when the process has no "
     "bundle identity (run the signed .app via \"make run\", not the bare binary) or its "
     "Info.plist is missing NSAudioCaptureUsageDescription"},
    {CoreAudioError::soundServerAccessDenied,
     "access denied; the sound server refused to let this user record the system audio"},
    {CoreAudioError::soundServerNoEntity,
     "no such entity; the default output or its monitor is gone from the sound server"},
    {CoreAudioError::soundServerConnectionRefused,
     "connection refused; no sound server is running for this user (start PulseAudio or "
     "PipeWire's pulse service)"},
    {CoreAudioError::soundServerTimeout,
     "timed out waiting for the sound server; it is running but not answering"},
    {CoreAudioError::soundServerConnectionTerminated,
     "connection terminated; the sound server stopped or restarted"},
}};

}  // namespace

std::string CoreAudioError::fourCC(std::int32_t status) {
    const auto bits = static_cast<std::uint32_t>(status);
    std::string text = "'";
    for (int shift = 24; shift >= 0; shift -= 8) {
        const std::uint32_t byte = (bits >> shift) & 0xFF;
        if (byte < 0x20 || byte > 0x7E) {
            return {};
        }
        text += static_cast<char>(byte);
    }
    return text + "'";
}

std::optional<std::string_view> CoreAudioError::hint(std::int32_t status) {
    for (const auto& [known, text] : hints) {
        if (known == status) {
            return text;
        }
    }
    return std::nullopt;
}

std::string CoreAudioError::description() const {
    std::string text = operation + " failed: " + std::to_string(status);
    if (const std::string chars = fourCC(status); !chars.empty()) {
        text += " " + chars;
    }
    if (const auto known = hint(status)) {
        text += " — ";
        text += *known;
    }
    return text;
}

}  // namespace zoranth
