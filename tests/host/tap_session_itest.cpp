#include "host/capture/tap_session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "support/eventually.h"
#include "support/pulse_test_server.h"

namespace zoranth {
namespace {

using namespace std::chrono_literals;

// Drains the ring like the pipeline does and keeps the planes, interleaved again.
struct RingReader {
    explicit RingReader(std::shared_ptr<CaptureRing> ring) : ring(std::move(ring)) {}

    // Reads for `duration`, keeping what arrives; returns the slots read.
    std::size_t readFor(std::chrono::milliseconds duration, unsigned channels) {
        const auto deadline = std::chrono::steady_clock::now() + duration;
        std::size_t slots = 0;
        while (std::chrono::steady_clock::now() < deadline) {
            while (const sr_slot* slot = sr_ring_begin_read(ring->pointer())) {
                lastTime = slot->host_time_ns;
                lastChannels = slot->channels;
                for (std::uint32_t j = 0; j < slot->frames; ++j) {
                    for (unsigned c = 0; c < channels; ++c) {
                        samples.push_back(sr_slot_plane_const(ring->pointer(), slot, c)[j]);
                    }
                }
                sr_ring_commit_read(ring->pointer());
                ++slots;
            }
            std::this_thread::sleep_for(5ms);
        }
        return slots;
    }

    void drain() {
        while (sr_ring_begin_read(ring->pointer()) != nullptr) {
            sr_ring_commit_read(ring->pointer());
        }
        samples.clear();
    }

    std::shared_ptr<CaptureRing> ring;
    std::vector<float> samples;
    std::uint64_t lastTime = 0;
    std::uint32_t lastChannels = 0;
};

// The server's own audio flows: the layer's silence, which covers a sink that is still
// catching up after rendering ahead, has stopped growing.
bool serverAudioFlows(const TapSession& session) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < deadline) {
        const auto before = session.captureStats();
        std::this_thread::sleep_for(100ms);
        const auto after = session.captureStats();
        if (after.silentDeliveries == before.silentDeliveries &&
            after.deliveries > before.deliveries + 5) {
            return true;
        }
    }
    return false;
}

std::size_t muteSinksLoaded() {
    const auto names = pulseSinkNames();
    return static_cast<std::size_t>(std::count_if(
        names.begin(), names.end(),
        [](const std::string& name) { return name.starts_with("zoranth_tap_mute_"); }));
}

std::size_t ourCaptureStreams() {
    const auto outputs = pulseSourceOutputs();
    return static_cast<std::size_t>(
        std::count_if(outputs.begin(), outputs.end(),
                      [](const auto& row) { return row.mediaName.starts_with("Zoranth Tap"); }));
}

class TapSessionTest : public testing::Test {
  protected:
    void SetUp() override {
        ZORANTH_SKIP_WITHOUT_PULSE();
        ring = *CaptureRing::createStandard();
        session = TapSession::create();
    }

    void startSession() {
        const auto started = session->start(ring);
        ASSERT_TRUE(started) << TapSession::describe(started.error());
        EXPECT_EQ(started->text(), "48000 Hz, 2 ch, Float32, interleaved");
    }

    std::shared_ptr<CaptureRing> ring;
    std::shared_ptr<TapSession> session;
};

TEST_F(TapSessionTest, StartFillsTheRingWithWhatTheDefaultOutputPlays) {
    startSession();
    EXPECT_TRUE(session->isRunning());
    EXPECT_EQ(session->bufferFrameSize(), 480u);
    EXPECT_EQ(session->diagnostics(), "capture running=1 alive=1 inputBuffers=1 tapStreams=1");
    EXPECT_EQ(session->liveFormat(), session->format());
    EXPECT_EQ(TapSession::describeOutputDevice(), "Zoranth_Test_Sink, 48000 Hz");
    ASSERT_TRUE(serverAudioFlows(*session));

    PulseTonePlayer tone(pulseTestSink);
    ASSERT_TRUE(tone.waitUntilPlaying());
    RingReader reader(ring);
    reader.readFor(300ms, 2);
    reader.drain();
    EXPECT_GT(reader.readFor(1000ms, 2), 50u);
    EXPECT_EQ(reader.lastChannels, 2u);
    EXPECT_GT(toneShare(reader.samples, 2, 0, 48000, 440), 0.9);
    EXPECT_GT(toneShare(reader.samples, 2, 1, 48000, 440), 0.9);
}

