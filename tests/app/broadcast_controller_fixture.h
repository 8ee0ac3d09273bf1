// What the broadcast controller's tests share: the rave tests' fakes, a settings file of
// the test's own, and waiting on the Qt event loop.
#pragma once

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QThread>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "app/broadcast_controller.h"
#include "support/eventually.h"
#include "support/session_fakes.h"

namespace zoranth {

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
        dependencies.inhibit = countedInhibit(inhibitions);
        dependencies.outputDevice = output.device();
        dependencies.probe = [probes = probes] {
            ++*probes;
            return AudioCapability::Verdict::granted();
        };
        dependencies.firewallFinding = firewallOff;
        return dependencies;
    }
};

// Runs the event loop until the condition holds or the time is up.
inline bool eventuallyInEventLoop(const std::function<bool()>& condition,
                                  std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return eventually(condition, timeout, [] {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    });
}

// Runs the event loop for a while.
inline void pumpEvents(std::chrono::milliseconds duration) {
    eventuallyInEventLoop([] { return false; }, duration);
}

}  // namespace zoranth
