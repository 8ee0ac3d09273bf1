// Runs the capture-permission probe in the background for the window and the broadcast
// controller, debounces it and keeps its verdict. Used on the main thread only; the probe
// itself runs on a serial queue of its own ("com.zoranth.audiocapability").
#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "host/capture/audio_capability.h"
#include "host/serial_queue.h"

namespace zoranth {

class AudioCapabilityMonitor {
  public:
    enum class Trigger {
        launch,       // the main window appeared
        activation,   // the application became active
        userRequest,  // the user asked, e.g. from the checkup or the blocked card
    };

    using Task = std::function<void()>;
    using Executor = std::function<void(Task)>;

    struct Dependencies {
        std::function<AudioCapability::Verdict()> probe = AudioCapability::probe;
        Executor runOnQueue;          // empty: a serial worker thread of the monitor's own
        Executor postToMain;          // required: how work gets back to the main thread
        std::function<double()> now;  // seconds on a steady clock; empty: the monotonic clock
    };

    explicit AudioCapabilityMonitor(Dependencies dependencies);
    ~AudioCapabilityMonitor();
    AudioCapabilityMonitor(const AudioCapabilityMonitor&) = delete;
    AudioCapabilityMonitor& operator=(const AudioCapabilityMonitor&) = delete;

    // Starts a probe unless one runs, or, for launch and activation, the last one ended
    // less than 2 s ago or could not decide (only the user re-probes an unresolved state).
    void check(Trigger trigger);

    // A probe has been running for more than 1.5 s: the system is most likely waiting for
    // the user's answer.
    bool isAwaitingAnswer() const;

    const std::optional<AudioCapability::Verdict>& verdict() const { return verdict_; }
    bool isProbing() const { return isProbing_; }
    std::optional<double> probeStartedAt() const { return probeStartedAt_; }
    std::optional<double> lastFinishedAt() const { return lastFinishedAt_; }
    bool lastWasUnresolved() const { return lastWasUnresolved_; }

    // Called on the main thread whenever a probe starts or finishes.
    void setOnChange(std::function<void()> callback) { onChange_ = std::move(callback); }

    static constexpr double debounceSeconds = 2.0;
    static constexpr double awaitingAnswerSeconds = 1.5;

  private:
    void finish(AudioCapability::Verdict verdict);

    Dependencies dependencies_;
    std::shared_ptr<SerialQueue> queue_;
    std::shared_ptr<int> alive_ =
        std::make_shared<int>(0);  // finishes after destruction are dropped
    std::function<void()> onChange_;
    std::optional<AudioCapability::Verdict> verdict_;
    bool isProbing_ = false;
    std::optional<double> probeStartedAt_;
    std::optional<double> lastFinishedAt_;
    bool lastWasUnresolved_ = false;
};

}  // namespace zoranth
