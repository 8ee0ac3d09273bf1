// What the tests of a rave share: a log that records every line from any thread, a
// stand-in for the computer's output device, a clock the test moves by hand, and a
// sleep lock that counts how often it is taken.
#pragma once

#include <fcntl.h>

#include <atomic>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "host/checks/system_checkup.h"
#include "host/session/rave_session.h"
#include "host/sleep_blocker.h"

namespace zoranth {

// Host-log lines as a rave writes them, from whichever thread.
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
    bool contains(std::string_view fragment) const { return count(fragment) > 0; }
    int count(std::string_view fragment) const {
        int found = 0;
        for (const std::string& line : lines()) {
            found += line.find(fragment) != std::string::npos ? 1 : 0;
        }
        return found;
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

    RaveSession::OutputDevice device() const {
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

// A sleep lock that is a descriptor like logind's, counted as it is handed out.
inline SleepBlocker::Inhibit countedInhibit(std::shared_ptr<std::atomic<int>> inhibitions) {
    return [inhibitions = std::move(inhibitions)] {
        ++*inhibitions;
        return std::expected<LogindInhibitor::Inhibition, LogindInhibitor::Failure>(
            LogindInhibitor::Inhibition(::open("/dev/null", O_RDONLY | O_CLOEXEC)));
    };
}

// A firewall that lets guests in.
inline SystemCheckup::Finding firewallOff() {
    return SystemCheckup::Finding{"firewall",  "Firewall", SystemCheckup::Verdict::ok,
                                  "",         "",         SystemCheckup::Reason::firewallOff};
}

}  // namespace zoranth
