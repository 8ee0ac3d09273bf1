#include "protocol/frame_decoder.h"

#include <cstdio>

#include "protocol/byte_coding.h"

namespace zoranth {

namespace {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::span<const std::uint8_t> bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        const std::uint8_t lead = bytes[i];
        std::size_t extra = 0;
        std::uint8_t low = 0x80;
        std::uint8_t high = 0xBF;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            extra = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            extra = 2;
            if (lead == 0xE0)
                low = 0xA0;
            if (lead == 0xED)
                high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            extra = 3;
            if (lead == 0xF0)
                low = 0x90;
            if (lead == 0xF4)
                high = 0x8F;
        } else {
            return false;
        }
        if (bytes.size() - i <= extra) {
            return false;
        }
        for (std::size_t k = 1; k <= extra; ++k) {
            const std::uint8_t b = bytes[i + k];
            if (b < (k == 1 ? low : 0x80) || b > (k == 1 ? high : 0xBF)) {
                return false;
            }
        }
        i += extra + 1;
    }
    return true;
}

using Failure = FrameDecoder::Failure;

std::expected<Message, Failure> readHello(ByteReader& r) {
    Hello hello;
    auto sampleRate = r.readLE<std::uint32_t>();
    auto channels = r.readLE<std::uint8_t>();
    auto bits = r.readLE<std::uint8_t>();
    auto frames = r.readLE<std::uint16_t>();
    auto delay = r.readLE<std::uint16_t>();
    if (!sampleRate || !channels || !bits || !frames || !delay) {
        return std::unexpected(Failure::malformedPayload(MessageType::hello));
    }
    hello = {*sampleRate, *channels, *bits, *frames, *delay};
    if (!hello.isValid()) {
        return std::unexpected(Failure::malformedPayload(MessageType::hello));
    }
    return hello;
}

std::expected<Message, Failure> readAudio(ByteReader& r) {
    auto seq = r.readLE<std::uint32_t>();
    auto time = r.readLE<std::uint64_t>();
    auto frames = r.readLE<std::uint32_t>();
    auto delay = r.readLE<std::uint16_t>();
    auto packet = r.readRaw(r.remaining());
    if (!seq || !time || !frames || !delay || !packet) {
        return std::unexpected(Failure::malformedPayload(MessageType::audio));
    }
    return Message::Audio{{*seq, *time, *frames, *delay}, {packet->begin(), packet->end()}};
}

std::expected<Message, Failure> readTimeReq(ByteReader& r) {
    auto t1 = r.readLE<std::uint64_t>();
    if (!t1) {
        return std::unexpected(Failure::malformedPayload(MessageType::timeReq));
    }
    return TimeReq{*t1};
}

std::expected<Message, Failure> readTimeResp(ByteReader& r) {
    auto t1 = r.readLE<std::uint64_t>();
    auto t2 = r.readLE<std::uint64_t>();
    if (!t1 || !t2) {
        return std::unexpected(Failure::malformedPayload(MessageType::timeResp));
    }
    return TimeResp{*t1, *t2};
}

std::expected<Message, Failure> readClientStat(ByteReader& r, std::uint16_t length) {
    const auto malformed = std::unexpected(Failure::malformedPayload(MessageType::clientStat));
    auto rtt = r.readLE<std::uint32_t>();
    auto minRtt = r.readLE<std::uint32_t>();
    auto offset = r.readLE<std::int64_t>();
    auto syncError = r.readLE<std::int32_t>();
    auto latency = r.readLE<std::uint16_t>();
    auto flags = r.readLE<std::uint16_t>();
    auto depth = r.readLE<std::uint16_t>();
    auto nameLength = r.readLE<std::uint8_t>();
    if (!rtt || !minRtt || !offset || !syncError || !latency || !flags || !depth || !nameLength) {
        return malformed;
    }
    const int expected = ClientStat::fixedWireSize + *nameLength;
    if (length != expected) {
        return std::unexpected(
            Failure::payloadLengthMismatch(MessageType::clientStat, expected, length));
    }
    auto name = r.readRaw(*nameLength);
    if (!name || !isValidUtf8(*name)) {
        return malformed;
    }
    return ClientStat{
        *rtt,     *minRtt,
        *offset,  *syncError,
        *latency, *flags,
        *depth,   std::string(reinterpret_cast<const char*>(name->data()), name->size())};
}

