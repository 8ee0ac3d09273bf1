// The capture pipeline against a real capture ring fed by a synthetic producer thread: what
// reaches the sink, the tier encoders, the statistics, the flush and the black box.
#include "host/capture/capture_pipeline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <numbers>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "host/capture/black_box_dump.h"
#include "host/host_log.h"
#include "kit/frame_queue.h"
#include "kit/opus_decoder.h"
#include "protocol/frame_decoder.h"
#include "protocol/frame_encoder.h"
#include "support/alloc_counter.h"
#include "support/pulse_test_server.h"
#include "support/synthetic_producer.h"

namespace zoranth {
namespace {

using namespace std::chrono_literals;

constexpr std::uint64_t startNanos = 5'000'000'000;

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

Message::Audio decodeAudioFrame(const std::vector<std::uint8_t>& frame) {
    FrameDecoder decoder(0);
    decoder.append(FrameEncoder::encode(Hello{48000, 2, 16, 960, 1500}));
    EXPECT_TRUE(decoder.next().has_value());
    decoder.append(frame);
    auto message = decoder.next();
    EXPECT_TRUE(message.has_value() && message->has_value());
    const auto* audio = message && *message ? (*message)->as<Message::Audio>() : nullptr;
    return audio ? *audio : Message::Audio{};
}

// Keeps what every call to the sink carried.
class RecordingSink : public CapturePipeline::Sink {
  public:
    struct Delivery {
        std::vector<std::pair<QualityTier, Message::Audio>> frames;  // in tier order
        std::uint64_t chunkHostNanos = 0;
        int chunkFrames = 0;
        std::vector<float> pcm;
        std::uint64_t hostTimeNanos = 0;
        std::uint64_t deadlineNanos = 0;
    };

    void pipelineDidProduce(const TierFrames& frames, const ChunkAssembler::Chunk& chunk,
                            std::span<const float> pcm, std::uint64_t hostTimeNanos,
                            std::uint64_t deadlineNanos) override {
        Delivery delivery;
        for (const QualityTier tier : QualityTier::allCases) {
            if (frames[tier]) {
                delivery.frames.emplace_back(tier, decodeAudioFrame(*frames[tier]));
            }
        }
        delivery.chunkHostNanos = chunk.hostTimeNanos;
        delivery.chunkFrames = chunk.frameCount;
        delivery.pcm.assign(pcm.begin(), pcm.end());
        delivery.hostTimeNanos = hostTimeNanos;
        delivery.deadlineNanos = deadlineNanos;
        std::lock_guard lock(mutex_);
        deliveries_.push_back(std::move(delivery));
    }

    std::vector<Delivery> deliveries() const {
        std::lock_guard lock(mutex_);
        return deliveries_;
    }
    bool waitFor(std::size_t count, std::chrono::milliseconds timeout = 5s) const {
        return eventually([&] { return deliveries().size() >= count; }, timeout);
    }

  private:
    mutable std::mutex mutex_;
    std::vector<Delivery> deliveries_;
};

// The tiers the guests want, as a test changes them while the sender thread reads them.
class WantedTiers {
  public:
    void set(TierSet tiers) {
        std::lock_guard lock(mutex_);
        tiers_ = tiers;
    }
    std::function<TierSet()> source() {
        return [this] {
            std::lock_guard lock(mutex_);
            return tiers_;
        };
    }

