#include "host/capture/sound_server_error.h"

#include <array>
#include <utility>

namespace zoranth {
namespace {

constexpr std::array<std::pair<std::int32_t, std::string_view>, 5> hints{{
    {SoundServerError::accessDenied,
     "access denied; the sound server refused to let this user record the system audio"},
    {SoundServerError::noEntity,
     "no such entity; the default output or its monitor is gone from the sound server"},
    {SoundServerError::connectionRefused,
     "connection refused; no sound server is running for this user (start PulseAudio or "
     "PipeWire's pulse service)"},
    {SoundServerError::timeout,
     "timed out waiting for the sound server; it is running but not answering"},
    {SoundServerError::connectionTerminated,
     "connection terminated; the sound server stopped or restarted"},
}};

}  // namespace

std::optional<std::string_view> SoundServerError::hint(std::int32_t code) {
    for (const auto& [known, text] : hints) {
        if (known == code) {
            return text;
        }
    }
    return std::nullopt;
}

std::string SoundServerError::description() const {
    std::string text = operation + " failed: " + std::to_string(code);
    if (const auto known = hint(code)) {
        text += " — ";
        text += *known;
    }
    return text;
}

}  // namespace zoranth