TEST_F(TapSessionTest, StartingARunningSessionFailsAndLeavesItCapturing) {
    startSession();
    const auto again = session->start(ring);
    ASSERT_FALSE(again);
    EXPECT_EQ(TapSession::describe(again.error()), "capture is already running");
    EXPECT_TRUE(session->isRunning());
    const auto writes = sr_ring_writes(ring->pointer());
    EXPECT_TRUE(eventually([&] { return sr_ring_writes(ring->pointer()) > writes + 5; }));
}

TEST_F(TapSessionTest, TapMuteSilencesTheSpeakersWhileTheCaptureKeepsTheTone) {
    PulseTonePlayer tone(pulseTestSink);
    ASSERT_TRUE(tone.waitUntilPlaying());
    startSession();
    const auto speakers = pulseSinkIndex(pulseTestSink);

    ASSERT_TRUE(session->setTapMuted(true));
    EXPECT_TRUE(session->isTapMuted());
    EXPECT_EQ(muteSinksLoaded(), 1u);
    EXPECT_NE(tone.currentSink(), speakers);
    {
        // A stream that starts while muted is kept off the speakers too.
        PulseTonePlayer late(pulseTestSink, 660);
        ASSERT_TRUE(late.waitUntilPlaying());
        EXPECT_TRUE(eventually([&] { return late.currentSink() == tone.currentSink(); }));
    }

    RingReader reader(ring);
    reader.readFor(300ms, 2);
    reader.drain();
    reader.readFor(1000ms, 2);
    EXPECT_GT(toneShare(reader.samples, 2, 0, 48000, 440), 0.9);
    EXPECT_LT(rootMeanSquare(pulseRecord(pulseTestMonitor, 2, 500ms)), 1e-4);

    ASSERT_TRUE(session->setTapMuted(false));
    EXPECT_FALSE(session->isTapMuted());
    EXPECT_EQ(muteSinksLoaded(), 0u);
    EXPECT_EQ(tone.currentSink(), pulseSinkIndex(pulseTestSink));
    const auto speakersAgain = pulseRecord(pulseTestMonitor, 2, 1000ms);
    EXPECT_GT(rootMeanSquare(speakersAgain), 0.1);
    EXPECT_GT(toneShare(speakersAgain, 2, 0, 48000, 440), 0.9);
    reader.drain();
    reader.readFor(1000ms, 2);
    EXPECT_GT(toneShare(reader.samples, 2, 0, 48000, 440), 0.9);
}

// The default output changes while muted (another output plugged in, or a sound server
// that names its default late): what plays there is kept off it and captured as well.
TEST_F(TapSessionTest, WhileMutedWhatPlaysOnANewDefaultOutputIsMutedAndCapturedToo) {
    PulseExtraSink other("zoranth_other_out", 2, 48000);
    ASSERT_TRUE(other.ready());
    PulseTonePlayer elsewhere("zoranth_other_out", 660);
    ASSERT_TRUE(elsewhere.waitUntilPlaying());
    PulseTonePlayer tone(pulseTestSink);
    ASSERT_TRUE(tone.waitUntilPlaying());
    startSession();
    ASSERT_TRUE(session->setTapMuted(true));
    const auto muted = tone.currentSink();
    ASSERT_NE(muted, pulseSinkIndex(pulseTestSink));
    EXPECT_EQ(elsewhere.currentSink(), pulseSinkIndex("zoranth_other_out"))
        << "a stream on another output than the default was moved";

    ASSERT_TRUE(other.makeDefault());
    EXPECT_TRUE(eventually([&] { return elsewhere.currentSink() == muted; }))
        << "the new default's stream still plays on it";
    EXPECT_EQ(tone.currentSink(), muted);
    RingReader reader(ring);
    reader.readFor(300ms, 2);
    reader.drain();
    reader.readFor(1000ms, 2);
    EXPECT_GT(toneShare(reader.samples, 2, 0, 48000, 660), 0.3);
    EXPECT_GT(toneShare(reader.samples, 2, 0, 48000, 440), 0.3);
    EXPECT_LT(rootMeanSquare(pulseRecord("zoranth_other_out.monitor", 2, 500ms)), 1e-4);

    ASSERT_TRUE(session->setTapMuted(false));
    EXPECT_EQ(muteSinksLoaded(), 0u);
    EXPECT_EQ(elsewhere.currentSink(), pulseSinkIndex("zoranth_other_out"));
}