  private:
    std::mutex mutex_;
    TierSet tiers_;
};

// Collects the pipeline's diagnostic lines.
class LogLines {
  public:
    std::function<void(std::string_view)> sink() {
        return [this](std::string_view line) {
            std::lock_guard lock(mutex_);
            lines_.emplace_back(line);
        };
    }
    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    bool contains(const std::string& line) const {
        const auto all = lines();
        return std::find(all.begin(), all.end(), line) != all.end();
    }
    bool waitFor(const std::string& line) const {
        return eventually([&] { return contains(line); });
    }
    std::size_t count(const std::string& line) const {
        const auto all = lines();
        return static_cast<std::size_t>(std::count(all.begin(), all.end(), line));
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// An encoder whose encodes fail where a script says so; counts what the factory made and
// notes the first sample of everything each encoder was given.
struct ScriptedEncoders {
    struct Encoder : CapturePipeline::Encoder {
        Encoder(ScriptedEncoders& owner, std::int32_t bitrate) : owner(owner), rate(bitrate) {}
        std::expected<std::span<const std::uint8_t>, OpusCodec::Failure> encode(
            std::span<const float> pcm) override {
            std::this_thread::sleep_for(owner.slowness(rate));
            std::lock_guard lock(owner.mutex);
            const int call = owner.encodes++;
            owner.given[rate].push_back(pcm[0]);
            if (owner.failingEncodes.contains(call)) {
                return std::unexpected(OpusCodec::Failure::encodeFailed(-3));
            }
            packet = {0xAB, static_cast<std::uint8_t>(call)};
            return std::span<const std::uint8_t>(packet);
        }

        ScriptedEncoders& owner;
        std::int32_t rate;
        std::vector<std::uint8_t> packet;
    };

    CapturePipeline::EncoderFactory factory() {
        return [this](int, std::int32_t bitrate)
                   -> std::expected<std::unique_ptr<CapturePipeline::Encoder>, OpusCodec::Failure> {
            std::lock_guard lock(mutex);
            ++created;
            if (refuseCreation) {
                return std::unexpected(OpusCodec::Failure::createFailed(-7));
            }
            return std::make_unique<Encoder>(*this, bitrate);
        };
    }
    int createdCount() {
        std::lock_guard lock(mutex);
        return created;
    }

    std::vector<float> givenAt(std::int32_t bitrate) {
        std::lock_guard lock(mutex);
        return given[bitrate];
    }
    // How long each encode at the bitrate takes, beyond its own time.
    void setSlowness(std::int32_t bitrate, std::chrono::milliseconds delay) {
        std::lock_guard lock(mutex);
        slow[bitrate] = delay;
    }
    std::chrono::milliseconds slowness(std::int32_t bitrate) {
        std::lock_guard lock(mutex);
        const auto found = slow.find(bitrate);
        return found == slow.end() ? 0ms : found->second;
    }

    std::mutex mutex;
    std::set<int> failingEncodes;
    bool refuseCreation = false;
    int created = 0;
    int encodes = 0;
    std::map<std::int32_t, std::vector<float>> given;
    std::map<std::int32_t, std::chrono::milliseconds> slow;
};

TapFormat floatFormat(double rate, int channels) {
    return TapFormat{rate, channels, false, true, 32};
}

struct PipelineFixture {
    explicit PipelineFixture(double rate = 48000, int channels = 2)
        : ring(*CaptureRing::createStandard()),
          pipeline(CapturePipeline::create(ring, floatFormat(rate, channels), 960)),
          sink(std::make_shared<RecordingSink>()),
          producer(ring, rate, channels, startNanos) {
        pipeline->setSink(sink);
        pipeline->setTiersWanted(tiers.source());
        pipeline->setDiagnosticLog(log.sink());
    }
    ~PipelineFixture() {
        producer.join();
        pipeline->stop();
    }

    std::shared_ptr<CaptureRing> ring;
    std::shared_ptr<CapturePipeline> pipeline;
    std::shared_ptr<RecordingSink> sink;
    WantedTiers tiers;
    LogLines log;
    SyntheticProducer producer;
};

// ---------------------------------------------------------------- what reaches the sink

TEST(CapturePipelineDelivery, WithoutGuestsChunksStillReachTheSinkAndAdvanceTheSequence) {
    PipelineFixture fixture;
    ASSERT_TRUE(fixture.pipeline->start());
    fixture.producer.writeSlots(10, 480);  // five chunks
    ASSERT_TRUE(fixture.sink->waitFor(5));

    const auto deliveries = fixture.sink->deliveries();
    ASSERT_EQ(deliveries.size(), 5u);
    for (std::size_t i = 0; i < deliveries.size(); ++i) {
        const auto& delivery = deliveries[i];
        EXPECT_TRUE(delivery.frames.empty());
        EXPECT_EQ(delivery.chunkHostNanos, startNanos + i * 20'000'000);
        EXPECT_EQ(delivery.hostTimeNanos, delivery.chunkHostNanos);
        EXPECT_EQ(delivery.deadlineNanos,
                  FrameQueue::playoutDeadlineNanos(delivery.hostTimeNanos, 960, 48000, 1500));
        EXPECT_EQ(delivery.pcm.size(), 960u * 2);
    }
    const auto stats = fixture.pipeline->stats();
    EXPECT_EQ(stats.chunksProduced, 5);
    EXPECT_EQ(stats.framesProduced, 4800);
    ASSERT_EQ(stats.peak.size(), 2u);
    EXPECT_NEAR(stats.peak[0], 0.5f, 0.01f);
    EXPECT_NEAR(stats.rms[1], 0.5f / std::numbers::sqrt2_v<float>, 0.01f);
    EXPECT_EQ(stats.encoderCount, 0);
    EXPECT_TRUE(eventually([&] {
        return fixture.pipeline->stats().diagnosis == SilenceWatchdog::Diagnosis::receivingAudio();
    }));

    // The five chunks used sequence numbers 0 … 4: a guest joining now gets 5, from an
    // encoder primed with those five.
    fixture.tiers.set({QualityTier::medium});
    fixture.producer.writeSlots(2, 480);
    ASSERT_TRUE(fixture.sink->waitFor(6));
    const auto last = fixture.sink->deliveries().back();
    ASSERT_EQ(last.frames.size(), 1u);
    EXPECT_EQ(last.frames[0].first, QualityTier::medium);
    EXPECT_EQ(last.frames[0].second.header.seq, 5u);
    EXPECT_TRUE(fixture.log.waitFor("tier 128 kbps encoder + (primed with 5 chunks)"));
}

TEST(CapturePipelineDelivery, TwoTiersGetTheSameHeaderAndTheirOwnBitrates) {
    PipelineFixture fixture;
    fixture.pipeline->setBufferDelayMs(2500);
    fixture.tiers.set({QualityTier::medium, QualityTier::minimum});
    ASSERT_TRUE(fixture.pipeline->start());
    fixture.producer.writeSlots(50, 480);  // half a second of 440 Hz
    ASSERT_TRUE(fixture.sink->waitFor(25));

    const auto deliveries = fixture.sink->deliveries();
    std::size_t bytes[2] = {0, 0};
    for (std::size_t i = 0; i < deliveries.size(); ++i) {
        const auto& packets = deliveries[i].frames;
        ASSERT_EQ(packets.size(), 2u);
        EXPECT_EQ(packets[0].first, QualityTier::medium);
        EXPECT_EQ(packets[1].first, QualityTier::minimum);
        const AudioChunkHeader expected{static_cast<std::uint32_t>(i), startNanos + i * 20'000'000,
                                        960, 2500};
        EXPECT_EQ(packets[0].second.header, expected);
        EXPECT_EQ(packets[1].second.header, expected);
        bytes[0] += packets[0].second.packet.size();
        bytes[1] += packets[1].second.packet.size();
    }
    EXPECT_GT(bytes[0], bytes[1]) << "the 128 kbps stream should have the larger packets";
    const auto stats = fixture.pipeline->stats();
    EXPECT_EQ(stats.encoderCount, 2);
    EXPECT_EQ(stats.encodedBytes, static_cast<std::int64_t>(bytes[0] + bytes[1]));

    // What a guest decodes is still the tone.
    auto decoder = OpusDecoder::create(2);
    ASSERT_TRUE(decoder);
    std::vector<float> decoded;
    for (const auto& delivery : deliveries) {
        const auto pcm = (*decoder)->decode(delivery.frames[0].second.packet);
        ASSERT_TRUE(pcm);
        decoded.insert(decoded.end(), pcm->begin(), pcm->end());
    }
    decoded.erase(decoded.begin(), decoded.begin() + 4800 * 2);  // past the codec's start-up
    EXPECT_GT(toneShare(decoded, 2, 0, 48000, 440), 0.95);
    EXPECT_NEAR(rootMeanSquare(decoded), 0.5 / std::numbers::sqrt2, 0.05);
}

TEST(CapturePipelineDelivery, AFailedEncodeLeavesItsSequenceNumberToTheNextChunk) {
    ScriptedEncoders encoders;  // outlives the pipeline's sender thread
    PipelineFixture fixture;
    encoders.failingEncodes = {1};
    fixture.pipeline->setEncoderFactory(encoders.factory());
    fixture.tiers.set({QualityTier::low});
    ASSERT_TRUE(fixture.pipeline->start());
    fixture.producer.writeSlots(6, 480);  // three chunks, the second fails
    ASSERT_TRUE(eventually([&] {
        return fixture.pipeline->stats().encodeFailures == 1 &&
               fixture.sink->deliveries().size() == 2;
    }));

    const auto deliveries = fixture.sink->deliveries();
    EXPECT_EQ(deliveries[0].frames[0].second.header.seq, 0u);
    EXPECT_EQ(deliveries[1].frames[0].second.header.seq, 1u);
    EXPECT_EQ(deliveries[1].chunkHostNanos, startNanos + 40'000'000);
    EXPECT_EQ(fixture.pipeline->stats().chunksProduced, 2);
    EXPECT_TRUE(fixture.log.waitFor("opus encode failed for tier 96 kbps: " +
                                    OpusCodec::Failure::encodeFailed(-3).description()));
}

TEST(CapturePipelineDelivery, AfterStopTheFlushPadsTheLastPartialChunk) {
    PipelineFixture fixture;
    ASSERT_TRUE(fixture.pipeline->start());
    fixture.producer.writeSlots(3, 480);  // one and a half chunks
    ASSERT_TRUE(fixture.sink->waitFor(1));
    fixture.producer.join();
    ASSERT_TRUE(eventually([&] { return sr_ring_depth(fixture.ring->pointer()) == 0; }));
    fixture.pipeline->stop();

    fixture.pipeline->assembler().flushPartialAsZeroPadded();
    fixture.pipeline->emitReadyChunks();
    const auto deliveries = fixture.sink->deliveries();
    ASSERT_EQ(deliveries.size(), 2u);
    const auto& padded = deliveries[1].pcm;
    EXPECT_NE(padded[479 * 2], 0.0f);
    EXPECT_TRUE(
        std::all_of(padded.begin() + 480 * 2, padded.end(), [](float x) { return x == 0; }));
    EXPECT_EQ(fixture.pipeline->stats().framesProduced, 1920);
}

TEST(CapturePipelineDelivery, AGoneSinkOrAGonePipelineEndsNothingBadly) {
    PipelineFixture fixture;
    ASSERT_TRUE(fixture.pipeline->start());
    fixture.sink.reset();
    fixture.producer.writeSlots(4, 480);
    ASSERT_TRUE(eventually([&] { return fixture.pipeline->stats().chunksProduced == 2; }));
    fixture.producer.join();
    // Dropping a running pipeline ends its sender thread.
    fixture.pipeline.reset();
    fixture.pipeline = CapturePipeline::create(fixture.ring, floatFormat(48000, 2), 960);
}

// ---------------------------------------------------------------- host time and tap rates

struct RateCase {
    double rate;
    int tapFrames;
    std::uint64_t latencyNanos;
};

class CapturePipelineRates : public testing::TestWithParam<RateCase> {};

TEST_P(CapturePipelineRates, ChunksAreStampedAheadByTheResamplersLatency) {
    const RateCase rateCase = GetParam();
    PipelineFixture fixture(rateCase.rate, 2);
    EXPECT_EQ(fixture.pipeline->tapFramesPerChunk(), rateCase.tapFrames);
    ASSERT_TRUE(fixture.pipeline->start());
    fixture.producer.write(
        std::vector<std::uint32_t>(4, static_cast<std::uint32_t>(rateCase.tapFrames / 2)));
    ASSERT_TRUE(fixture.sink->waitFor(2));

    const auto deliveries = fixture.sink->deliveries();
    for (const auto& delivery : deliveries) {
        EXPECT_EQ(delivery.chunkFrames, rateCase.tapFrames);
        EXPECT_EQ(delivery.pcm.size(), 960u * 2);
        EXPECT_EQ(delivery.hostTimeNanos, delivery.chunkHostNanos - rateCase.latencyNanos);
    }
    EXPECT_EQ(deliveries[0].chunkHostNanos, startNanos);
    EXPECT_EQ(fixture.pipeline->stats().encodeFailures, 0);
}

INSTANTIATE_TEST_SUITE_P(TapRates, CapturePipelineRates,
                         testing::Values(RateCase{48000, 960, 0},
                                         RateCase{96000, 1920, 333'333},  // 32 ÷ 96000 s
                                         RateCase{44100, 882, 725'623},   // 32 ÷ 44100 s
                                         RateCase{16000, 320, 2'000'000}));

// ---------------------------------------------------------------- start

TEST(CapturePipelineStart, RefusesFormatsItCannotCarry) {
    auto ring = *CaptureRing::createStandard();
    struct Case {
        TapFormat format;
        std::string message;
    } cases[] = {
        {floatFormat(48000, 6), "opus supports 1 or 2 channels, not 6"},
        {floatFormat(11025, 2),
         "a capture rate of 11025 Hz is not supported: 20 ms is not a whole number of frames "
         "at that rate that resamples to 48000 Hz"},
    };
    for (const auto& [format, message] : cases) {
        const auto pipeline = CapturePipeline::create(ring, format, 960);
        const auto started = pipeline->start();
        ASSERT_FALSE(started) << message;
        EXPECT_EQ(started.error().description(), message);
    }
    const auto pipeline = CapturePipeline::create(ring, floatFormat(48000, 2), 960);
    ASSERT_TRUE(pipeline->start());
    const auto again = pipeline->start();
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().kind, CapturePipeline::Failure::Case::alreadyStarted);
}

TEST(CapturePipelineStart, BufferDelayTakesOnlyValuesTheHeaderCanCarry) {
    auto ring = *CaptureRing::createStandard();
    const auto pipeline = CapturePipeline::create(ring, floatFormat(48000, 2), 960);
    EXPECT_EQ(pipeline->bufferDelayMs(), 1500);
    for (const std::int64_t refused : {-1LL, 65536LL}) {
        pipeline->setBufferDelayMs(refused);
        EXPECT_EQ(pipeline->bufferDelayMs(), 1500) << refused;
    }
    pipeline->setBufferDelayMs(65535);
    EXPECT_EQ(pipeline->bufferDelayMs(), 65535);
}

// ---------------------------------------------------------------- encoders and log lines

TEST(CapturePipelineEncoders, ATierEncoderComesWithItsFirstGuestAndLingersAfterTheLast) {
    ScriptedEncoders encoders;  // outlives the pipeline's sender thread
    PipelineFixture fixture;
    fixture.pipeline->setEncoderFactory(encoders.factory());
    fixture.tiers.set({QualityTier::medium});
    ASSERT_TRUE(fixture.pipeline->start());
    fixture.producer.writeSlots(4, 480);
    ASSERT_TRUE(fixture.sink->waitFor(2));
    ASSERT_TRUE(fixture.log.waitFor("tier 128 kbps encoder +"));

    // The guests move to 64 kbps: that stream starts, the 128 kbps one keeps encoding for
    // a while (nobody is sent its frames) and then goes.
    fixture.tiers.set({QualityTier::minimum});
    fixture.producer.writeSlots(4, 480);
    ASSERT_TRUE(fixture.sink->waitFor(4));
    ASSERT_TRUE(fixture.log.waitFor("tier 64 kbps encoder + (primed with 2 chunks)"));
    EXPECT_EQ(fixture.pipeline->stats().encoderCount, 2);
    for (const auto& delivery : fixture.sink->deliveries()) {
        ASSERT_EQ(delivery.frames.size(), 1u);
    }
    EXPECT_EQ(fixture.sink->deliveries().back().frames[0].first, QualityTier::minimum);
    fixture.producer.writeSlots(2 * CapturePipeline::lingerChunks, 480);
    ASSERT_TRUE(fixture.log.waitFor("tier 128 kbps encoder -"));
    EXPECT_TRUE(eventually([&] { return fixture.pipeline->stats().encoderCount == 1; }));

    // The last guest leaves: chunks still reach the sink, without frames.
    fixture.tiers.set({});
    fixture.producer.writeSlots(2, 480);
    fixture.producer.join();
    const std::size_t total = 4 + CapturePipeline::lingerChunks + 1;
    ASSERT_TRUE(fixture.sink->waitFor(total));
    EXPECT_TRUE(fixture.sink->deliveries().back().frames.empty());
    EXPECT_EQ(encoders.createdCount(), 3) << "the trial encoder and one per tier";
    EXPECT_EQ(fixture.log.count("tier 128 kbps encoder +"), 1u);
}

// A new stream's encoder first hears the chunks just before the one it sends, in order.
TEST(CapturePipelineEncoders, AFreshTierEncoderIsPrimedWithTheAudioJustBefore) {
    ScriptedEncoders encoders;  // outlives the pipeline's sender thread
    PipelineFixture fixture;
    fixture.pipeline->setEncoderFactory(encoders.factory());
    ASSERT_TRUE(fixture.pipeline->start());
    fixture.producer.writeSlots(16, 480);
    ASSERT_TRUE(fixture.sink->waitFor(8));
    fixture.tiers.set({QualityTier::full});
    fixture.producer.writeSlots(2, 480);
    ASSERT_TRUE(fixture.sink->waitFor(9));

    const auto deliveries = fixture.sink->deliveries();
    std::vector<float> expected;
    for (std::size_t i = 9 - 1 - CapturePipeline::primingChunks; i < 9; ++i) {
        expected.push_back(deliveries[i].pcm[0]);
    }
    EXPECT_EQ(encoders.givenAt(256000), expected);
    ASSERT_EQ(deliveries.back().frames.size(), 1u);
    EXPECT_EQ(deliveries.back().frames[0].second.header.seq, 8u);
}

TEST(CapturePipelineEncoders, ARefusedEncoderIsSaidOnceAndTriedAgainWhileTheTierIsWanted) {
    ScriptedEncoders encoders;  // outlives the pipeline's sender thread
    PipelineFixture fixture;
    fixture.pipeline->setEncoderFactory(encoders.factory());
    ASSERT_TRUE(fixture.pipeline->start());
    {
        std::lock_guard lock(encoders.mutex);
        encoders.refuseCreation = true;
    }
    fixture.tiers.set({QualityTier::minimum});
    fixture.producer.writeSlots(6, 480);
    ASSERT_TRUE(fixture.sink->waitFor(3));
    const std::string line = "could not create an encoder for tier 64 kbps: " +
                             OpusCodec::Failure::createFailed(-7).description();
    ASSERT_TRUE(fixture.log.waitFor(line));
    EXPECT_GE(encoders.createdCount(), 4) << "the trial encoder, then once per chunk";
    EXPECT_EQ(fixture.log.count(line), 1u);
    // Without an encoder nobody gets a frame, and the chunk still reaches the sink.
    EXPECT_TRUE(fixture.sink->deliveries()[0].frames.empty());

    {
        std::lock_guard lock(encoders.mutex);
        encoders.refuseCreation = false;
    }
    fixture.producer.writeSlots(2, 480);
    ASSERT_TRUE(fixture.log.waitFor("tier 64 kbps encoder + (primed with 3 chunks)"));
}

// ---------------------------------------------------------------- keeping the budget

// Which tiers each of the last deliveries carried a frame for.
std::vector<QualityTier> tiersOf(const RecordingSink::Delivery& delivery) {
    std::vector<QualityTier> tiers;
    for (const auto& [tier, audio] : delivery.frames) {
        tiers.push_back(tier);
    }
    return tiers;
}

// A stream whose encodes take twice the budget makes every chunk late; the sender merges
// it into the next stream wanted, whose guests hear no gap, and says so once.
TEST(CapturePipelineBudget, AStreamTooSlowToKeepUpIsMergedIntoTheNextAndComesBackAfterCalm) {
    ScriptedEncoders encoders;  // outlives the pipeline's sender thread
    PipelineFixture fixture;
    fixture.pipeline->setEncoderFactory(encoders.factory());
    fixture.tiers.set({QualityTier::full, QualityTier::medium});
    ASSERT_TRUE(fixture.pipeline->start());
    encoders.setSlowness(256000, 2 * std::chrono::duration_cast<std::chrono::milliseconds>(
                                         SenderBudget::budget));
    fixture.producer.writeSlots(2 * 12, 480);
    ASSERT_TRUE(fixture.sink->waitFor(12, 10s));
    const std::string merged =
        "the 256 kbps stream's guests get 128 kbps until it has time again";
    ASSERT_TRUE(eventually([&] {
        const auto lines = fixture.log.lines();
        return std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
                   return line.starts_with("sender over budget: a chunk took ") &&
                          line.ends_with(merged);
               }) == 1;
    })) << testing::PrintToString(fixture.log.lines());
    ASSERT_TRUE(fixture.log.waitFor("tier 256 kbps encoder -"));

    const auto deliveries = fixture.sink->deliveries();
    EXPECT_EQ(tiersOf(deliveries.front()),
              (std::vector<QualityTier>{QualityTier::full, QualityTier::medium}));
    EXPECT_EQ(tiersOf(deliveries.back()), std::vector<QualityTier>{QualityTier::medium});
    for (std::size_t i = 1; i < deliveries.size(); ++i) {
        ASSERT_FALSE(deliveries[i].frames.empty());
        EXPECT_EQ(deliveries[i].frames[0].second.header.seq,
                  deliveries[i - 1].frames[0].second.header.seq + 1)
            << "the merged stream's guests miss no chunk";
    }
    const auto stats = fixture.pipeline->stats();
    EXPECT_EQ(stats.workSheds, 1);
    EXPECT_TRUE(stats.shedding);

    // The machine has time again: after the calm the best stream is back.
    encoders.setSlowness(256000, 0ms);
    fixture.producer.writeSlots(2 * (SenderBudget::firstCalmChunks + 4), 480);
    ASSERT_TRUE(fixture.log.waitFor("sender within budget for 30 s: every tier stream is back"));
    fixture.producer.join();
    ASSERT_TRUE(fixture.sink->waitFor(12 + SenderBudget::firstCalmChunks + 4, 20s));
    EXPECT_EQ(tiersOf(fixture.sink->deliveries().back()),
              (std::vector<QualityTier>{QualityTier::full, QualityTier::medium}));
    EXPECT_FALSE(fixture.pipeline->stats().shedding);
}

// Work nobody hears goes first: the encoder kept warm for a stream its guests just left.
TEST(CapturePipelineBudget, AnEncoderKeptWarmForNobodyIsLetGoBeforeAnyStream) {
    ScriptedEncoders encoders;  // outlives the pipeline's sender thread
    PipelineFixture fixture;
    fixture.pipeline->setEncoderFactory(encoders.factory());
    fixture.tiers.set({QualityTier::full});
    ASSERT_TRUE(fixture.pipeline->start());
    fixture.producer.writeSlots(4, 480);
    ASSERT_TRUE(fixture.sink->waitFor(2));

    encoders.setSlowness(256000, 2 * std::chrono::duration_cast<std::chrono::milliseconds>(
                                         SenderBudget::budget));
    fixture.tiers.set({QualityTier::high, QualityTier::low});
    fixture.producer.writeSlots(2 * 12, 480);
    ASSERT_TRUE(fixture.log.waitFor("tier 256 kbps encoder -"));
    fixture.producer.join();
    ASSERT_TRUE(fixture.sink->waitFor(14, 10s));
    const auto lines = fixture.log.lines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
        return line.ends_with("the encoders kept warm for streams nobody is on are let go");
    })) << testing::PrintToString(lines);
    EXPECT_FALSE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
        return line.ends_with("until it has time again");
    })) << "no stream the guests hear was merged";
    EXPECT_EQ(tiersOf(fixture.sink->deliveries().back()),
              (std::vector<QualityTier>{QualityTier::high, QualityTier::low}));
    EXPECT_EQ(fixture.pipeline->stats().encoderCount, 2);
}

