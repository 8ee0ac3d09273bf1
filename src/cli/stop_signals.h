// Ctrl-C and SIGTERM as a stop request for a terminal mode's loop: while a StopSignals
// lives, either signal only sets its flag (a second Ctrl-C does nothing more than the
// first); destroying it restores the actions the process had before. One at a time,
// created and destroyed on the main thread; stopRequested() from any thread.
#pragma once

#include <signal.h>

namespace zoranth {

class StopSignals {
  public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    bool stopRequested() const;

  private:
    struct sigaction previousInterrupt_ {};
    struct sigaction previousTerminate_ {};
};

}  // namespace zoranth
