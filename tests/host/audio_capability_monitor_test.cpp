#include "host/capture/audio_capability_monitor.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "host/host_log.h"

namespace zoranth {
namespace {

using Verdict = AudioCapability::Verdict;
using Trigger = AudioCapabilityMonitor::Trigger;

// The verdict lines go to standard output only while a test runs: the log file is not ours.
class LogToStandardOutputOnly {
  public:
    LogToStandardOutputOnly() { HostLog::setWritesFile(false); }
    ~LogToStandardOutputOnly() { HostLog::setWritesFile(wroteFile_); }

  private:
    const bool wroteFile_ = HostLog::writesFile();
};

// The monitor with its queue, main thread, clock and probe in the test's hands: queued
// probes run when the test says so, their answers land on "main" at once.
class AudioCapabilityMonitorTest : public testing::Test {
  protected:
    AudioCapabilityMonitorTest() {
        AudioCapabilityMonitor::Dependencies dependencies;
        dependencies.probe = [this] {
            ++probes;
            return answers.empty() ? Verdict::granted() : answers.front();
        };
        dependencies.runOnQueue = [this](AudioCapabilityMonitor::Task task) {
            queued.push_back(std::move(task));
        };
        dependencies.postToMain = [](AudioCapabilityMonitor::Task task) { task(); };
        dependencies.now = [this] { return now; };
        monitor = std::make_unique<AudioCapabilityMonitor>(std::move(dependencies));
    }

    // Lets the queued probe answer `verdict`.
    void answer(Verdict verdict) {
        ASSERT_FALSE(queued.empty());
        answers.assign(1, std::move(verdict));
        auto task = std::move(queued.front());
        queued.pop_front();
        task();
    }

    void probeOnce(Verdict verdict, Trigger trigger = Trigger::userRequest) {
        monitor->check(trigger);
        answer(std::move(verdict));
    }

    LogToStandardOutputOnly logging;
    double now = 100.0;
    int probes = 0;
    std::deque<Verdict> answers;
    std::deque<AudioCapabilityMonitor::Task> queued;
    std::unique_ptr<AudioCapabilityMonitor> monitor;
};

TEST_F(AudioCapabilityMonitorTest, AProbeRunsInTheBackgroundAndItsVerdictLandsOnMain) {
    int changes = 0;
    monitor->setOnChange([&] { ++changes; });
    monitor->check(Trigger::launch);
    EXPECT_TRUE(monitor->isProbing());
    EXPECT_EQ(monitor->probeStartedAt(), 100.0);
    EXPECT_FALSE(monitor->verdict());
    EXPECT_EQ(probes, 0);

    now = 101.0;
    testing::internal::CaptureStdout();
    answer(Verdict::denied("Access denied", {}));
    const std::string logged = testing::internal::GetCapturedStdout();
    EXPECT_NE(logged.find("audio capability: denied(\"Access denied\")"), std::string::npos);
    EXPECT_EQ(probes, 1);
    EXPECT_FALSE(monitor->isProbing());
    EXPECT_FALSE(monitor->probeStartedAt());
    EXPECT_EQ(monitor->lastFinishedAt(), 101.0);
    EXPECT_EQ(monitor->verdict(), Verdict::denied("Access denied", {}));
    EXPECT_FALSE(monitor->lastWasUnresolved());
    EXPECT_EQ(changes, 2);
}

TEST_F(AudioCapabilityMonitorTest, AutomaticChecksWaitTwoSecondsAfterTheLastProbe) {
    probeOnce(Verdict::granted(), Trigger::launch);
    now += 1.0;
    monitor->check(Trigger::activation);
    EXPECT_FALSE(monitor->isProbing());
    now += 0.999;
    monitor->check(Trigger::launch);
    EXPECT_FALSE(monitor->isProbing());
    now += 0.001;
    monitor->check(Trigger::activation);
    EXPECT_TRUE(monitor->isProbing());
}

TEST_F(AudioCapabilityMonitorTest, TheUserCanAlwaysAskUnlessAProbeRuns) {
    probeOnce(Verdict::granted());
    monitor->check(Trigger::userRequest);
    EXPECT_TRUE(monitor->isProbing());
    monitor->check(Trigger::userRequest);
    EXPECT_EQ(queued.size(), 1u);
}

TEST_F(AudioCapabilityMonitorTest, AnUnresolvedVerdictIsOnlyProbedAgainOnRequest) {
    testing::internal::CaptureStdout();
    probeOnce(Verdict::undetermined("no server"));
    EXPECT_NE(testing::internal::GetCapturedStdout().find(
                  "audio capability: undetermined(\"no server\")"),
              std::string::npos);
    EXPECT_TRUE(monitor->lastWasUnresolved());
    now += 60;
    monitor->check(Trigger::activation);
    monitor->check(Trigger::launch);
    EXPECT_FALSE(monitor->isProbing());
    monitor->check(Trigger::userRequest);
    EXPECT_TRUE(monitor->isProbing());
    answer(Verdict::granted());
    EXPECT_FALSE(monitor->lastWasUnresolved());
}

TEST_F(AudioCapabilityMonitorTest, ALongProbeIsAwaitingTheUsersAnswerAfterOneAndAHalfSeconds) {
    monitor->check(Trigger::launch);
    now += 1.5;
    EXPECT_FALSE(monitor->isAwaitingAnswer());
    now += 0.01;
    EXPECT_TRUE(monitor->isAwaitingAnswer());
    answer(Verdict::granted());
    EXPECT_FALSE(monitor->isAwaitingAnswer());
}

TEST_F(AudioCapabilityMonitorTest, AnAnswerAfterTheMonitorIsGoneIsDropped) {
    monitor->check(Trigger::launch);
    monitor.reset();
    answer(Verdict::granted());
    EXPECT_EQ(probes, 1);
}

TEST(AudioCapabilityMonitorQueue, ProbesRunOnTheMonitorsSerialQueue) {
    LogToStandardOutputOnly logging;
    std::mutex mutex;
    std::condition_variable done;
    std::deque<AudioCapabilityMonitor::Task> mainQueue;
    std::thread::id probeThread;
    AudioCapabilityMonitor::Dependencies dependencies;
    dependencies.probe = [&] {
        probeThread = std::this_thread::get_id();
        return Verdict::granted();
    };
    dependencies.postToMain = [&](AudioCapabilityMonitor::Task task) {
        std::lock_guard lock(mutex);
        mainQueue.push_back(std::move(task));
        done.notify_all();
    };
    AudioCapabilityMonitor monitor(std::move(dependencies));
    monitor.check(Trigger::userRequest);
    std::unique_lock lock(mutex);
    ASSERT_TRUE(done.wait_for(lock, std::chrono::seconds(5), [&] { return !mainQueue.empty(); }));
    auto finish = std::move(mainQueue.front());
    lock.unlock();
    finish();
    EXPECT_TRUE(probeThread != std::this_thread::get_id());
    EXPECT_EQ(monitor.verdict(), Verdict::granted());
}

TEST(AudioCapabilityVerdict, ReadsAsInTheLog) {
    EXPECT_EQ(Verdict::granted().text(), "granted");
    EXPECT_EQ(Verdict::denied("Access denied", {}).text(), "denied(\"Access denied\")");
    EXPECT_EQ(Verdict::unreachable("gone").text(), "unreachable(\"gone\")");
    EXPECT_EQ(Verdict::undetermined("why").text(), "undetermined(\"why\")");
    EXPECT_NE(Verdict::undetermined("a"), Verdict::undetermined("b"));
}

}  // namespace
}  // namespace zoranth