struct SlotSizeCase {
    std::vector<std::uint32_t> slots;
    std::string printed;
};

class CapturePipelineSlotSizes : public testing::TestWithParam<SlotSizeCase> {};

TEST_P(CapturePipelineSlotSizes, ASettledChangeIsWrittenToTheHostLog) {
    const SlotSizeCase& slotCase = GetParam();
    const bool writesFile = HostLog::writesFile();
    HostLog::setWritesFile(false);
    PipelineFixture fixture;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(fixture.pipeline->start());
    fixture.producer.write(slotCase.slots);
    fixture.producer.join();
    const bool drained = eventually([&] {
        return sr_ring_depth(fixture.ring->pointer()) == 0 &&
               fixture.pipeline->stats().chunksProduced == 2;
    });
    fixture.pipeline->stop();
    const std::string printed = testing::internal::GetCapturedStdout();
    HostLog::setWritesFile(writesFile);
    ASSERT_TRUE(drained);
    EXPECT_EQ(printed, slotCase.printed);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, CapturePipelineSlotSizes,
    testing::Values(SlotSizeCase{{512, 512, 480, 480, 480}, "capture buffer: 512 -> 480 frames\n"},
                    // The first slot only sets the size.
                    SlotSizeCase{{480, 480, 480, 480}, ""},
                    // Short reads between regular ones are no change of buffer size.
                    SlotSizeCase{{480, 48, 432, 480, 42, 438}, ""}));

