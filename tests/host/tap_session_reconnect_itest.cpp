// A tap session whose sound server goes away: a server of the test's own is stopped while
// the tap mute is on and started again. PulseAudio always; PipeWire where it is installed.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/capture/tap_session.h"
#include "host/wall_clock.h"
#include "support/capture_recorder.h"
#include "support/own_sound_server.h"
#include "support/pulse_test_server.h"

namespace zoranth {
namespace {

using Clock = std::chrono::steady_clock;

// Drains the ring on a thread of its own every 5 ms, as the pipeline does, and hands every
// slot, interleaved again, to a recorder.
class RingDrain {
  public:
    RingDrain(std::shared_ptr<CaptureRing> ring, Recorder& recorder)
        : ring_(std::move(ring)), recorder_(recorder), thread_([this] { run(); }) {}
    ~RingDrain() {
        stopping_ = true;
        thread_.join();
    }
    RingDrain(const RingDrain&) = delete;
    RingDrain& operator=(const RingDrain&) = delete;

  private:
    void run() {
        std::vector<float> interleaved(std::size_t{4096} * 2);
        while (!stopping_) {
            while (const sr_slot* slot = sr_ring_begin_read(ring_->pointer())) {
                const std::uint32_t channels = std::min<std::uint32_t>(slot->channels, 2);
                for (std::uint32_t c = 0; c < channels; ++c) {
                    const float* plane = sr_slot_plane_const(ring_->pointer(), slot, c);
                    for (std::uint32_t j = 0; j < slot->frames; ++j) {
                        interleaved[std::size_t{j} * channels + c] = plane[j];
                    }
                }
                Recorder::deliver(&recorder_,
                                  CaptureDelivery{interleaved.data(), slot->frames, channels,
                                                  slot->frames * channels * 4, slot->host_time_ns});
                sr_ring_commit_read(ring_->pointer());
            }
            std::this_thread::sleep_for(5ms);
        }
    }

    std::shared_ptr<CaptureRing> ring_;
    Recorder& recorder_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!condition()) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

std::size_t muteSinksLoaded() {
    const auto names = pulseSinkNames();
    return static_cast<std::size_t>(std::count_if(
        names.begin(), names.end(),
        [](const std::string& name) { return name.starts_with("zoranth_tap_mute_"); }));
}

// What the server and the session hold, for a failure to tell why the tone is missing.
std::string soundServerView(const TapSession::Connection& connection) {
    std::string view =
        "session: " + std::string(connection.lost ? "lost" : "connected") + ", attempts " +
        std::to_string(connection.attempts) +
        (connection.lastAttemptError.empty() ? std::string()
                                             : ", last: " + connection.lastAttemptError) +
        "\n";
    for (const char* command :
         {"pactl get-default-sink", "pactl list short sinks", "pactl list short sink-inputs",
          "pactl list short source-outputs"}) {
        view += std::string(command) + ":\n" + pulseShell(command).value_or("(failed)\n");
    }
    return view;
}

class TapSessionReconnectTest : public testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        ZORANTH_SKIP_WITHOUT_PULSE();
        if (!OwnSoundServer::installed(GetParam())) {
            GTEST_SKIP() << GetParam() << " is not installed (scripts/setup installs it)";
        }
        server = std::make_unique<OwnSoundServer>(GetParam());
        ASSERT_TRUE(server->ready()) << "the test's own " << GetParam() << " did not start";
        ring = *CaptureRing::createStandard();
        session = TapSession::create();
    }

    void TearDown() override {
        if (session) {
            session->stop();
        }
    }

    std::unique_ptr<OwnSoundServer> server;
    std::shared_ptr<CaptureRing> ring;
    std::shared_ptr<TapSession> session;
    Recorder recorder{30};
};

