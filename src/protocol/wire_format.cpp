#include "protocol/wire_format.h"

namespace zoranth {

std::optional<MessageType> messageTypeFromRaw(std::uint8_t raw) {
    if (raw < 1 || raw > 9) {
        return std::nullopt;
    }
    return static_cast<MessageType>(raw);
}

std::string_view toString(MessageType type) {
    switch (type) {
        case MessageType::hello:
            return "hello";
        case MessageType::audio:
            return "audio";
        case MessageType::timeReq:
            return "timeReq";
        case MessageType::timeResp:
            return "timeResp";
        case MessageType::clientStat:
            return "clientStat";
        case MessageType::bye:
            return "bye";
        case MessageType::clientState:
            return "clientState";
        case MessageType::beat:
            return "beat";
        case MessageType::cue:
            return "cue";
    }
    return "unknown";
}

std::optional<RouteKind> routeKindFromRaw(std::uint16_t raw) {
    if (raw > 4) {
        return std::nullopt;
    }
    return static_cast<RouteKind>(raw);
}

bool needsCalibration(RouteKind route) {
    return route == RouteKind::bluetooth || route == RouteKind::airPlay;
}

std::uint16_t ClientStat::composeFlags(bool hasMeasurement, bool locked, bool calibrated,
                                       bool clamped, RouteKind route) {
    auto flags = static_cast<unsigned>(
        (hasMeasurement ? Flag::hasMeasurement : 0) | (locked ? Flag::locked : 0) |
        (calibrated ? Flag::calibrated : 0) | (clamped ? Flag::clamped : 0));
    flags |= (static_cast<unsigned>(route) << Flag::routeShift) & Flag::routeMask;
    return static_cast<std::uint16_t>(flags);
}

RouteKind ClientStat::route() const {
    const auto raw = static_cast<std::uint16_t>((flags & Flag::routeMask) >> Flag::routeShift);
    return routeKindFromRaw(raw).value_or(RouteKind::unknown);
}

std::optional<Cue::Kind> Cue::kindFromRaw(std::uint8_t raw) {
    if (raw < 1 || raw > 5) {
        return std::nullopt;
    }
    return static_cast<Kind>(raw);
}

std::string Cue::text() const {
    static constexpr std::array<std::string_view, 12> pitchNames{"C",  "C#", "D",  "D#", "E",  "F",
                                                                 "F#", "G",  "G#", "A",  "A#", "B"};
    const auto known = kindFromRaw(kind);
    if (!known) {
        return "kind " + std::to_string(kind);
    }
    switch (*known) {
        case Kind::drop:
            return "drop (intensity " + std::to_string(value) + ")";
        case Kind::breakdown:
            return "breakdown";
        case Kind::build:
            return "build";
        case Kind::chord:
            return "chord " + std::string(pitchNames[value % 12]) + (value2 == 1 ? "m" : "");
        case Kind::energy:
            return "energy " + std::to_string(value);
    }
    return "kind " + std::to_string(kind);
}

}  // namespace zoranth
