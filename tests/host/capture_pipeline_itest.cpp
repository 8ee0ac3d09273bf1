// The capture pipeline behind a real tap session on the test sound server: a tone played
// into the default sink reaches a guest's Opus stream and the black box.
#include "host/capture/capture_pipeline.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <numbers>
#include <thread>

#include <unistd.h>

#include "host/capture/tap_session.h"
#include "kit/opus_decoder.h"
#include "protocol/frame_decoder.h"
#include "protocol/frame_encoder.h"
#include "support/pulse_test_server.h"

namespace zoranth {
namespace {

using namespace std::chrono_literals;

// Decodes the 128 kbps stream as a phone would and keeps the headers.
class GuestListener : public CapturePipeline::Sink {
  public:
    GuestListener() {
        decoder_.append(FrameEncoder::encode(Hello{48000, 2, 16, 960, 1500}));
        (void)decoder_.next();
    }

    void pipelineDidProduce(const TierFrames& frames, const ChunkAssembler::Chunk&,
                            std::span<const float>, std::uint64_t hostTimeNanos,
                            std::uint64_t deadlineNanos) override {
        std::lock_guard lock(mutex_);
        if (const auto& frame = frames[QualityTier::medium]) {
            decoder_.append(*frame);
            const auto message = decoder_.next();
            const auto* audio = message && *message ? (*message)->as<Message::Audio>() : nullptr;
            if (audio == nullptr) {
                ++malformed;
                return;
            }
            headers.push_back(audio->header);
            deadlines.push_back(deadlineNanos - hostTimeNanos);
            if (const auto pcm = (*opus_)->decode(audio->packet)) {
                decoded.insert(decoded.end(), pcm->begin(), pcm->end());
            }
        }
    }

    std::size_t chunks() const {
        std::lock_guard lock(mutex_);
        return headers.size();
    }

    mutable std::mutex mutex_;
    std::vector<AudioChunkHeader> headers;
    std::vector<std::uint64_t> deadlines;
    std::vector<float> decoded;
    int malformed = 0;

  private:
    FrameDecoder decoder_{0};
    std::expected<std::shared_ptr<OpusDecoder>, OpusCodec::Failure> opus_ = OpusDecoder::create(2);
};

TEST(CapturePipelineWithCapture, AToneReachesAGuestAndTheBlackBox) {
    ZORANTH_SKIP_WITHOUT_PULSE();
    PulseTonePlayer tone(pulseTestSink, 440, 30);
    ASSERT_TRUE(tone.waitUntilPlaying());

    auto ring = *CaptureRing::createStandard();
    auto session = TapSession::create();
    const auto format = session->start(ring);
    ASSERT_TRUE(format) << TapSession::describe(format.error());
    const auto pipeline = CapturePipeline::create(ring, *format, 960);
    const auto listener = std::make_shared<GuestListener>();
    pipeline->setSink(listener);
    pipeline->setTiersWanted([] { return TierSet{QualityTier::medium}; });
    pipeline->setOutputRunning([weak = std::weak_ptr(session)] {
        const auto session = weak.lock();
        const auto device = session ? session->outputDevice() : std::nullopt;
        return device && device->running;
    });
    ASSERT_TRUE(pipeline->start());

    // The sink may still be catching up on the blocks it rendered ahead: wait for the tone,
    // then listen for two more seconds.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (pipeline->stats().diagnosis != SilenceWatchdog::Diagnosis::receivingAudio() &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_EQ(pipeline->stats().diagnosis, SilenceWatchdog::Diagnosis::receivingAudio());
    const std::size_t heard = listener->chunks();
    while (listener->chunks() < heard + 100 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
    }
    pipeline->stop();
    session->stop();

    std::lock_guard lock(listener->mutex_);
    ASSERT_GE(listener->headers.size(), heard + 100);
    EXPECT_EQ(listener->malformed, 0);
    for (std::size_t i = 0; i < listener->headers.size(); ++i) {
        EXPECT_EQ(listener->headers[i].seq, i);
        EXPECT_EQ(listener->headers[i].frameCount, 960u);
        EXPECT_EQ(listener->deadlines[i], 1'520'000'000u);
    }
    const auto stats = pipeline->stats();
    // A break in the capture's time stamps (a stalled sound server on a loaded machine) makes
    // the assembler close the chunk early with silence; around such gaps the tone still
    // dominates, without them it is all there is.
    const double toneFloor = stats.discontinuities == 0 ? 0.95 : 0.5;
    const std::vector<float> lastSecond(listener->decoded.end() - 48000 * 2,
                                        listener->decoded.end());
    EXPECT_GT(toneShare(lastSecond, 2, 0, 48000, 440), toneFloor) << stats.discontinuities;
    if (stats.discontinuities == 0) {
        EXPECT_NEAR(rootMeanSquare(lastSecond), 0.5 / std::numbers::sqrt2, 0.05);
    }

    EXPECT_EQ(stats.ringOverruns, 0u);
    EXPECT_EQ(stats.encoderCount, 1);
    EXPECT_EQ(stats.chunksProduced, static_cast<std::int64_t>(listener->headers.size()));

    // What the guests heard can be saved for later.
    const auto folder = std::filesystem::temp_directory_path() /
                        ("zoranth-pipeline-itest-" + std::to_string(getpid()));
    const auto dump = pipeline->dumpBlackBox("itest", folder);
    ASSERT_TRUE(dump);
    std::ifstream in(*dump, std::ios::binary);
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in),
                                  std::istreambuf_iterator<char>()};
    std::filesystem::remove_all(folder);
    ASSERT_EQ(bytes.size(), 44 + static_cast<std::size_t>(stats.framesProduced) * 2 * 2);
    std::vector<float> boxed;
    for (std::size_t at = bytes.size() - 48000 * 4; at < bytes.size(); at += 2) {
        const auto low = static_cast<std::uint8_t>(bytes[at]);
        const auto high = static_cast<std::uint8_t>(bytes[at + 1]);
        boxed.push_back(static_cast<std::int16_t>(low | high << 8) / 32767.0f);
    }
    EXPECT_GT(toneShare(boxed, 2, 1, 48000, 440), toneFloor);
}

}  // namespace
}  // namespace zoranth
