// The captured stream's format and its one-line text form for logs, the tap-check report
// and the host's status. A plain value: any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace zoranth {

struct TapFormat {
    double sampleRate = 0;
    int channels = 0;
    bool isNonInterleaved = false;
    bool isFloat = false;
    int bitsPerChannel = 0;

    // The fields of a stream description that a format is made from; the capture layer
    // fills it from what the sound server negotiated.
    struct StreamDescription {
        double sampleRate = 0;
        std::uint32_t formatFlags = 0;
        std::uint32_t channelsPerFrame = 0;
        std::uint32_t bitsPerChannel = 0;
    };
    static constexpr std::uint32_t formatFlagIsFloat = 1u << 0;
    static constexpr std::uint32_t formatFlagIsNonInterleaved = 1u << 5;

    // No format when the description's rate is not above 0.
    static std::optional<TapFormat> from(const StreamDescription& description);

    // "{rate} Hz, {channels} ch, {Float|Int}{bits}, {non-interleaved|interleaved}", the
    // rate truncated to a whole number.
    std::string text() const;

    bool operator==(const TapFormat&) const = default;
};

}  // namespace zoranth
