// Frame codec throughput: decoding a realistic host stream as the network hands
// it over, and building an audio frame directly versus through the general encoder.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "protocol/frame_decoder.h"
#include "protocol/frame_encoder.h"

namespace zoranth {
namespace {

constexpr std::size_t packetBytes = 300;    // a 128 kbit/s Opus packet of 20 ms is ~320 bytes
constexpr std::size_t networkPiece = 1448;  // one TCP segment's payload on Ethernet

std::vector<std::uint8_t> packet(std::uint32_t seq) {
    std::vector<std::uint8_t> bytes(packetBytes);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(seq * 31 + i);
    }
    return bytes;
}

// About ten seconds of one guest's stream: a hello, then audio every 20 ms with
// a clock answer every tenth chunk, a beat every 25 and a status frame every 250.
std::vector<std::uint8_t> hostStream() {
    std::vector<std::uint8_t> stream;
    const auto add = [&stream](const std::vector<std::uint8_t>& frame) {
        stream.insert(stream.end(), frame.begin(), frame.end());
    };
    add(FrameEncoder::encode(Hello{48000, 2, 16, 960, 1500}));
    for (std::uint32_t seq = 0; seq < 500; ++seq) {
        const std::uint64_t now = 1'000'000'000ull + seq * 20'000'000ull;
        add(FrameEncoder::encodeAudioFrame({seq, now, 960, 1500}, packet(seq)));
        if (seq % 10 == 0)
            add(FrameEncoder::encode(TimeResp{now - 5000, now}));
        if (seq % 25 == 0)
            add(FrameEncoder::encode(Beat{now, seq % 100 == 0, 1, 12800, 200}));
        if (seq % 250 == 0) {
            add(FrameEncoder::encode(ClientStat{3'000'000, 1'000'000, -42, 120, 40, 0x0013, 1400,
                                                "Living room speaker"}));
        }
    }
    return stream;
}

void BM_DecodeStream(benchmark::State& state) {
    const auto stream = hostStream();
    FrameDecoder decoder(65536);
    std::size_t messages = 0;
    for (auto _ : state) {
        for (std::size_t at = 0; at < stream.size(); at += networkPiece) {
            const std::size_t n = std::min(networkPiece, stream.size() - at);
            decoder.append(std::span(stream).subspan(at, n));
            while (auto message = decoder.next().value()) {
                benchmark::DoNotOptimize(*message);
                ++messages;
            }
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
    state.counters["messages/s"] =
        benchmark::Counter(static_cast<double>(messages), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DecodeStream);

const AudioChunkHeader chunk{4711, 123'456'789'000, 960, 1500};

void BM_EncodeAudioFrame(benchmark::State& state) {
    const auto bytes = packet(1);
    for (auto _ : state) {
        auto frame = FrameEncoder::encodeAudioFrame(chunk, bytes);
        benchmark::DoNotOptimize(frame.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * (26 + packetBytes)));
}
BENCHMARK(BM_EncodeAudioFrame);

void BM_EncodeGeneral(benchmark::State& state) {
    const Message message = Message::Audio{chunk, packet(1)};
    for (auto _ : state) {
        auto frame = FrameEncoder::encode(message);
        benchmark::DoNotOptimize(frame.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * (26 + packetBytes)));
}
BENCHMARK(BM_EncodeGeneral);

}  // namespace
}  // namespace zoranth
