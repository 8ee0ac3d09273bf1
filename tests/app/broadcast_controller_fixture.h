// What the broadcast controller's tests share: a log that records every line from any
// thread, a stand-in for the computer's output device, a clock the test moves by hand,
// a settings file of the test's own, and waiting on the Qt event loop.
#pragma once

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QThread>

#include <fcntl.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "app/broadcast_controller.h"

namespace zoranth {

// Host-log lines as the controller writes them, from whichever thread.
class RecordedLines {
  public:
    std::function<void(std::string_view)> sink() {
        return [record = record_](std::string_view line) {
            std::lock_guard guard(record->lock);
            record->lines.emplace_back(line);
        };
    }
    std::vector<std::string> lines() const {
        std::lock_guard guard(record_->lock);
        return record_->lines;
    }
    bool contains(std::string_view fragment) const {
        for (const std::string& line : lines()) {
            if (line.find(fragment) != std::string::npos) {
                return true;
            }
        }
        return false;
    }
    void clear() {
        std::lock_guard guard(record_->lock);
        record_->lines.clear();
    }

  private:
    struct Record {
        mutable std::mutex lock;
        std::vector<std::string> lines;
    };
    std::shared_ptr<Record> record_ = std::make_shared<Record>();
};

// An output device with or without a mute control; remembers whether it is muted.
struct FakeOutputDevice {
    struct Shared {
        std::atomic<bool> canMute{true};
        std::atomic<bool> muted{false};
    };
    std::shared_ptr<Shared> shared = std::make_shared<Shared>();

    BroadcastController::OutputDevice device() const {
        return {[shared = shared](const TapSession*) -> std::optional<bool> {
                    if (!shared->canMute) {
                        return std::nullopt;
                    }
                    return shared->muted.load();
                },
                [shared = shared](bool muted) {
                    if (!shared->canMute) {
                        return false;
                    }
                    shared->muted = muted;
                    return true;
                }};
    }
};

// Seconds that move only when the test says so.
struct ManualClock {
    std::shared_ptr<std::atomic<double>> seconds = std::make_shared<std::atomic<double>>(1000.0);
    std::function<double()> function() const {
        return [seconds = seconds] { return seconds->load(); };
    }
    double now() const { return *seconds; }
    void set(double value) const { *seconds = value; }
};

// Everything a controller under test needs that is not the real world's.
struct ControllerWorld {
    QTemporaryDir folder;
    RecordedLines log;
    FakeOutputDevice output;
    ManualClock clock;
    std::shared_ptr<std::atomic<int>> probes = std::make_shared<std::atomic<int>>(0);
    std::shared_ptr<std::atomic<int>> inhibitions = std::make_shared<std::atomic<int>>(0);

    QString preferencesPath() const { return folder.filePath(QStringLiteral("prefs.conf")); }

    BroadcastController::Dependencies dependencies() {
        BroadcastController::Dependencies dependencies;
        dependencies.preferencesPath = preferencesPath();
        dependencies.now = clock.function();
        dependencies.log = log.sink();
        // A lock that is a descriptor like logind's, counted as it is handed out.
        dependencies.inhibit = [inhibitions = inhibitions] {
            ++*inhibitions;
            return std::expected<LogindInhibitor::Inhibition, LogindInhibitor::Failure>(
                LogindInhibitor::Inhibition(::open("/dev/null", O_RDONLY | O_CLOEXEC)));
        };
        dependencies.outputDevice = output.device();
        dependencies.probe = [probes = probes] {
            ++*probes;
            return AudioCapability::Verdict::granted();
        };
        dependencies.firewallFinding = [] {
            return SystemCheckup::Finding{"firewall", "Firewall", SystemCheckup::Verdict::ok,
                                          "",         "",         SystemCheckup::Reason::firewallOff};
        };
        return dependencies;
    }
};

// Runs the event loop until the condition holds or the time is up.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    return true;
}

// Runs the event loop for a while.
inline void pumpEvents(std::chrono::milliseconds duration) {
    eventually([] { return false; }, duration);
}

// Counts how often a signal fires.
class SignalCount {
  public:
    template <class Signal>
    SignalCount(BroadcastController& controller, Signal signal) {
        QObject::connect(&controller, signal, &controller, [count = count_] { ++*count; });
    }
    int operator()() const { return *count_; }

  private:
    std::shared_ptr<int> count_ = std::make_shared<int>(0);
};

}  // namespace zoranth
