// A failed call into the sound server (PulseAudio, or PipeWire's PulseAudio service): the
// server's error number and what was being done, worded for the user with a hint where
// the number has a known meaning. A plain value: any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zoranth {

struct SoundServerError {
    std::int32_t code;
    std::string operation;

    // The sound server's error numbers, as its context reports them after a failed call.
    static constexpr std::int32_t accessDenied = 1;
    static constexpr std::int32_t noEntity = 5;
    static constexpr std::int32_t connectionRefused = 6;
    static constexpr std::int32_t timeout = 8;
    static constexpr std::int32_t connectionTerminated = 11;

    // "{operation} failed: {code}", then " — {hint}" when the code has one.
    std::string description() const;

    static std::optional<std::string_view> hint(std::int32_t code);

    bool operator==(const SoundServerError&) const = default;
};

}  // namespace zoranth
