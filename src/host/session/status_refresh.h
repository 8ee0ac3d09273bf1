// The pure pieces of a rave's status refresh: one network-health sample per guest
// snapshot and the status line written to the host log every 40 refreshes. Values and
// pure functions: any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "host/capture/capture_pipeline.h"
#include "host/net/guest_connection.h"
#include "host/network_health.h"

namespace zoranth {

struct StatusRefresh {
    StatusRefresh() = delete;

    // Every this many refreshes (10 s at four a second) the status line is written.
    static constexpr std::int64_t statusLineEvery = 40;

    // The guest as the network-health model sees it: named after its reported device,
    // else its endpoint; buffer and round trips from its last report.
    static NetworkHealth::ClientSample sample(const GuestConnection::Snapshot& snapshot);

    // "status  chunks 1200  ioproc 2400  ring 0/0  disc 0  out 1.2 MB  splice 3%  guests 1
    //   [Pixel  sent 0.6 MB  q 0.10  drop 0  exp 0  rtt 4.2 ms  buf 4500 ms]"
    static std::string statusLine(const CapturePipeline::Stats& stats,
                                  std::span<const GuestConnection::Snapshot> snapshots);

    // One guest's part of the status line: "  [name  sent 1.2 MB  q 0.25  drop 0  exp 1
    // rtt 12.5 ms  buf 4500 ms  err +0.3 ms  L 40 ms]", each figure after "exp" present
    // only when the guest's report has it.
    static std::string guestPart(const GuestConnection::Snapshot& snapshot);
};

}  // namespace zoranth
