// Keeps this computer from sleeping while a rave is live: one logind inhibitor lock
// ("idle:sleep", mode "block") held from acquire() to release() or destruction.
// Main thread only, like the controller that owns it.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/logind/logind_inhibitor.h"

namespace zoranth {

class SleepBlocker {
  public:
    using Inhibit =
        std::function<std::expected<LogindInhibitor::Inhibition, LogindInhibitor::Failure>()>;

    // Asks the login manager on the system bus.
    SleepBlocker();
    // Asks through the given function (another bus, or a stand-in).
    explicit SleepBlocker(Inhibit inhibit);
    ~SleepBlocker() = default;  // the held lock, if any, goes with it
    SleepBlocker(const SleepBlocker&) = delete;
    SleepBlocker& operator=(const SleepBlocker&) = delete;

    // The lock the blocker asks for: what, who, why and mode.
    static LogindInhibitor::Request request();

    // Takes the lock unless it is already held. A refusal leaves none held, writes one
    // diagnostic line saying why and is remembered in lastFailure(); the rave goes on.
    void acquire();
    void release();
    bool isHolding() const { return inhibition_.isHeld(); }

    // Why the last acquire() holds nothing; none after a successful one.
    const std::optional<std::string>& lastFailure() const { return lastFailure_; }

  private:
    Inhibit inhibit_;
    LogindInhibitor::Inhibition inhibition_;
    std::optional<std::string> lastFailure_;
};

}  // namespace zoranth
