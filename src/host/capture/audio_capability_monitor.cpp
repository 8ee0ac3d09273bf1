#include "host/capture/audio_capability_monitor.h"

#include "host/host_log.h"
#include "host/wall_clock.h"

namespace zoranth {

AudioCapabilityMonitor::AudioCapabilityMonitor(Dependencies dependencies)
    : dependencies_(std::move(dependencies)) {
    if (!dependencies_.now) {
        dependencies_.now = WallClock::now;
    }
    if (!dependencies_.runOnQueue) {
        // One probe at a time: the queue is serial.
        queue_ = std::make_shared<SerialQueue>("com.zoranth.audiocapability");
        dependencies_.runOnQueue = [queue = queue_](Task task) { queue->post(std::move(task)); };
    }
}

AudioCapabilityMonitor::~AudioCapabilityMonitor() = default;

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
