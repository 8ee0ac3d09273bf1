#include "protocol/frame_encoder.h"

#include <cassert>
#include <cstring>
#include <type_traits>

namespace zoranth {

namespace {

constexpr std::ptrdiff_t generalReserve = 64;

void writeRawHeader(std::uint8_t typeByte, std::size_t length, ByteWriter& into) {
    assert(length <= static_cast<std::size_t>(WireConstants::maxPayload));
    into.writeRaw(WireConstants::magic);
    into.writeLE(WireConstants::version);
    into.writeLE(typeByte);
    into.writeLE(static_cast<std::uint16_t>(length));
}

void writePayload(const Hello& hello, ByteWriter& w) {
    FrameEncoder::writeHeader(MessageType::hello, Hello::wireSize, w);
    w.writeLE(hello.sampleRate);
    w.writeLE(hello.channels);
    w.writeLE(hello.bitsPerSample);
    w.writeLE(hello.framesPerChunk);
    w.writeLE(hello.bufferDelayMs);
}

void writePayload(const Message::Audio& audio, ByteWriter& w) {
    FrameEncoder::writeHeader(MessageType::audio, AudioChunkHeader::wireSize + audio.packet.size(),
                              w);
    w.writeLE(audio.header.seq);
    w.writeLE(audio.header.hostTimeNanos);
    w.writeLE(audio.header.frameCount);
    w.writeLE(audio.header.bufferDelayMs);
    w.writeRaw(audio.packet);
}

void writePayload(const TimeReq& request, ByteWriter& w) {
    FrameEncoder::writeHeader(MessageType::timeReq, TimeReq::wireSize, w);
    w.writeLE(request.t1);
}

void writePayload(const TimeResp& response, ByteWriter& w) {
    FrameEncoder::writeHeader(MessageType::timeResp, TimeResp::wireSize, w);
    w.writeLE(response.t1);
    w.writeLE(response.t2);
}

void writePayload(const ClientStat& stat, ByteWriter& w) {
    const auto name = FrameEncoder::truncatedNameBytes(stat.deviceName);
    FrameEncoder::writeHeader(MessageType::clientStat, ClientStat::fixedWireSize + name.size(), w);
    w.writeLE(stat.rttNanos);
    w.writeLE(stat.minRttNanos);
    w.writeLE(stat.offsetNanos);
    w.writeLE(stat.syncErrorMicros);
    w.writeLE(stat.latencyMs);
    w.writeLE(stat.flags);
    w.writeLE(stat.bufferDepthMs);
    w.writeLE(static_cast<std::uint8_t>(name.size()));
    w.writeRaw(name);
}

void writePayload(const ClientState& state, ByteWriter& w) {
    FrameEncoder::writeHeader(MessageType::clientState, ClientState::wireSize, w);
    w.writeLE(state.flags());
}

void writePayload(const Beat& beat, ByteWriter& w) {
    FrameEncoder::writeHeader(MessageType::beat, Beat::wireSize, w);
    w.writeLE(beat.hostTimeNanos);
    w.writeLE(beat.flags());
    w.writeLE(beat.beatInBar);
    w.writeLE(beat.bpmCenti);
    w.writeLE(beat.confidence);
}

void writePayload(const Cue& cue, ByteWriter& w) {
    FrameEncoder::writeHeader(MessageType::cue, Cue::wireSize, w);
    w.writeLE(cue.hostTimeNanos);
    w.writeLE(cue.kind);
    w.writeLE(cue.value);
    w.writeLE(cue.value2);
}

void writePayload(const Message::Unknown& unknown, ByteWriter& w) {
    writeRawHeader(unknown.type, unknown.length, w);
    for (std::uint16_t i = 0; i < unknown.length; ++i) {
        w.writeLE(std::uint8_t{0});
    }
}

void writePayload(const Message::Bye&, ByteWriter& w) {
    FrameEncoder::writeHeader(MessageType::bye, 0, w);
}

template <class T>
void storeLE(std::uint8_t*& out, T value) {
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        *out++ = static_cast<std::uint8_t>(static_cast<std::make_unsigned_t<T>>(value) >> (8 * i));
    }
}

}  // namespace

std::vector<std::uint8_t> FrameEncoder::encode(const Message& message) {
    const auto* audio = message.as<Message::Audio>();
    ByteWriter writer(audio ? WireConstants::headerSize + AudioChunkHeader::wireSize +
                                  static_cast<std::ptrdiff_t>(audio->packet.size())
                            : generalReserve);
    std::visit([&writer](const auto& payload) { writePayload(payload, writer); }, message.payload);
    return writer.takeBytes();
}

std::vector<std::uint8_t> FrameEncoder::encodeAudioFrame(const AudioChunkHeader& header,
                                                         std::span<const std::uint8_t> packet) {
    constexpr std::size_t fixed = WireConstants::headerSize + AudioChunkHeader::wireSize;
    const std::size_t length = AudioChunkHeader::wireSize + packet.size();
    assert(length <= static_cast<std::size_t>(WireConstants::maxPayload));

    std::vector<std::uint8_t> frame(fixed + packet.size());
    std::uint8_t* out = frame.data();
    for (const auto byte : WireConstants::magic) {
        *out++ = byte;
    }
    *out++ = WireConstants::version;
    *out++ = static_cast<std::uint8_t>(MessageType::audio);
    storeLE(out, static_cast<std::uint16_t>(length));
    storeLE(out, header.seq);
    storeLE(out, header.hostTimeNanos);
    storeLE(out, header.frameCount);
    storeLE(out, header.bufferDelayMs);
    if (!packet.empty()) {
        std::memcpy(out, packet.data(), packet.size());
    }
    return frame;
}

void FrameEncoder::writeHeader(MessageType type, std::size_t length, ByteWriter& into) {
    writeRawHeader(static_cast<std::uint8_t>(type), length, into);
}

std::vector<std::uint8_t> FrameEncoder::truncatedNameBytes(std::string_view name) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(name.data());
    if (name.size() <= static_cast<std::size_t>(ClientStat::maxDeviceNameBytes)) {
        return {bytes, bytes + name.size()};
    }
    std::size_t end = ClientStat::maxDeviceNameBytes;
    const auto isContinuation = [](std::uint8_t b) { return b >= 0x80 && b <= 0xBF; };
    while (end > 0 && isContinuation(bytes[end - 1])) {
        --end;
    }
    if (end > 0 && bytes[end - 1] >= 0xC0) {
        --end;
    }
    return {bytes, bytes + end};
}

}  // namespace zoranth
