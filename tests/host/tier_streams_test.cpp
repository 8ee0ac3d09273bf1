// The tier streams end to end: the real pipeline encodes each chunk once per tier in use,
// the real server hands every guest on 127.0.0.1 the frame of its tier. A guest moving
// between streams hears no click, and the fan-out costs the sender thread nothing per guest.
#include <gtest/gtest.h>

#include <boost/asio/ip/address.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <numbers>
#include <ostream>
#include <vector>

#include "host/capture/capture_pipeline.h"
#include "host/host_log.h"
#include "host/net/broadcast_server.h"
#include "host/wall_clock.h"
#include "kit/opus_decoder.h"
#include "protocol/mach_clock.h"
#include "support/alloc_counter.h"
#include "support/synthetic_producer.h"
#include "support/test_guest.h"
#include "support/server_fixtures.h"

namespace zoranth {
namespace {

using namespace std::chrono_literals;

constexpr double toneHz = 440;
constexpr float toneAmplitude = 0.5f;

// What the rave's sink does with the frames, and nothing else.
class ServerSink : public CapturePipeline::Sink {
  public:
    explicit ServerSink(std::shared_ptr<BroadcastServer> server) : server_(std::move(server)) {}
    void pipelineDidProduce(const TierFrames& frames, const ChunkAssembler::Chunk&,
                            std::span<const float>, std::uint64_t,
                            std::uint64_t deadlineNanos) override {
        server_->broadcast(frames, deadlineNanos, WallClock::now());
    }

  private:
    std::shared_ptr<BroadcastServer> server_;
};

// Keeps the suite out of the user's host log.
class TierStreams : public QuietHostLog {
  protected:

    void SetUp() override {
        pipeline_ = CapturePipeline::create(ring_, TapFormat{48000, 2, false, true, 32}, 960);
        server_ = std::make_shared<BroadcastServer>(Hello{48000, 2, 16, 960, 1500}, "Tiers",
                                                    [](std::string_view, std::string_view) {});
        ASSERT_TRUE(server_->start({0, boost::asio::ip::make_address("127.0.0.1"), false}));
        sink_ = std::make_shared<ServerSink>(server_);
        pipeline_->setSink(sink_);
        pipeline_->setTiersWanted([server = server_] { return server->tiersWanted(); });
        pipeline_->setDiagnosticLog([](std::string_view) {});
    }
    void TearDown() override {
        producer_.join();
        pipeline_->stop();
        server_->stop();
    }

    // A guest that has joined and read its hello.
    TestGuest join() {
        const std::size_t before = server_->guestCount();
        auto guest = TestGuest::connect(server_->port());
        EXPECT_TRUE(guest) << guest.error();
        EXPECT_TRUE(guest->prove());
        EXPECT_TRUE(guest->nextMessage().value_or(Message(Message::Bye{})).is<Hello>());
        while (server_->guestCount() == before) {
            std::this_thread::sleep_for(1ms);
        }
        return std::move(*guest);
    }

    static std::vector<std::vector<std::uint8_t>> audioPackets(TestGuest& guest, int count) {
        std::vector<std::vector<std::uint8_t>> packets;
        while (static_cast<int>(packets.size()) < count) {
            const auto message = guest.nextMessage();
            if (!message) {
                ADD_FAILURE() << "the stream stopped after " << packets.size() << " chunks";
                break;
            }
            if (const auto* audio = message->as<Message::Audio>()) {
                packets.push_back(audio->packet);
            }
        }
        return packets;
    }