// ---------------------------------------------------------------- the hot path

// Counts the allocations one chunk costs once the buffers have been made.
class NullSink : public CapturePipeline::Sink {
  public:
    void pipelineDidProduce(const TierFrames&, const ChunkAssembler::Chunk&, std::span<const float>,
                            std::uint64_t, std::uint64_t) override {
        ++calls;
    }
    int calls = 0;
};

std::uint64_t allocationsPerChunk(TierSet tiers) {
    auto ring = *CaptureRing::createStandard();
    const auto pipeline = CapturePipeline::create(ring, floatFormat(48000, 2), 960);
    const auto sink = std::make_shared<NullSink>();
    pipeline->setSink(sink);
    pipeline->setTiersWanted([tiers] { return tiers; });
    pipeline->setDiagnosticLog([](std::string_view) {});
    std::vector<float> left(960, 0.25f);
    std::vector<float> right(960, -0.25f);
    const std::vector<std::span<const float>> planes{left, right};
    auto emitOne = [&](std::uint64_t chunk) {
        pipeline->assembler().push(startNanos + chunk * 20'000'000, 960, planes);
        pipeline->emitReadyChunks();
    };
    for (std::uint64_t chunk = 0; chunk < 4; ++chunk) {
        emitOne(chunk);  // makes the encoders and the reusable buffers
    }
    const AllocCounter counter;
    constexpr std::uint64_t chunks = 20;
    for (std::uint64_t chunk = 4; chunk < 4 + chunks; ++chunk) {
        emitOne(chunk);
    }
    EXPECT_EQ(sink->calls, 24);
    return counter.allocations() / chunks;
}

