#include "cli/stop_signals.h"

#include <atomic>

namespace zoranth {
namespace {

// A signal handler may only touch lock-free atomics, so the flag is one rather than a
// value under a lock.
std::atomic<bool> stopFlag{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void requestStop(int) {
    stopFlag.store(true, std::memory_order_relaxed);
}

}  // namespace

StopSignals::StopSignals() {
    stopFlag.store(false, std::memory_order_relaxed);
    struct sigaction action {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, &previousInterrupt_);
    sigaction(SIGTERM, &action, &previousTerminate_);
}

StopSignals::~StopSignals() {
    sigaction(SIGINT, &previousInterrupt_, nullptr);
    sigaction(SIGTERM, &previousTerminate_, nullptr);
}

bool StopSignals::stopRequested() const {
    return stopFlag.load(std::memory_order_relaxed);
}

}  // namespace zoranth