    std::shared_ptr<CaptureRing> ring_ = *CaptureRing::createStandard();
    // Stamped from now, so that the chunks' deadlines lie ahead.
    SyntheticProducer producer_{ring_, 48000, 2, MachClock::nowNanos(), toneHz, toneAmplitude};
    std::shared_ptr<CapturePipeline> pipeline_;
    std::shared_ptr<BroadcastServer> server_;
    std::shared_ptr<ServerSink> sink_;
};

double meanSize(const std::vector<std::vector<std::uint8_t>>& packets, std::size_t first,
                std::size_t last) {
    double total = 0;
    for (std::size_t i = first; i < last; ++i) {
        total += static_cast<double>(packets[i].size());
    }
    return total / static_cast<double>(last - first);
}

struct SwitchCase {
    QualityTier from;
    QualityTier to;
};

void PrintTo(const SwitchCase& switchCase, std::ostream* out) {
    *out << switchCase.from.label() << " to " << switchCase.to.label();
}

class TierStreamSwitch : public TierStreams, public ::testing::WithParamInterface<SwitchCase> {};

// The guest's decoder plays on across the switch: no step larger than the tone's own
// steepest, and in no 5 ms the level of near-silence (a single encoder jumping from
// 256 to 64 kbps dips to a tenth for tens of milliseconds; a fresh encoder, to two thirds).
TEST_P(TierStreamSwitch, ADecodedToneCarriesOnWithoutAClick) {
    const auto [from, to] = GetParam();
    TestGuest guest = join();
    server_->setBitrates({{1, from.bitrate()}});
    ASSERT_TRUE(pipeline_->start());
    constexpr int chunksEach = 40;
    producer_.writeSlots(2 * chunksEach, 480);
    auto packets = audioPackets(guest, chunksEach);
    server_->setBitrates({{1, to.bitrate()}});
    producer_.writeSlots(2 * chunksEach, 480);
    const auto after = audioPackets(guest, chunksEach);
    packets.insert(packets.end(), after.begin(), after.end());
    ASSERT_EQ(packets.size(), 2u * chunksEach);

    // The guest really changed streams: the last packets are the size of the new bitrate.
    const double expectedBytes = to.bitrate() / 8.0 * 0.02;
    EXPECT_NEAR(meanSize(packets, packets.size() - 10, packets.size()), expectedBytes,
                0.25 * expectedBytes);

    auto decoder = *OpusDecoder::create(2);
    std::vector<float> left;
    for (const auto& packet : packets) {
        const auto pcm = decoder->decode(packet);
        ASSERT_TRUE(pcm);
        for (std::size_t i = 0; i < pcm->size(); i += 2) {
            left.push_back((*pcm)[i]);
        }
    }
    left.erase(left.begin(), left.begin() + 10 * 960);  // past the codec's start-up

    const double toneStep = 2 * toneAmplitude * std::sin(std::numbers::pi * toneHz / 48000);
    double largestStep = 0;
    for (std::size_t i = 1; i < left.size(); ++i) {
        largestStep = std::max(largestStep, static_cast<double>(std::fabs(left[i] - left[i - 1])));
    }
    EXPECT_LE(largestStep, 1.1 * toneStep);

    constexpr std::size_t window = 240;  // 5 ms
    double quietest = 1;
    for (std::size_t start = 0; start + window <= left.size(); start += window / 5) {
        double energy = 0;
        for (std::size_t i = start; i < start + window; ++i) {
            energy += static_cast<double>(left[i]) * left[i];
        }
        quietest = std::min(quietest, std::sqrt(energy / window));
    }
    EXPECT_GE(quietest, 0.8 * toneAmplitude / std::numbers::sqrt2);
}

INSTANTIATE_TEST_SUITE_P(OneAndSeveralTiersApart, TierStreamSwitch,
                         ::testing::Values(SwitchCase{QualityTier::full, QualityTier::minimum},
                                           SwitchCase{QualityTier::minimum, QualityTier::full},
                                           SwitchCase{QualityTier::full, QualityTier::high},
                                           SwitchCase{QualityTier::minimum, QualityTier::low}),
                         [](const auto& info) {
                             return std::to_string(info.param.from.bitrate() / 1000) + "To" +
                                    std::to_string(info.param.to.bitrate() / 1000);
                         });

// The sender thread's whole chunk, encoding and fan-out to dozens of guests, allocates only
// the tier frames it makes: nothing per guest.
TEST_F(TierStreams, TheFanOutAllocatesNothingPerGuest) {
    constexpr int guestCount = 40;
    std::vector<TestGuest> guests;
    for (int i = 0; i < guestCount; ++i) {
        guests.push_back(join());
    }
    // Three streams: a third of the guests on each.
    BroadcastServer::Bitrates bitrates;
    for (GuestConnection::Id id = 1; id <= guestCount; ++id) {
        bitrates[id] = QualityTier::allCases[static_cast<std::size_t>(id % 3) * 2].bitrate();
    }
    server_->setBitrates(bitrates);

    std::vector<float> left(960), right(960);
    const std::vector<std::span<const float>> planes{left, right};
    const std::uint64_t start = MachClock::nowNanos();
    auto emit = [&](int chunk) {
        for (int i = 0; i < 960; ++i) {
            left[static_cast<std::size_t>(i)] = right[static_cast<std::size_t>(i)] =
                toneAmplitude * static_cast<float>(std::sin(2 * std::numbers::pi * toneHz *
                                                            (chunk * 960 + i) / 48000));
        }
        pipeline_->assembler().push(start + static_cast<std::uint64_t>(chunk) * 20'000'000, 960,
                                    planes);
        pipeline_->emitReadyChunks();
    };
    for (int chunk = 0; chunk < 10; ++chunk) {
        emit(chunk);  // makes the tier encoders and the reusable buffers
    }
    constexpr int chunks = 300;
    const AllocCounter counter;
    for (int chunk = 10; chunk < 10 + chunks; ++chunk) {
        emit(chunk);
        // At the real pace for the guests' queues, but quicker: 2 ms a chunk.
        std::this_thread::sleep_for(2ms);
    }
    const std::uint64_t allocations = counter.allocations();
    EXPECT_EQ(pipeline_->stats().encoderCount, 3);
    // Per tier and chunk: the frame and its shared block.
    EXPECT_LE(allocations, 2u * 3 * chunks)
        << "over " << chunks << " chunks for " << guestCount << " guests";
}

}  // namespace
}  // namespace zoranth