TEST(CapturePipelineHotPath, AChunkAllocatesOnlyTheFramesItHandsOn) {
    EXPECT_EQ(allocationsPerChunk({}), 0u);
    // Per tier: the wire frame and its shared block; the encoders write in place.
    EXPECT_LE(allocationsPerChunk({QualityTier::full, QualityTier::medium, QualityTier::minimum}),
              2u * 3);
}

// ---------------------------------------------------------------- black box

class TemporaryFolder {
  public:
    TemporaryFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "zoranth-box-XXXXXX");
        path_ = mkdtemp(pattern.data());
    }
    ~TemporaryFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& path() const { return path_; }
    std::vector<std::string> names() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(path_)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

  private:
    std::filesystem::path path_;
};

std::vector<std::uint8_t> fileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(CapturePipelineBlackBox, AnEmptyBoxWritesNothing) {
    TemporaryFolder folder;
    auto ring = *CaptureRing::createStandard();
    const auto pipeline = CapturePipeline::create(ring, floatFormat(48000, 2), 960);
    EXPECT_FALSE(pipeline->dumpBlackBox("stall", folder.path()));
    EXPECT_TRUE(folder.names().empty());
}

TEST(CapturePipelineBlackBox, ADumpHoldsWhatTheGuestsHeardAndKeepsTheFiveNewest) {
    TemporaryFolder folder;
    for (const char* old : {"capture-20240101-000001-a.wav", "capture-20240101-000002-a.wav",
                            "capture-20240101-000003-a.wav", "capture-20240101-000004-a.wav",
                            "capture-20240101-000005-a.wav", "capture-20240101-000006-a.wav",
                            "capture-20240101-000007-a.wav", "notes.txt", "capture-x.txt"}) {
        std::ofstream(folder.path() / old) << "x";
    }
    PipelineFixture fixture;
    ASSERT_TRUE(fixture.pipeline->start());
    fixture.producer.writeSlots(4, 480);
    ASSERT_TRUE(fixture.sink->waitFor(2));
    fixture.pipeline->stop();

    const std::time_t now = std::time(nullptr);
    const auto written = fixture.pipeline->dumpBlackBox("silence", folder.path());
    ASSERT_TRUE(written);
    // The name carries the local time of the dump (allowing for a second's tick).
    EXPECT_TRUE(written->filename() == BlackBoxDump::fileName("silence", now) ||
                written->filename() == BlackBoxDump::fileName("silence", now + 1))
        << *written;
    EXPECT_EQ(folder.names(), (std::vector<std::string>{
                                  "capture-20240101-000004-a.wav", "capture-20240101-000005-a.wav",
                                  "capture-20240101-000006-a.wav", "capture-20240101-000007-a.wav",
                                  written->filename().string(), "capture-x.txt", "notes.txt"}));

    const auto bytes = fileBytes(*written);
    ASSERT_EQ(bytes.size(), 44u + 1920 * 2 * 2);
    const auto sample = [&](std::size_t index) {
        return static_cast<std::int16_t>(bytes[44 + 2 * index] | bytes[45 + 2 * index] << 8);
    };
    const auto pcm = fixture.sink->deliveries()[0].pcm;
    for (const std::size_t index : {0u, 1u, 101u, 957u}) {
        EXPECT_EQ(sample(index), PCMBlackBox::wavSample(pcm[index])) << index;
    }
}

TEST(CapturePipelineBlackBox, AReasonCannotLeaveTheFolder) {
    EXPECT_EQ(BlackBoxDump::fileName("../../etc/x", 0).find('/'), std::string::npos);
}

}  // namespace
}  // namespace zoranth
