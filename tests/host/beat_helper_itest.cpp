// The beat helper against real child processes: the fake helper in
// tests/fixtures, which answers every record with fixed lines and can echo what it
// received, and the real helper script in Tools/beat-helper.
#include "host/beats/beat_helper.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/host_log.h"
#include "kit/beat_click_track.h"
#include "protocol/frame_decoder.h"

namespace {

using zoranth::Beat;
using zoranth::BeatHelper;
using zoranth::Cue;
using zoranth::Message;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr const char* python = "/usr/bin/python3";

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// What the helper's callbacks delivered.
struct Received {
    std::mutex lock;
    std::vector<Message> messages;
    std::vector<std::uint64_t> beatTimes;

    void attach(BeatHelper& helper) {
        helper.setOnFrame([this](std::vector<std::uint8_t> frame) {
            zoranth::FrameDecoder decoder(0);
            decoder.append(frame);
            auto message = decoder.next();
            std::lock_guard guard(lock);
            if (message && *message && decoder.bufferedByteCount() == 0) {
                messages.push_back(**message);
            }
        });
        helper.setOnBeat([this](std::uint64_t time) {
            std::lock_guard guard(lock);
            beatTimes.push_back(time);
        });
    }

    std::vector<Beat> beats() {
        std::lock_guard guard(lock);
        std::vector<Beat> found;
        for (const Message& message : messages) {
            if (const Beat* beat = message.as<Beat>()) {
                found.push_back(*beat);
            }
        }
        return found;
    }
    std::vector<Cue> cues() {
        std::lock_guard guard(lock);
        std::vector<Cue> found;
        for (const Message& message : messages) {
            if (const Cue* cue = message.as<Cue>()) {
                found.push_back(*cue);
            }
        }
        return found;
    }
    std::size_t beatCount() { return beats().size(); }
};

// One block of stereo audio whose channel means are easy to tell apart.
std::vector<float> stereoBlock(int index, std::size_t frames = 960) {
    std::vector<float> samples(2 * frames);
    for (std::size_t i = 0; i < frames; ++i) {
        samples[2 * i] = static_cast<float>(index) + static_cast<float>(i) / 1024.0f;
        samples[2 * i + 1] = -0.5f;
    }
    return samples;
}

std::uint64_t blockTime(int index) {
    return 1'000'000'000ull + index * 20'000'000ull;
}

class BeatHelperWithFake : public testing::Test {
  protected:
    void SetUp() override {
        if (::access(python, X_OK) != 0) {
            GTEST_SKIP() << "needs " << python;
        }
        zoranth::HostLog::setWritesFile(false);
        echo_ = fs::temp_directory_path() /
                ("zoranth-beat-echo-" + std::to_string(::getpid()) + "-" +
                 testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove(echo_);
        settings_.push_back("FAKE_BEAT_ECHO");
        ::setenv("FAKE_BEAT_ECHO", echo_.c_str(), 1);
    }
    void TearDown() override {
        for (const char* name : settings_) {
            ::unsetenv(name);
        }
        std::error_code ignored;
        fs::remove(echo_, ignored);
    }

    void set(const char* name, const char* value) {
        settings_.push_back(name);
        ::setenv(name, value, 1);
    }

    std::shared_ptr<BeatHelper> start() {
        auto helper = BeatHelper::start(
            {python, std::string(ZORANTH_SOURCE_DIR) + "/tests/fixtures/fake_beat_helper.py"});
        EXPECT_TRUE(helper.has_value());
        return helper ? *helper : nullptr;
    }

    static bool becomesReady(const BeatHelper& helper) {
        return waitUntil([&] { return helper.status().ready; });
    }

    std::string echoed() const {
        std::ifstream in(echo_, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    static std::string recordText(int index, int channels = 2) {
        const auto samples = stereoBlock(index);
        const auto record = BeatHelper::record(samples, channels, 960, blockTime(index));
        return {record.begin(), record.end()};
    }

    fs::path echo_;
    std::vector<const char*> settings_;
};

TEST_F(BeatHelperWithFake, SendsRecordsOnlyOnceReadyAndTurnsItsLinesIntoFrames) {
    set("FAKE_BEAT_READY_DELAY", "0.5");
    testing::internal::CaptureStdout();
    Received received;  // outlives the helper, whose callbacks write into it
    auto helper = start();
    ASSERT_TRUE(helper);
    received.attach(*helper);
    EXPECT_TRUE(helper->status().alive);
    EXPECT_FALSE(helper->status().ready);
    for (int i = 0; i < 5; ++i) {  // before readiness: nothing is sent
        helper->feed(stereoBlock(100 + i), 2, 960, blockTime(100 + i));
    }
    EXPECT_EQ(helper->status().pending, 0);

    ASSERT_TRUE(becomesReady(*helper));
    for (int i = 0; i < 8; ++i) {
        helper->feed(stereoBlock(i), 2, 960, blockTime(i));
    }
    ASSERT_TRUE(waitUntil([&] { return received.beatCount() == 8; }));
    ASSERT_TRUE(waitUntil([&] { return received.cues().size() == 4; }));
    const pid_t pid = helper->pid();
    helper.reset();
    const std::string log = testing::internal::GetCapturedStdout();

    std::string expectedEcho;
    for (int i = 0; i < 8; ++i) {
        expectedEcho += recordText(i);
    }
    EXPECT_EQ(echoed(), expectedEcho);

    std::vector<Beat> expectedBeats;
    std::vector<std::uint64_t> expectedTimes;
    for (int i = 0; i < 8; ++i) {
        const auto slot = static_cast<std::uint8_t>(i % 4);
        expectedBeats.push_back(
            {blockTime(i), slot == 0, static_cast<std::uint8_t>(slot + 1), 12000, 200});
        expectedTimes.push_back(blockTime(i));
    }
    EXPECT_EQ(received.beats(), expectedBeats);
    EXPECT_EQ(received.beatTimes, expectedTimes);
    EXPECT_EQ(received.cues(), (std::vector<Cue>{{blockTime(0), 4, 14, 1},
                                                 {blockTime(0), 5, 9, 0},
                                                 {blockTime(4), 4, 14, 1},
                                                 {blockTime(4), 5, 9, 0}}));

    EXPECT_NE(
        log.find("beat helper: started (fake_beat_helper.py, pid " + std::to_string(pid) + ")\n"),
        std::string::npos)
        << log;
    // Written in two pieces by the helper, logged as one line.
    EXPECT_NE(log.find("beat helper: loading model\n"), std::string::npos) << log;
    EXPECT_NE(log.find("beat helper: Beat This! ready (fake)\n"), std::string::npos) << log;
    // Chords are logged, energy levels and malformed lines are not.
    std::size_t cueLines = 0;
    for (std::size_t at = log.find("cue: "); at != std::string::npos;
         at = log.find("cue: ", at + 1)) {
        EXPECT_EQ(log.substr(at, 14), "cue: chord Dm\n");
        ++cueLines;
    }
    EXPECT_EQ(cueLines, 2u);
    // Destroying the helper ends it quietly.
    EXPECT_EQ(log.find("exited"), std::string::npos) << log;
    EXPECT_EQ(::kill(pid, 0), -1);
}

TEST_F(BeatHelperWithFake, BackPressureDropsBlocksBeyondTheLimitWithoutWaiting) {
    set("FAKE_BEAT_STALL", "2");
    testing::internal::CaptureStdout();  // a cue line per four blocks
    auto helper = start();
    ASSERT_TRUE(helper);
    ASSERT_TRUE(becomesReady(*helper));

    std::string expectedEcho;
    std::int64_t mostPending = 0;
    for (int i = 0; i < 400; ++i) {
        const auto before = helper->status().dropped;
        helper->feed(stereoBlock(i), 2, 960, blockTime(i));
        const auto status = helper->status();
        mostPending = std::max(mostPending, status.pending);
        if (status.dropped == before) {
            expectedEcho += recordText(i);
        }
    }
    // The helper has not read a byte yet, so feeding cannot have waited for it.
    EXPECT_EQ(echoed(), "");
    const auto status = helper->status();
    // Blocks are refused once more than the limit wait: the pipe is full by then.
    EXPECT_EQ(mostPending, BeatHelper::maxPending + 1);
    EXPECT_GT(status.dropped, 0);
    EXPECT_EQ(expectedEcho.size() / 3852, static_cast<std::size_t>(400 - status.dropped));

    // Everything accepted reaches the helper, in order, once it reads again.
    ASSERT_TRUE(waitUntil([&] { return helper->status().pending == 0; }));
    ASSERT_TRUE(waitUntil([&] { return echoed().size() == expectedEcho.size(); }));
    EXPECT_TRUE(echoed() == expectedEcho);
    helper.reset();
    testing::internal::GetCapturedStdout();
}

TEST_F(BeatHelperWithFake, AHelperThatExitsMidwayIsLeftBehindSafely) {
    set("FAKE_BEAT_EXIT_AFTER", "3");
    testing::internal::CaptureStdout();
    Received received;  // outlives the helper, whose callbacks write into it
    auto helper = start();
    ASSERT_TRUE(helper);
    received.attach(*helper);
    ASSERT_TRUE(becomesReady(*helper));
    // More than the pipe holds, so writes meet the closed pipe.
    for (int i = 0; i < 100; ++i) {
        helper->feed(stereoBlock(i), 2, 960, blockTime(i));
    }
    ASSERT_TRUE(waitUntil([&] { return !helper->status().alive; }));
    ASSERT_TRUE(waitUntil([&] { return helper->status().pending == 0; }));
    EXPECT_FALSE(helper->isProcessRunning());
    const auto dropped = helper->status().dropped;
    for (int i = 0; i < 20; ++i) {
        helper->feed(stereoBlock(i), 2, 960, blockTime(i));
    }
    EXPECT_EQ(helper->status(), (BeatHelper::Status{false, true, 0, dropped}));
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("beat helper: exited (3); using the built-in tracker\n"), std::string::npos)
        << log;
    EXPECT_EQ(received.beatCount(), 3u);
}

TEST(BeatHelperReal, FindsTheTempoOfAClickTrack) {
    if (::access(python, X_OK) != 0) {
        GTEST_SKIP() << "needs " << python;
    }
    zoranth::HostLog::setWritesFile(false);
    Received received;  // outlives the helper, whose callbacks write into it
    auto started = BeatHelper::start(
        {python, std::string(ZORANTH_SOURCE_DIR) + "/Tools/beat-helper/beat_helper.py"});
    ASSERT_TRUE(started.has_value());
    auto helper = *started;
    received.attach(*helper);
    ASSERT_TRUE(waitUntil([&] { return helper->status().ready; }));

    constexpr double rate = 48000;
    auto pcm = zoranth::BeatClickTrack::silence(rate, 12.0);
    zoranth::BeatClickTrack::addClicks(pcm, rate, 0.25, 12.0, 120.0);
    for (std::size_t at = 0; at + 960 <= pcm.size(); at += 960) {
        // Paced by the back-pressure itself, so that no block is lost.
        waitUntil([&] { return helper->status().pending < BeatHelper::maxPending; });
        helper->feed(std::span(pcm).subspan(at, 960), 1, 960,
                     static_cast<std::uint64_t>(at / rate * 1e9));
    }
    ASSERT_TRUE(waitUntil([&] { return received.beatCount() >= 12; }, 20s));
    const auto beats = received.beats();
    EXPECT_EQ(helper->status().dropped, 0);
    for (std::size_t i = 1; i < beats.size(); ++i) {
        EXPECT_NEAR(beats[i].bpmCenti, 12000, 200);
        const double gap = (static_cast<double>(beats[i].hostTimeNanos) -
                            static_cast<double>(beats[i - 1].hostTimeNanos)) /
                           1e9;
        EXPECT_NEAR(gap, 0.5, 0.03) << "beat " << i;
        // On the clicks, which start at 0.25 s, to within a hop or two.
        const double phase = std::fmod(static_cast<double>(beats[i].hostTimeNanos) / 1e9, 0.5);
        EXPECT_NEAR(phase, 0.25, 0.03) << "beat " << i;
    }
}

}  // namespace
