// Runs many simulated guests against one host for a bounded time, all on the calling
// thread with one poll loop. run() is called once; stop() may come from any thread;
// reports() is read after run() has returned.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <vector>

#include "guestsim/simulated_guest.h"

namespace zoranth {

class GuestSwarm {
  public:
    using Clock = SimulatedGuest::Clock;

    // The longest the loop sleeps, so a stop request is seen promptly.
    static constexpr std::chrono::milliseconds maxPollWait{50};

    explicit GuestSwarm(std::vector<SimulatedGuest::Settings> guests);

    // Plays every guest until `duration` has passed or stop() is called, then ends
    // every connection the way each guest would.
    void run(std::chrono::milliseconds duration);
    void stop() { stopRequested_ = true; }

    std::vector<SimulatedGuest::Report> reports() const;

  private:
    std::vector<SimulatedGuest::Settings> settings_;
    std::vector<std::unique_ptr<SimulatedGuest>> guests_;
    std::atomic<bool> stopRequested_{false};
};

}  // namespace zoranth
