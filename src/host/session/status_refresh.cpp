#include "host/session/status_refresh.h"

#include "kit/format_text.h"

namespace zoranth {

NetworkHealth::ClientSample StatusRefresh::sample(const GuestConnection::Snapshot& snapshot) {
    NetworkHealth::ClientSample sample =
        NetworkHealth::ClientSample::fromReport(snapshot.id, snapshot.endpoint, snapshot.stats);
    sample.occupancy = snapshot.occupancy;
    sample.droppedFrames = snapshot.droppedFrames;
    sample.expiredFrames = snapshot.expiredFrames;
    sample.bytesSent = static_cast<std::uint64_t>(snapshot.bytesSent);
    return sample;
}

std::string StatusRefresh::statusLine(const CapturePipeline::Stats& stats,
                                      std::span<const GuestConnection::Snapshot> snapshots) {
    std::string line =
        formatText("status  chunks %lld  ioproc %llu  ring %u/%llu  disc %lld  out %.1f MB",
                   static_cast<long long>(stats.chunksProduced),
                   static_cast<unsigned long long>(stats.ioProcDeliveries), stats.ringDepth,
                   static_cast<unsigned long long>(stats.ringOverruns),
                   static_cast<long long>(stats.discontinuities), stats.encodedBytes / 1'000'000.0);
    if (stats.spliceRate) {
        line += formatText("  splice %.0f%%", *stats.spliceRate * 100);
    }
    line += "  guests " + std::to_string(snapshots.size());
    for (const GuestConnection::Snapshot& snapshot : snapshots) {
        line += guestPart(snapshot);
    }
    return line;
}

std::string StatusRefresh::guestPart(const GuestConnection::Snapshot& snapshot) {
    std::string text =
        "  [" + sample(snapshot).name +
        formatText("  sent %.1f MB  q %.2f  drop %lld  exp %lld",
                   static_cast<double>(snapshot.bytesSent) / 1'000'000.0, snapshot.occupancy,
                   static_cast<long long>(snapshot.droppedFrames),
                   static_cast<long long>(snapshot.expiredFrames));
    if (const auto& report = snapshot.stats) {
        text += formatText("  rtt %.1f ms", report->rttNanos / 1'000'000.0);
        text += "  buf " + std::to_string(report->bufferDepthMs) + " ms";
        if (report->hasMeasurement()) {
            text += formatText("  err %+.1f ms", report->syncErrorMicros / 1000.0);
            text += "  L " + std::to_string(report->latencyMs) + " ms";
        }
    }
    return text + "]";
}

}  // namespace zoranth
