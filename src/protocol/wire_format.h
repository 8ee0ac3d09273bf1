// The vocabulary of the host-guest connection: protocol constants, message type
// codes, every payload with its fields in wire order, and the Message variant the
// rest of the system passes around. Plain values: usable from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace zoranth {

struct WireConstants {
    WireConstants() = delete;

    static constexpr std::array<std::uint8_t, 4> magic{0x5A, 0x52, 0x54, 0x48};  // "ZRTH"
    // The magic read as a big-endian number; the decoder compares against this.
    static constexpr std::uint32_t magicBE = 0x5A525448;
    static constexpr std::uint8_t version = 2;
    static constexpr int headerSize = 8;
    // The header's length field is 16 bits.
    static constexpr int maxPayload = 0xFFFF;
    static constexpr int maxFrame = headerSize + maxPayload;
    static constexpr std::uint16_t framesPerChunk = 960;  // 20 ms at 48 kHz
    static constexpr std::uint32_t sampleRate = 48000;
};

// The type byte of a frame header. Any other byte value is an unknown type.
enum class MessageType : std::uint8_t {
    hello = 1,
    audio = 2,
    timeReq = 3,
    timeResp = 4,
    clientStat = 5,
    bye = 6,
    clientState = 7,
    beat = 8,
    cue = 9,
};

inline constexpr std::array<MessageType, 9> allMessageTypes{
    MessageType::hello,       MessageType::audio,      MessageType::timeReq,
    MessageType::timeResp,    MessageType::clientStat, MessageType::bye,
    MessageType::clientState, MessageType::beat,       MessageType::cue,
};

std::optional<MessageType> messageTypeFromRaw(std::uint8_t raw);
std::string_view toString(MessageType type);

// The stream format: the first message on every connection, and again whenever
// the format changes.
struct Hello {
    static constexpr int wireSize = 10;

    std::uint32_t sampleRate = 0;
    std::uint8_t channels = 0;
    std::uint8_t bitsPerSample = 0;
    std::uint16_t framesPerChunk = 0;
    std::uint16_t bufferDelayMs = 0;

    int bytesPerFrame() const { return channels * bitsPerSample / 8; }
    // framesPerChunk and bufferDelayMs are deliberately not range-checked.
    bool isValid() const { return sampleRate != 0 && channels != 0 && bitsPerSample == 16; }
    friend bool operator==(const Hello&, const Hello&) = default;
};

// Precedes every Opus packet; the packet runs to the end of the payload.
struct AudioChunkHeader {
    static constexpr int wireSize = 18;

    std::uint32_t seq = 0;
    std::uint64_t hostTimeNanos = 0;  // host clock time of the chunk's first frame
    std::uint32_t frameCount = 0;
    std::uint16_t bufferDelayMs = 0;

    friend bool operator==(const AudioChunkHeader&, const AudioChunkHeader&) = default;
};

// A guest's clock probe; the host echoes t1 without interpreting it.
struct TimeReq {
    static constexpr int wireSize = 8;

    std::uint64_t t1 = 0;

    friend bool operator==(const TimeReq&, const TimeReq&) = default;
};

// The host's answer: t2 is the host clock read just before the answer is encoded.
struct TimeResp {
    static constexpr int wireSize = 16;

    std::uint64_t t1 = 0;
    std::uint64_t t2 = 0;

    friend bool operator==(const TimeResp&, const TimeResp&) = default;
};

// The guest's audio output route.
enum class RouteKind : std::uint16_t {
    unknown = 0,
    speaker = 1,
    wired = 2,
    bluetooth = 3,
    airPlay = 4,
};

std::optional<RouteKind> routeKindFromRaw(std::uint16_t raw);
bool needsCalibration(RouteKind route);

// A guest's periodic report.
struct ClientStat {
    static constexpr int fixedWireSize = 27;  // includes the name-length byte
    static constexpr int maxDeviceNameBytes = 63;

    // Bits of `flags`; bits 7-15 are zero and ignored.
    struct Flag {
        Flag() = delete;
        static constexpr std::uint16_t hasMeasurement = 0x0001;
        static constexpr std::uint16_t locked = 0x0002;
        static constexpr std::uint16_t calibrated = 0x0004;
        static constexpr std::uint16_t clamped = 0x0008;  // the host never reads it
        static constexpr int routeShift = 4;
        static constexpr std::uint16_t routeMask = 0x0070;
    };

