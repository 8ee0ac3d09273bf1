// The capture against a sound server of the test's own that goes away: stopped and started
// again, or its default sink unplugged. PulseAudio always; PipeWire where it is installed.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "platform/pulse/pulse_capture.h"
#include "support/capture_recorder.h"
#include "support/own_sound_server.h"
#include "support/pulse_test_server.h"

namespace zoranth {
namespace {

using Clock = std::chrono::steady_clock;

// The steady clock is CLOCK_MONOTONIC, the deliveries' and the capture's own clock.
std::int64_t nanosOf(Clock::time_point time) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count();
}

double secondsBetween(std::int64_t fromNanos, std::int64_t toNanos) {
    return static_cast<double>(toNanos - fromNanos) * 1e-9;
}

// Figures for the record: shown with the test's output and kept in its XML report.
void figure(const std::string& name, double seconds) {
    std::printf("[ figure   ] %s: %.2f s\n", name.c_str(), seconds);
    testing::Test::RecordProperty(name, std::to_string(seconds));
}

class PulseReconnectTest : public testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        ZORANTH_SKIP_WITHOUT_PULSE();
        if (!OwnSoundServer::installed(GetParam())) {
            GTEST_SKIP() << GetParam() << " is not installed (scripts/setup installs it)";
        }
        server = std::make_unique<OwnSoundServer>(GetParam());
        ASSERT_TRUE(server->ready()) << "the test's own " << GetParam() << " did not start";
    }

    void TearDown() override {
        if (capture) {
            capture->close();
        }
    }

    void open() {
        PulseCapture::Config config;
        config.deliver = &Recorder::deliver;
        config.deliverContext = &recorder;
        config.onChange = [this](PulseCapture::Change change) { changes.note(change); };
        capture = std::make_unique<PulseCapture>(std::move(config));
        ASSERT_TRUE(capture->connect());
        auto sink = capture->defaultSink();
        ASSERT_TRUE(sink);
        ASSERT_TRUE(capture->openStream(*sink));
        ASSERT_TRUE(capture->watchChanges());
    }

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

    // From `start` to when delivery `index` reached the test.
    double secondsAfter(Clock::time_point start, std::size_t index) const {
        return secondsBetween(nanosOf(start),
                              static_cast<std::int64_t>(recorder.entries[index].arrival));
    }

    // The server stops mid-capture and comes back after `away`: the capture says it is lost,
    // keeps the timeline going in silence at the fragment cadence, and once the server is back
    // captures the tone again, with the timeline never stepping back; lost and back once each.
    void serverGoesAwayAndComesBack(std::chrono::seconds away, const std::string& name) {
        open();
        auto tone = std::make_unique<PulseTonePlayer>(pulseTestSink);
        ASSERT_TRUE(tone->waitUntilPlaying());
        ASSERT_TRUE(recorder.waitForTone(0, 5s));

        const auto stopped = Clock::now();
        ASSERT_TRUE(server->stop());
        tone.reset();
        ASSERT_TRUE(eventually([&] { return changes.connectionLost > 0; }, 2s));
        const auto lost = capture->connection();
        figure(name + ": loss noticed after the stop began",
               secondsBetween(nanosOf(stopped), static_cast<std::int64_t>(lost.lostSinceNanos)));
        EXPECT_TRUE(lost.lost);
        EXPECT_EQ(lost.losses, 1u);
        EXPECT_EQ(lost.cause.text(), "Connection terminated");
        EXPECT_FALSE(capture->streamInfo());
        EXPECT_FALSE(capture->outputDevice()->running);

        // While it is gone the timeline goes on: a fragment of silence every 10 ms.
        std::this_thread::sleep_for(200ms);
        const std::size_t from = recorder.size();
        std::this_thread::sleep_for(1000ms);
        const std::size_t to = recorder.size();
        EXPECT_GE(to - from, 80u);
        EXPECT_LE(to - from, 120u);
        for (std::size_t i = from; i < to; ++i) {
            ASSERT_TRUE(recorder.entries[i].silent) << "delivery " << i;
        }

        std::this_thread::sleep_for(away - (Clock::now() - stopped));
        const std::size_t beforeReturn = recorder.size();
        ASSERT_TRUE(server->start());
        const auto returned = Clock::now();
        PulseTonePlayer again(pulseTestSink);
        ASSERT_TRUE(again.waitUntilPlaying());
        const auto back = recorder.waitForTone(beforeReturn, 5s);
        ASSERT_TRUE(back) << "no tone within 5 s of the server's return";
        const double toneAfter = secondsAfter(returned, *back);
        figure(name + ": tone back after the server's return", toneAfter);
        EXPECT_LT(toneAfter, 5.0);

        ASSERT_TRUE(eventually([&] { return changes.connectionRestored > 0; }, 1s));
        const auto restored = capture->connection();
        EXPECT_FALSE(restored.lost);
        EXPECT_EQ(restored.losses, 1u);
        EXPECT_GE(restored.attempts, 2u);
        const double gone = static_cast<double>(restored.lostForNanos) * 1e-9;
        figure(name + ": capture lost for", gone);
        figure(name + ": capture back after the server's return",
               secondsBetween(nanosOf(returned), static_cast<std::int64_t>(restored.lostSinceNanos +
                                                                           restored.lostForNanos)));
        EXPECT_GE(gone, static_cast<double>(away.count()) - 0.5);
        EXPECT_LT(gone, static_cast<double>(away.count()) + 5.0);
        ASSERT_TRUE(capture->streamInfo());
        EXPECT_EQ(capture->streamInfo()->sourceName, pulseTestMonitor);

        capture->close();
        const std::size_t n = recorder.size();
        recorder.expectNeverBack(1, n);
        recorder.expectContinuous(1, n);
        EXPECT_EQ(changes.connectionLost.load(), 1);
        EXPECT_EQ(changes.connectionRestored.load(), 1);
        EXPECT_EQ(changes.lost.load(), 0);
    }

    std::unique_ptr<OwnSoundServer> server;
    Recorder recorder{40};
    Changes changes;
    std::unique_ptr<PulseCapture> capture;
};

