// A failed call into the audio system: the status it returned and what was being done,
// worded for the user with a hint where the status has a known meaning. A plain value:
// any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zoranth {

struct CoreAudioError {
    std::int32_t status;
    std::string operation;

    // The sound server's error numbers, as its context reports them after a failed call.
    // They can be told apart from Core Audio statuses, which are four-character codes or
    // negative, so both share one hint table.
    static constexpr std::int32_t soundServerAccessDenied = 1;
    static constexpr std::int32_t soundServerNoEntity = 5;
    static constexpr std::int32_t soundServerConnectionRefused = 6;
    static constexpr std::int32_t soundServerTimeout = 8;
    static constexpr std::int32_t soundServerConnectionTerminated = 11;

    // "{operation} failed: {code}", then " — {hint}" when the status has one. {code} is
    // the decimal status followed by its four-character form when it has one.
    std::string description() const;

    // The status's four bytes, most significant first, between single quotes when every
    // byte is printable ASCII; otherwise empty.
    static std::string fourCC(std::int32_t status);

    static std::optional<std::string_view> hint(std::int32_t status);

    bool operator==(const CoreAudioError&) const = default;
};

}  // namespace zoranth
