#include "host/beats/beat_line.h"

#include <algorithm>
#include <charconv>

namespace zoranth {
namespace {

std::vector<std::string_view> fieldsOf(std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t at = 0;
    while (at < line.size()) {
        const std::size_t end = std::min(line.find(' ', at), line.size());
        if (end > at) {
            fields.push_back(line.substr(at, end - at));
        }
        at = end + 1;
    }
    return fields;
}

// Digits only: no sign, no space, no hexadecimal, and within T's range.
template <class T>
std::optional<T> number(std::string_view field) {
    T value{};
    const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
    if (field.empty() || field.front() < '0' || field.front() > '9' || error != std::errc{} ||
        end != field.data() + field.size()) {
        return std::nullopt;
    }
    return value;
}

std::optional<BeatLine::Parsed> beatFrom(std::span<const std::string_view> fields) {
    if (fields.size() < 6) {
        return std::nullopt;
    }
    const auto hostTime = number<std::uint64_t>(fields[1]);
    const auto downbeat = number<std::uint8_t>(fields[2]);
    const auto beatInBar = number<std::uint8_t>(fields[3]);
    const auto bpmCenti = number<std::uint32_t>(fields[4]);
    const auto confidence = number<std::uint8_t>(fields[5]);
    if (!hostTime || !downbeat || !beatInBar || !bpmCenti || !confidence) {
        return std::nullopt;
    }
    return Beat{
        .hostTimeNanos = *hostTime,
        .isDownbeat = *downbeat == 1,
        .beatInBar = *beatInBar,
        .bpmCenti = static_cast<std::uint16_t>(std::min<std::uint32_t>(*bpmCenti, 65535)),
        .confidence = *confidence,
    };
}

std::optional<BeatLine::Parsed> cueFrom(std::span<const std::string_view> fields) {
    if (fields.size() < 5) {
        return std::nullopt;
    }
    const auto hostTime = number<std::uint64_t>(fields[1]);
    const auto kind = number<std::uint8_t>(fields[2]);
    const auto value = number<std::uint8_t>(fields[3]);
    const auto value2 = number<std::uint8_t>(fields[4]);
    if (!hostTime || !kind || !value || !value2) {
        return std::nullopt;
    }
    return Cue{.hostTimeNanos = *hostTime, .kind = *kind, .value = *value, .value2 = *value2};
}

BeatLine::Parsed logFrom(std::span<const std::string_view> fields) {
    BeatLine::Log log;
    for (std::size_t i = 1; i < fields.size(); ++i) {
        if (i > 1) {
            log.text += ' ';
        }
        log.text += fields[i];
    }
    return log;
}

}  // namespace

std::optional<BeatLine::Parsed> BeatLine::parse(std::string_view line) {
    const auto fields = fieldsOf(line);
    if (fields.empty()) {
        return std::nullopt;
    }
    if (fields[0] == "B") {
        return beatFrom(fields);
    }
    if (fields[0] == "C") {
        return cueFrom(fields);
    }
    if (fields[0] == "L") {
        return logFrom(fields);
    }
    return std::nullopt;
}

std::string BeatLine::validUtf8(std::string_view bytes) {
    static constexpr std::string_view replacement = "\xEF\xBF\xBD";
    std::string text;
    text.reserve(bytes.size());
    std::size_t at = 0;
    while (at < bytes.size()) {
        const auto lead = static_cast<std::uint8_t>(bytes[at]);
        if (lead < 0x80) {
            text += bytes[at++];
            continue;
        }
        // The lead byte fixes the length and narrows the first continuation byte's
        // range, which rules out overlong forms, surrogates and values past U+10FFFF.
        int continuations = 0;
        std::uint8_t low = 0x80;
        std::uint8_t high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            continuations = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            continuations = 2;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            continuations = 3;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        } else {
            text += replacement;
            ++at;
            continue;
        }
        std::size_t next = at + 1;
        bool complete = true;
        for (int i = 0; i < continuations; ++i, ++next) {
            const auto byte = next < bytes.size() ? static_cast<std::uint8_t>(bytes[next]) : 0;
            if (next >= bytes.size() || byte < low || byte > high) {
                complete = false;
                break;
            }
            low = 0x80;
            high = 0xBF;
        }
        // A broken sequence is replaced once, up to the byte that broke it.
        text += complete ? bytes.substr(at, next - at) : replacement;
        at = next;
    }
    return text;
}

std::vector<std::string> BeatLine::Splitter::append(std::span<const std::uint8_t> bytes) {
    std::vector<std::string> lines;
    auto at = bytes.begin();
    for (;;) {
        const auto feed = std::find(at, bytes.end(), std::uint8_t{'\n'});
        if (!discarding_) {
            partial_.append(at, feed);
            if (partial_.size() > maxLineBytes) {
                partial_.clear();
                discarding_ = true;
            }
        }
        if (feed == bytes.end()) {
            return lines;
        }
        if (!discarding_) {
            lines.push_back(validUtf8(partial_));
        }
        partial_.clear();
        discarding_ = false;
        at = feed + 1;
    }
}

}  // namespace zoranth
