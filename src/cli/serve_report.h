// The lines serve mode prints: the announcement, the status line every two seconds,
// one line per guest, and the summary. Pure text; callable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/capture/capture_pipeline.h"
#include "host/net/guest_connection.h"

namespace zoranth {

struct ServeReport {
    ServeReport() = delete;

    static constexpr float floorDb = -60.0f;

    // How a phone joins: the link its browser opens, and the same as a QR code drawn
    // for the terminal (JoinCode::terminalText), empty when none could be made.
    struct Join {
        std::string link;
        std::string code;
    };

    // From the empty line that opens it to the empty line that closes it; `receiver` is
    // how a person runs the test receiver here ("python3 Tools/recv.py"), and
    // `discoveryWarning` what to say when avahi-daemon never confirmed the name.
    static std::vector<std::string> announcement(std::uint16_t port,
                                                 const std::optional<std::string>& advertisedName,
                                                 const std::vector<std::string>& addresses,
                                                 std::uint16_t delayMs, const std::string& receiver,
                                                 const std::vector<std::string>& discoveryWarning,
                                                 const Join& join);
    // "     4s   -6.0/  -6.0 dBFS  1 client(s)  chunks 200  ring 0  overrun 0  discont 0"
    static std::string statusLine(double elapsedSeconds, const CapturePipeline::Stats& stats,
                                  std::size_t clients);
    static std::string guestLine(const GuestConnection::Snapshot& guest);
    static std::vector<std::string> summary(const CapturePipeline::Stats& stats);

    // A channel's peak in dBFS, floored at -60, and -60 for a channel that is not there.
    static double peakDb(const std::vector<float>& peaks, std::size_t channel);
};

}  // namespace zoranth