std::expected<Message, Failure> readClientState(ByteReader& r) {
    auto flags = r.readLE<std::uint8_t>();
    if (!flags) {
        return std::unexpected(Failure::malformedPayload(MessageType::clientState));
    }
    return ClientState::fromFlags(*flags);
}

std::expected<Message, Failure> readBeat(ByteReader& r) {
    auto time = r.readLE<std::uint64_t>();
    auto flags = r.readLE<std::uint8_t>();
    auto beatInBar = r.readLE<std::uint8_t>();
    auto bpm = r.readLE<std::uint16_t>();
    auto confidence = r.readLE<std::uint8_t>();
    if (!time || !flags || !beatInBar || !bpm || !confidence) {
        return std::unexpected(Failure::malformedPayload(MessageType::beat));
    }
    return Beat{*time, (*flags & Beat::downbeatBit) != 0, *beatInBar, *bpm, *confidence};
}

std::expected<Message, Failure> readCue(ByteReader& r) {
    auto time = r.readLE<std::uint64_t>();
    auto kind = r.readLE<std::uint8_t>();
    auto value = r.readLE<std::uint8_t>();
    auto value2 = r.readLE<std::uint8_t>();
    if (!time || !kind || !value || !value2) {
        return std::unexpected(Failure::malformedPayload(MessageType::cue));
    }
    return Cue{*time, *kind, *value, *value2};
}

// The length each fixed-size type must have; audio and clientStat give their minimum.
int requiredLength(MessageType type) {
    switch (type) {
        case MessageType::hello:
            return Hello::wireSize;
        case MessageType::audio:
            return AudioChunkHeader::wireSize;
        case MessageType::timeReq:
            return TimeReq::wireSize;
        case MessageType::timeResp:
            return TimeResp::wireSize;
        case MessageType::clientStat:
            return ClientStat::fixedWireSize;
        case MessageType::bye:
            return 0;
        case MessageType::clientState:
            return ClientState::wireSize;
        case MessageType::beat:
            return Beat::wireSize;
        case MessageType::cue:
            return Cue::wireSize;
    }
    return 0;
}

bool hasVariableLength(MessageType type) {
    return type == MessageType::audio || type == MessageType::clientStat;
}

}  // namespace

Failure Failure::badMagic(std::uint32_t magic) {
    Failure f;
    f.kind = Case::badMagic;
    f.magic = magic;
    return f;
}

Failure Failure::unsupportedVersion(std::uint8_t version) {
    Failure f;
    f.kind = Case::unsupportedVersion;
    f.version = version;
    return f;
}

Failure Failure::payloadLengthMismatch(MessageType type, int expected, std::uint16_t got) {
    Failure f;
    f.kind = Case::payloadLengthMismatch;
    f.type = type;
    f.expected = expected;
    f.got = got;
    return f;
}

Failure Failure::malformedPayload(MessageType type) {
    Failure f;
    f.kind = Case::malformedPayload;
    f.type = type;
    return f;
}

Failure Failure::audioBeforeHello() {
    Failure f;
    f.kind = Case::audioBeforeHello;
    return f;
}

Failure Failure::bufferOverflow() {
    return Failure{};
}

std::string Failure::text() const {
    switch (kind) {
        case Case::badMagic: {
            char hex[16];
            std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(magic));
            return "badMagic(" + std::string(hex) + ")";
        }
        case Case::unsupportedVersion:
            return "unsupportedVersion(" + std::to_string(version) + ")";
        case Case::payloadLengthMismatch:
            return "payloadLengthMismatch(" + std::string(toString(type)) +
                   ", expected: " + std::to_string(expected) + ", got: " + std::to_string(got) +
                   ")";
        case Case::malformedPayload:
            return "malformedPayload(" + std::string(toString(type)) + ")";
        case Case::audioBeforeHello:
            return "audioBeforeHello";
        case Case::bufferOverflow:
            return "bufferOverflow";
    }
    return "bufferOverflow";
}