TEST_F(TapSessionTest, StopWhileMutedLeavesNoStreamMovedAndNoSinkLoaded) {
    PulseTonePlayer tone(pulseTestSink);
    ASSERT_TRUE(tone.waitUntilPlaying());
    startSession();
    ASSERT_TRUE(session->setTapMuted(true));
    EXPECT_EQ(ourCaptureStreams(), 1u);

    session->stop();
    EXPECT_FALSE(session->isRunning());
    EXPECT_FALSE(session->isTapMuted());
    EXPECT_EQ(muteSinksLoaded(), 0u);
    EXPECT_EQ(tone.currentSink(), pulseSinkIndex(pulseTestSink));
    EXPECT_EQ(ourCaptureStreams(), 0u);
    EXPECT_FALSE(session->liveFormat());
    // The format read at start stays for the report.
    EXPECT_TRUE(session->format());
    session->stop();
    EXPECT_FALSE(session->isRunning());

    // A stopped session starts again on the same ring.
    startSession();
    EXPECT_TRUE(session->isRunning());
}

TEST_F(TapSessionTest, AStalledConsumerOverrunsTheRingWithoutHoldingUpTheCapture) {
    ring = *CaptureRing::create(4, 4096, 8);
    startSession();
    std::this_thread::sleep_for(300ms);
    const auto calls = sr_ring_calls(ring->pointer());
    const auto overruns = sr_ring_overruns(ring->pointer());
    EXPECT_EQ(sr_ring_depth(ring->pointer()), 3u);
    EXPECT_GT(overruns, 10u);
    // The callback keeps its pace while nothing is read.
    std::this_thread::sleep_for(200ms);
    EXPECT_GE(sr_ring_calls(ring->pointer()), calls + 15);
    EXPECT_GE(sr_ring_overruns(ring->pointer()), overruns + 15);

    const sr_slot* oldest = sr_ring_begin_read(ring->pointer());
    ASSERT_NE(oldest, nullptr);
    const std::uint64_t stalledAt = oldest->host_time_ns;
    RingReader reader(ring);
    reader.readFor(200ms, 2);
    EXPECT_GT(reader.lastTime, stalledAt + 400'000'000);
}

TEST_F(TapSessionTest, RefreshRenamesTheStreamAndKeepsCapturing) {
    startSession();
    ASSERT_TRUE(session->refresh());
    ASSERT_TRUE(session->refresh());
    EXPECT_EQ(session->refreshes(), 2);
    const auto outputs = pulseSourceOutputs();
    ASSERT_EQ(outputs.size(), 1u);
    EXPECT_EQ(outputs[0].mediaName, "Zoranth Tap 2");
    EXPECT_EQ(outputs[0].source, pulseTestMonitor);
    const auto writes = sr_ring_writes(ring->pointer());
    EXPECT_TRUE(eventually([&] { return sr_ring_writes(ring->pointer()) > writes + 5; }));
}

TEST_F(TapSessionTest, ANewDefaultOutputIsReportedAndFollowed) {
    PulseExtraSink other("zoranth_mono", 1, 48000);
    ASSERT_TRUE(other.ready());
    startSession();
    std::atomic<int> calls{0};
    std::atomic<int> liveChannels{0};
    // The callback may call back into the session.
    session->setOnFormatChange([&, weak = std::weak_ptr<TapSession>(session)] {
        if (auto self = weak.lock()) {
            if (const auto live = self->liveFormat()) {
                liveChannels = live->channels;
            }
        }
        ++calls;
    });
    ASSERT_TRUE(other.makeDefault());
    EXPECT_TRUE(eventually([&] { return calls > 0 && liveChannels == 1; }));

    EXPECT_EQ(session->liveFormat()->text(), "48000 Hz, 1 ch, Float32, interleaved");
    // The owner rebuilds on the same session and ring.
    session->stop();
    const auto restarted = session->start(ring);
    ASSERT_TRUE(restarted);
    EXPECT_EQ(restarted->channels, 1);
}

TEST(TapSessionWithoutServer, StartFailsWithTheSoundServersErrorAndHint) {
    ScopedEnvironment server("PULSE_SERVER", "unix:/nonexistent/zoranth/native");
    auto ring = *CaptureRing::createStandard();
    auto session = TapSession::create();
    const auto started = session->start(ring);
    ASSERT_FALSE(started);
    const auto* error = std::get_if<SoundServerError>(&started.error());
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(*error,
              (SoundServerError{SoundServerError::connectionRefused, "pa_context_connect"}));
    EXPECT_EQ(TapSession::describe(started.error()),
              "pa_context_connect failed: 6 — " + std::string(*SoundServerError::hint(6)));
    EXPECT_FALSE(session->isRunning());
    EXPECT_EQ(sr_ring_writes(ring->pointer()), 0u);
    EXPECT_EQ(TapSession::describeOutputDevice(), "device 0, 0 Hz");
}

}  // namespace
}  // namespace zoranth