    std::uint32_t rttNanos = 0;
    std::uint32_t minRttNanos = 0;
    std::int64_t offsetNanos = 0;  // host clock minus guest clock
    std::int32_t syncErrorMicros = 0;
    std::uint16_t latencyMs = 0;
    std::uint16_t flags = 0;
    std::uint16_t bufferDepthMs = 0;
    std::string deviceName;  // UTF-8

    static std::uint16_t composeFlags(bool hasMeasurement, bool locked, bool calibrated,
                                      bool clamped, RouteKind route);

    // Without a measurement the report carries no sync information.
    bool hasMeasurement() const { return (flags & Flag::hasMeasurement) != 0; }
    bool isLocked() const { return (flags & Flag::locked) != 0; }
    bool isCalibrated() const { return (flags & Flag::calibrated) != 0; }
    bool isClamped() const { return (flags & Flag::clamped) != 0; }
    // Route bits 5, 6 and 7 have no case and read as unknown.
    RouteKind route() const;
    double syncErrorMs() const { return syncErrorMicros / 1000.0; }

    friend bool operator==(const ClientStat&, const ClientStat&) = default;
};

// One byte of guest state; only bit 0 means anything.
struct ClientState {
    static constexpr int wireSize = 1;
    static constexpr std::uint8_t pausedBit = 1;

    bool isPaused = false;

    static ClientState fromFlags(std::uint8_t flags) { return {(flags & pausedBit) != 0}; }
    std::uint8_t flags() const { return isPaused ? pausedBit : 0; }
    friend bool operator==(const ClientState&, const ClientState&) = default;
};

// A beat of the music.
struct Beat {
    static constexpr int wireSize = 13;
    static constexpr std::uint8_t downbeatBit = 1;

    std::uint64_t hostTimeNanos = 0;
    bool isDownbeat = false;
    std::uint8_t beatInBar = 0;  // from 1; 0 while the bar's downbeat is unknown
    std::uint16_t bpmCenti = 0;  // hundredths of a beat per minute
    std::uint8_t confidence = 0;

    std::uint8_t flags() const { return isDownbeat ? downbeatBit : 0; }
    friend bool operator==(const Beat&, const Beat&) = default;
};

// A musical event. `kind` travels as a raw byte and is never validated, so a
// newer sender's kinds pass through untouched.
struct Cue {
    static constexpr int wireSize = 11;

    enum class Kind : std::uint8_t {
        drop = 1,  // value: intensity
        breakdown = 2,
        build = 3,
        chord = 4,   // value: root pitch class (mod 12); value2: 1 = minor
        energy = 5,  // value: energy level
    };

    std::uint64_t hostTimeNanos = 0;
    std::uint8_t kind = 0;
    std::uint8_t value = 0;
    std::uint8_t value2 = 0;

    static std::optional<Kind> kindFromRaw(std::uint8_t raw);
    // The form the host logs a cue in, e.g. "chord C#m" or "kind 7".
    std::string text() const;
    friend bool operator==(const Cue&, const Cue&) = default;
};

// A decoded frame header.
struct FrameHeader {
    MessageType type = MessageType::bye;
    std::uint16_t length = 0;

    friend bool operator==(const FrameHeader&, const FrameHeader&) = default;
};

// One message of the connection, as the frame codec produces and consumes it.
struct Message {
    struct Audio {
        AudioChunkHeader header;
        std::vector<std::uint8_t> packet;  // Opus; may be empty
        friend bool operator==(const Audio&, const Audio&) = default;
    };
    // A frame whose type byte has no MessageType; its payload is not kept.
    struct Unknown {
        std::uint8_t type = 0;
        std::uint16_t length = 0;
        friend bool operator==(const Unknown&, const Unknown&) = default;
    };
    struct Bye {
        friend bool operator==(const Bye&, const Bye&) = default;
    };

    using Payload = std::variant<Hello, Audio, TimeReq, TimeResp, ClientStat, ClientState, Beat,
                                 Cue, Unknown, Bye>;

    Payload payload;

    template <class T>
    requires std::is_constructible_v<Payload, T&&> Message(T&& value)
        : payload(std::forward<T>(value)) {}  // NOLINT: implicit on purpose

    template <class T>
    bool is() const {
        return std::holds_alternative<T>(payload);
    }
    template <class T>
    const T* as() const {
        return std::get_if<T>(&payload);
    }

    friend bool operator==(const Message&, const Message&) = default;
};

}  // namespace zoranth