FrameDecoder::FrameDecoder(std::ptrdiff_t reservingCapacity) {
    if (reservingCapacity > 0) {
        buffer_.reserve(static_cast<std::size_t>(reservingCapacity));
    }
}

void FrameDecoder::append(std::span<const std::uint8_t> bytes) {
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

std::expected<std::optional<Message>, Failure> FrameDecoder::next() {
    if (std::holds_alternative<NeedHeader>(state_)) {
        if (bufferedByteCount() < static_cast<std::size_t>(WireConstants::headerSize)) {
            return std::nullopt;
        }
        auto header = parseHeader();
        if (!header) {
            return std::unexpected(header.error());
        }
        readIndex_ += WireConstants::headerSize;
        state_ = NeedPayload{*header};
    }

    const ParsedHeader header = std::get<NeedPayload>(state_).header;
    if (bufferedByteCount() < header.length) {
        return std::nullopt;
    }
    const std::span<const std::uint8_t> payload(buffer_.data() + readIndex_, header.length);
    auto message = decodePayload(header, payload);
    if (!message) {
        return std::unexpected(message.error());
    }
    readIndex_ += header.length;
    state_ = NeedHeader{};
    compact();
    return std::optional<Message>(std::move(*message));
}

std::expected<FrameDecoder::ParsedHeader, Failure> FrameDecoder::parseHeader() const {
    ByteReader reader(
        std::span<const std::uint8_t>(buffer_).subspan(readIndex_, WireConstants::headerSize));
    // The header is all there, so these reads cannot fail.
    const auto magic = reader.readBE<std::uint32_t>().value_or(0);
    if (magic != WireConstants::magicBE) {
        return std::unexpected(Failure::badMagic(magic));
    }
    const auto version = reader.readLE<std::uint8_t>().value_or(0);
    if (version != WireConstants::version) {
        return std::unexpected(Failure::unsupportedVersion(version));
    }
    const auto typeByte = reader.readLE<std::uint8_t>().value_or(0);
    const auto length = reader.readLE<std::uint16_t>().value_or(0);
    return ParsedHeader{typeByte, messageTypeFromRaw(typeByte), length};
}

std::expected<Message, Failure> FrameDecoder::decodePayload(const ParsedHeader& header,
                                                            std::span<const std::uint8_t> payload) {
    if (!header.type) {
        return Message::Unknown{header.typeByte, header.length};
    }
    const MessageType type = *header.type;
    if (type == MessageType::audio && !streamFormat_) {
        return std::unexpected(Failure::audioBeforeHello());
    }
    const int required = requiredLength(type);
    const bool lengthFits =
        hasVariableLength(type) ? header.length >= required : header.length == required;
    if (!lengthFits) {
        return std::unexpected(Failure::payloadLengthMismatch(type, required, header.length));
    }

    ByteReader reader(payload);
    switch (type) {
        case MessageType::hello: {
            auto hello = readHello(reader);
            if (hello) {
                streamFormat_ = *hello->as<Hello>();
            }
            return hello;
        }
        case MessageType::audio:
            return readAudio(reader);
        case MessageType::timeReq:
            return readTimeReq(reader);
        case MessageType::timeResp:
            return readTimeResp(reader);
        case MessageType::clientStat:
            return readClientStat(reader, header.length);
        case MessageType::bye:
            return Message::Bye{};
        case MessageType::clientState:
            return readClientState(reader);
        case MessageType::beat:
            return readBeat(reader);
        case MessageType::cue:
            return readCue(reader);
    }
    return std::unexpected(Failure::malformedPayload(type));
}

void FrameDecoder::compact() {
    if (readIndex_ == buffer_.size()) {
        buffer_.clear();  // keeps the capacity
        readIndex_ = 0;
    } else if (readIndex_ > compactionThreshold) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(readIndex_));
        readIndex_ = 0;
    }
}

}  // namespace zoranth
