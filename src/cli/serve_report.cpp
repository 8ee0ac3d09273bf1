#include "cli/serve_report.h"

#include <cinttypes>
#include <cstdio>

#include "kit/format_text.h"
#include "kit/pcm_convert.h"

namespace zoranth {
std::vector<std::string> ServeReport::announcement(
    std::uint16_t port, const std::optional<std::string>& advertisedName,
    const std::vector<std::string>& addresses, std::uint16_t delayMs, const std::string& receiver,
    const std::vector<std::string>& discoveryWarning, const Join& join) {
    const std::string portText = std::to_string(port);
    std::vector<std::string> lines{""};
    if (port != 0 && !advertisedName) {
        lines.push_back("listening on port " + portText +
                        ", but avahi-daemon never confirmed a registered service name.");
        lines.insert(lines.end(), discoveryWarning.begin(), discoveryWarning.end());
    } else {
        lines.push_back("listening on port " + portText + ", advertised as \"" +
                        advertisedName.value_or("?") + "\" (_zoranth._tcp)");
    }
    // A phone needs neither discovery nor the receiver: the link, or its code, is enough.
    if (join.code.empty()) {
        lines.push_back("  join from a phone: " + join.link);
    } else {
        lines.push_back("  join from a phone: " + join.link + "  (or scan this code)");
        lines.emplace_back("");
        std::size_t start = 0;
        while (start < join.code.size()) {
            std::size_t end = join.code.find('\n', start);
            if (end == std::string::npos) {
                end = join.code.size();
            }
            lines.push_back("  " + join.code.substr(start, end - start));
            start = end + 1;
        }
        lines.emplace_back("");
    }
    for (const std::string& address : addresses) {
        lines.push_back("  receive with:  " + receiver + " --host " + address + " --port " +
                        portText + " --play --stats");
    }
    lines.emplace_back("");
    lines.push_back("  validate sync: " + receiver + " --host 127.0.0.1 --port " + portText +
                    " --raw --timesync --assert-loopback --seconds 15");
    lines.emplace_back("");
    lines.push_back("buffer delay: " + std::to_string(delayMs) + " ms.  Ctrl-C to stop.");
    lines.emplace_back("");
    return lines;
}

double ServeReport::peakDb(const std::vector<float>& peaks, std::size_t channel) {
    return channel < peaks.size() ? PCMConvert::dbFS(peaks[channel], floorDb) : floorDb;
}

std::string ServeReport::statusLine(double elapsedSeconds, const CapturePipeline::Stats& stats,
                                    std::size_t clients) {
    std::string text = formatText("  %5.0fs  %6.1f/%6.1f dBFS  %d client(s)  chunks %" PRId64
                                  "  ring %u  overrun "
                                  "%" PRIu64 "  discont %" PRId64,
                                  elapsedSeconds, peakDb(stats.peak, 0), peakDb(stats.peak, 1),
                                  static_cast<int>(clients), stats.chunksProduced, stats.ringDepth,
                                  stats.ringOverruns, stats.discontinuities);
    if (stats.diagnosis.kind == SilenceWatchdog::Diagnosis::Case::likelyDenied) {
        text += "  [SILENT?]";
    }
    return text;
}

std::string ServeReport::guestLine(const GuestConnection::Snapshot& guest) {
    std::string text = formatText(
        "      client %-3lld %-22s queued %7lld B (%3.0f%%)  sent %6lld  dropped %5lld  stale "
        "%5lld",
        static_cast<long long>(guest.id), guest.endpoint.c_str(),
        static_cast<long long>(guest.queuedBytes), guest.occupancy * 100,
        static_cast<long long>(guest.framesSent), static_cast<long long>(guest.droppedFrames),
        static_cast<long long>(guest.expiredFrames));
    if (guest.stats) {
        const ClientStat& stat = *guest.stats;
        text += formatText("  rtt %.2fms  offset %+.2fms  err %+.1fms  L %dms  \"%s\"",
                           stat.rttNanos / 1e6, static_cast<double>(stat.offsetNanos) / 1e6,
                           stat.syncErrorMicros / 1e3, static_cast<int>(stat.latencyMs),
                           stat.deviceName.c_str());
    }
    if (guest.isOverBudget) {
        text += "  [OVER BUDGET]";
    }
    return text;
}

std::vector<std::string> ServeReport::summary(const CapturePipeline::Stats& stats) {
    return {"",
            "=== serve summary ===", "chunks produced:   " + std::to_string(stats.chunksProduced),
            "ring overruns:     " + std::to_string(stats.ringOverruns),
            "discontinuities:   " + std::to_string(stats.discontinuities),
            "work shed:         " + std::to_string(stats.workSheds) +
                (stats.workSheds == 1 ? " step" : " steps")};
}

}  // namespace zoranth