TEST_P(PulseReconnectTest, ComesBackWithTheToneWhenTheServerReturnsAfterThreeSeconds) {
    serverGoesAwayAndComesBack(3s, GetParam() + " away 3 s");
}

TEST_P(PulseReconnectTest, ComesBackWithTheToneWhenTheServerReturnsAfterTwentySeconds) {
    serverGoesAwayAndComesBack(20s, GetParam() + " away 20 s");
}

std::optional<unsigned> loadNullSink(const std::string& name) {
    const auto index = pulseShell("pactl load-module module-null-sink sink_name=" + name +
                                  " channels=2 rate=48000");
    return index ? std::optional(static_cast<unsigned>(std::stoul(*index))) : std::nullopt;
}

// A second output made the default and then unplugged while the music plays: the server
// moves the music to what is left and the capture to its default source, which on a desktop
// is a microphone; the capture follows the default sink to its monitor and the music is
// captured again, all without a restart.
TEST_P(PulseReconnectTest, FollowsTheDefaultWhenTheDefaultOutputIsUnplugged) {
    const auto usb = loadNullSink("zoranth_usb");
    const auto microphone = loadNullSink("zoranth_microphone");
    ASSERT_TRUE(usb && microphone);
    ASSERT_TRUE(pulseShell("pactl set-default-sink zoranth_usb"));
    ASSERT_TRUE(pulseShell("pactl set-default-source zoranth_microphone.monitor"));
    open();
    ASSERT_EQ(capture->streamInfo()->sourceName, "zoranth_usb.monitor");
    PulseTonePlayer music("zoranth_usb", 660);
    ASSERT_TRUE(music.waitUntilPlaying());
    ASSERT_TRUE(recorder.waitForTone(0, 5s, 660));

    const std::size_t beforeUnplug = recorder.size();
    const auto unplugged = Clock::now();
    ASSERT_TRUE(pulseShell("pactl unload-module " + std::to_string(*usb)));
    const auto back = recorder.waitForTone(beforeUnplug, 5s, 660);
    ASSERT_TRUE(back) << "the capture did not follow the default sink";
    figure(GetParam() + ": music back after the unplug", secondsAfter(unplugged, *back));
    ASSERT_TRUE(eventually(
        [&] {
            const auto info = capture->streamInfo();
            return info && info->sourceName == pulseTestMonitor;
        },
        2s));
    EXPECT_EQ(capture->outputDevice()->name, pulseTestSink);
    EXPECT_EQ(changes.lost.load(), 0);
    EXPECT_EQ(music.currentSink(), pulseSinkIndex(pulseTestSink));
    capture->close();
    recorder.expectNeverBack(1, recorder.size());
}

INSTANTIATE_TEST_SUITE_P(SoundServers, PulseReconnectTest,
                         testing::Values("pulseaudio", "pipewire"),
                         [](const testing::TestParamInfo<std::string>& info) {
                             return info.param == "pipewire" ? "PipeWire" : "PulseAudio";
                         });

}  // namespace
}  // namespace zoranth
