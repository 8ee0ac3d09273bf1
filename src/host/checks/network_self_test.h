// The local-network self-test behind the checkup's network finding: a loopback
// listener advertised through the service-discovery daemon for a few seconds. begin()
// is callable from any thread; the test runs on its own strand of the I/O threads.
#pragma once

#include <chrono>

#include "host/checks/mac_checkup.h"

namespace zoranth {

struct NetworkSelfTest {
    // Completes with networkOK when the daemon establishes the advertisement, with
    // networkUnconfirmed when `patience` runs out first, with networkUntestable when the
    // listener or the advertisement cannot be set up. `done` runs once, after both the
    // listener and the advertisement are gone.
    static void begin(MacCheckup::FindingHandler done, std::chrono::milliseconds patience);
};

}  // namespace zoranth
