#include "host/capture/audio_capability_monitor.h"

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "host/host_log.h"

namespace zoranth {

// One thread that runs queued tasks in order: at most one probe at a time.
class AudioCapabilityMonitor::Worker {
  public:
    Worker() : thread_([this] { run(); }) {}
    ~Worker() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }

    void post(Task task) {
        {
            std::lock_guard lock(mutex_);
            tasks_.push_back(std::move(task));
        }
        wake_.notify_all();
    }

  private:
    void run() {
        pthread_setname_np(pthread_self(), "zoranth-probe");
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
            if (tasks_.empty()) {
                return;
            }
            Task task = std::move(tasks_.front());
            tasks_.pop_front();
            lock.unlock();
            task();
            lock.lock();
        }
    }

    std::mutex mutex_;  // tasks_ and stopping_
    std::condition_variable wake_;
    std::deque<Task> tasks_;
    bool stopping_ = false;
    std::thread thread_;
};

AudioCapabilityMonitor::AudioCapabilityMonitor(Dependencies dependencies)
    : dependencies_(std::move(dependencies)) {
    if (!dependencies_.now) {
        dependencies_.now = [] {
            return std::chrono::duration<double>(
                       std::chrono::steady_clock::now().time_since_epoch())
                .count();
        };
    }
    if (!dependencies_.runOnQueue) {
        worker_ = std::make_unique<Worker>();
        dependencies_.runOnQueue = [worker = worker_.get()](Task task) {
            worker->post(std::move(task));
        };
    }
}

AudioCapabilityMonitor::~AudioCapabilityMonitor() {
    alive_.reset();
    worker_.reset();
}

void AudioCapabilityMonitor::check(Trigger trigger) {
    if (isProbing_) {
        return;
    }
    const double now = dependencies_.now();
    if (trigger != Trigger::userRequest) {
        if (lastFinishedAt_ && now - *lastFinishedAt_ < debounceSeconds) {
            return;
        }
        if (verdict_ && verdict_->which == AudioCapability::Verdict::Case::undetermined) {
            return;
        }
    }
    isProbing_ = true;
    probeStartedAt_ = now;
    if (onChange_) {
        onChange_();
    }
    dependencies_.runOnQueue([probe = dependencies_.probe, postToMain = dependencies_.postToMain,
                              alive = std::weak_ptr<int>(alive_), self = this] {
        AudioCapability::Verdict verdict = probe();
        postToMain([alive, self, verdict = std::move(verdict)]() mutable {
            if (alive.lock()) {
                self->finish(std::move(verdict));
            }
        });
    });
}

void AudioCapabilityMonitor::finish(AudioCapability::Verdict verdict) {
    lastWasUnresolved_ = verdict.which == AudioCapability::Verdict::Case::undetermined;
    HostLog::line("audio capability: " + verdict.text());
    verdict_ = std::move(verdict);
    isProbing_ = false;
    probeStartedAt_.reset();
    lastFinishedAt_ = dependencies_.now();
    if (onChange_) {
        onChange_();
    }
}

bool AudioCapabilityMonitor::isAwaitingAnswer() const {
    return isProbing_ && probeStartedAt_ &&
           dependencies_.now() - *probeStartedAt_ > awaitingAnswerSeconds;
}

}  // namespace zoranth
