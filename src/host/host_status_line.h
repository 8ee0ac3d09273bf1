// One guest's figures for the periodic status line in the host log, and their text.
// Values and a pure formatter: any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace zoranth {

struct HostStatusLine {
    struct Guest {
        std::string name;
        std::uint64_t bytesSent = 0;
        double occupancy = 0;
        int droppedFrames = 0;
        int expiredFrames = 0;
        std::optional<double> rttMs;        // from the guest's latest report
        std::optional<int> bufferMs;        // from the guest's latest report
        std::optional<double> syncErrorMs;  // when the report carries a measurement
        std::optional<int> latencyMs;       // when the report carries a measurement
        friend bool operator==(const Guest&, const Guest&) = default;
    };

    // "  [name  sent 1.2 MB  q 0.25  drop 0  exp 1  rtt 12.5 ms  buf 4500 ms  err +0.3 ms  L 40 ms]",
    // each figure after "exp" present only when known.
    static std::string guest(const Guest& guest);
};

}  // namespace zoranth