// The server goes away for 3 s while the tap mute is on: the session says it is lost (with
// the server's reason) and back (with how long it was gone), once each; the ring keeps
// getting slots whose times never step back; the tone comes back into the ring within 5 s
// of the server's return, and the speakers stay silent because the mute is applied again.
TEST_P(TapSessionReconnectTest, ComesBackMutedWithTheToneAfterTheServerRestarts) {
    auto tone = std::make_unique<PulseTonePlayer>(pulseTestSink);
    ASSERT_TRUE(tone->waitUntilPlaying());
    ASSERT_TRUE(session->start(ring));
    ASSERT_TRUE(session->setTapMuted(true));
    RingDrain drain(ring, recorder);
    ASSERT_TRUE(recorder.waitForTone(0, 5s));
    TapSession::OutageWatch watch;
    EXPECT_TRUE(watch.update(session->connection(), WallClock::now()).empty());

    const double stopping = WallClock::now();
    ASSERT_TRUE(server->stop());
    const double stopped = WallClock::now();
    tone.reset();
    ASSERT_TRUE(eventually([&] { return session->connection().lost; }, 2s));
    const auto lost = session->connection();
    EXPECT_EQ(lost.losses, 1u);
    EXPECT_EQ(lost.error, "Connection terminated");
    EXPECT_FALSE(lost.backAfter);
    EXPECT_GE(lost.lostSince, stopping - 0.01);
    EXPECT_LE(lost.lostSince, stopped);
    EXPECT_EQ(watch.update(lost, WallClock::now()),
              (std::vector{TapSession::OutageWatch::Notice{
                  TapSession::OutageWatch::Notice::Kind::lost, 0, "Connection terminated"}}));
    EXPECT_FALSE(session->refresh());
    EXPECT_FALSE(session->liveFormat());
    EXPECT_TRUE(session->isTapMuted());
    const std::size_t whileLost = recorder.size();
    std::this_thread::sleep_for(1s);
    EXPECT_GE(recorder.size() - whileLost, 80u) << "the ring stopped getting slots";

    std::this_thread::sleep_for(2s);
    const std::size_t beforeReturn = recorder.size();
    ASSERT_TRUE(server->start());
    const auto returned = Clock::now();
    PulseTonePlayer again(pulseTestSink);
    ASSERT_TRUE(again.waitUntilPlaying());
    const auto back = recorder.waitForTone(beforeReturn, 5s);
    ASSERT_TRUE(back) << "no tone in the ring within 5 s of the server's return\n"
                      << soundServerView(session->connection());
    const double toneAfter = static_cast<double>(recorder.entries[*back].arrival) * 1e-9 -
                             std::chrono::duration<double>(returned.time_since_epoch()).count();
    std::printf("[ figure   ] %s: tone back in the ring after the server's return: %.2f s\n",
                GetParam().c_str(), toneAfter);
    RecordProperty("tone back in the ring after the server's return", std::to_string(toneAfter));

    ASSERT_TRUE(eventually([&] { return !session->connection().lost; }, 2s));
    const auto restored = session->connection();
    EXPECT_EQ(restored.losses, 1u);
    ASSERT_TRUE(restored.backAfter);
    EXPECT_GT(*restored.backAfter, 2.5);
    EXPECT_LT(*restored.backAfter, 8.0);
    const auto notices = watch.update(restored, WallClock::now());
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].kind, TapSession::OutageWatch::Notice::Kind::back);
    EXPECT_DOUBLE_EQ(notices[0].seconds, *restored.backAfter);
    EXPECT_TRUE(watch.update(session->connection(), WallClock::now()).empty());

    // The mute came back with the capture: the new tone plays into a fresh mute sink.
    EXPECT_TRUE(session->isTapMuted());
    EXPECT_EQ(muteSinksLoaded(), 1u);
    EXPECT_TRUE(
        eventually([&] { return again.currentSink() != pulseSinkIndex(pulseTestSink); }, 2s));
    EXPECT_LT(rootMeanSquare(pulseRecord(pulseTestMonitor, 2, 500ms)), 1e-4);
    EXPECT_EQ(session->liveFormat(), session->format());

    session->stop();
    EXPECT_EQ(muteSinksLoaded(), 0u);
    recorder.expectNeverBack(1, recorder.size());
}

INSTANTIATE_TEST_SUITE_P(SoundServers, TapSessionReconnectTest,
                         testing::Values("pulseaudio", "pipewire"),
                         [](const testing::TestParamInfo<std::string>& info) {
                             return info.param == "pipewire" ? "PipeWire" : "PulseAudio";
                         });

}  // namespace
}  // namespace zoranth
