// Feeds arbitrary bytes, in pieces of varying size, through the beat helper's
// output splitter and line parser and checks what must hold for any input: no
// crash or out-of-bounds read, lines come out as valid UTF-8 without line feeds
// and never longer than the limit, the held partial line stays bounded, and
// every parsed beat or cue survives the frame codec unchanged.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <source_location>
#include <string>
#include <variant>
#include <vector>

#include "host/beats/beat_line.h"
#include "protocol/frame_decoder.h"
#include "protocol/frame_encoder.h"

namespace {

using zoranth::Beat;
using zoranth::BeatLine;
using zoranth::Cue;

void require(bool condition, std::source_location where = std::source_location::current()) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken at line %u\n", static_cast<unsigned>(where.line()));
        std::abort();
    }
}

void requireRoundTrip(const zoranth::Message& message) {
    zoranth::FrameDecoder decoder(0);
    decoder.append(zoranth::FrameEncoder::encode(message));
    const auto decoded = decoder.next();
    require(decoded.has_value() && decoded->has_value() && **decoded == message);
}

void checkLine(const std::string& line) {
    require(line.find('\n') == std::string::npos);
    require(BeatLine::validUtf8(line) == line);
    const auto parsed = BeatLine::parse(line);
    if (!parsed) {
        return;
    }
    if (const auto* beat = std::get_if<Beat>(&*parsed)) {
        require(line.find('B') != std::string::npos);
        requireRoundTrip(*beat);
    } else if (const auto* cue = std::get_if<Cue>(&*parsed)) {
        require(line.find('C') != std::string::npos);
        requireRoundTrip(*cue);
    } else {
        const auto& log = std::get<BeatLine::Log>(*parsed);
        require(log.text.size() <= line.size());
        require(log.text.find("  ") == std::string::npos);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    BeatLine::Splitter splitter;
    while (input.remaining_bytes() > 0) {
        const auto pieceSize = input.ConsumeIntegralInRange<std::size_t>(1, 512);
        const auto piece = input.ConsumeBytes<std::uint8_t>(pieceSize);
        for (const std::string& line : splitter.append(piece)) {
            require(line.size() <= 3 * BeatLine::Splitter::maxLineBytes);
            checkLine(line);
        }
        require(splitter.pendingBytes() <= BeatLine::Splitter::maxLineBytes);
    }
    // The raw bytes up to the first line feed, as one line, parse safely as well.
    const std::string raw(reinterpret_cast<const char*>(data), size);
    checkLine(BeatLine::validUtf8(raw.substr(0, raw.find('\n'))));
    return 0;
}
