#include "app/status_refresh.h"

#include <cstdio>

#include "host/host_status_line.h"
#include "kit/format_text.h"

namespace zoranth {
namespace {

HostStatusLine::Guest statusGuest(const ClientConnection::Snapshot& snapshot) {
    HostStatusLine::Guest guest;
    guest.name = StatusRefresh::sample(snapshot).name;
    guest.bytesSent = static_cast<std::uint64_t>(snapshot.bytesSent);
    guest.occupancy = snapshot.occupancy;
    guest.droppedFrames = static_cast<int>(snapshot.droppedFrames);
    guest.expiredFrames = static_cast<int>(snapshot.expiredFrames);
    if (const auto& report = snapshot.stats) {
        guest.rttMs = report->rttNanos / 1'000'000.0;
        guest.bufferMs = report->bufferDepthMs;
        if (report->hasMeasurement()) {
            guest.syncErrorMs = report->syncErrorMicros / 1000.0;
            guest.latencyMs = report->latencyMs;
        }
    }
    return guest;
}

}  // namespace

NetworkHealth::ClientSample StatusRefresh::sample(const ClientConnection::Snapshot& snapshot) {
    NetworkHealth::ClientSample sample =
        NetworkHealth::ClientSample::fromReport(snapshot.id, snapshot.endpoint, snapshot.stats);
    sample.occupancy = snapshot.occupancy;
    sample.droppedFrames = snapshot.droppedFrames;
    sample.expiredFrames = snapshot.expiredFrames;
    sample.bytesSent = static_cast<std::uint64_t>(snapshot.bytesSent);
    return sample;
}

std::string StatusRefresh::statusLine(const CapturePipeline::Stats& stats,
                                      std::span<const ClientConnection::Snapshot> snapshots) {
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
    for (const ClientConnection::Snapshot& snapshot : snapshots) {
        line += HostStatusLine::guest(statusGuest(snapshot));
    }
    return line;
}

std::optional<SystemCheckup::Finding> StatusRefresh::networkFinding(bool localNetworkDenied,
                                                                 bool listeningUnadvertised) {
    if (!localNetworkDenied && !listeningUnadvertised) {
        return std::nullopt;
    }
    return SystemCheckup::Finding{
        "network",
        "Guests finding this Mac",
        SystemCheckup::Verdict::problem,
        localNetworkDenied ? "Guests cannot see this Mac."
                           : "This Mac never finished advertising itself.",
        "Open Privacy & Security > Local Network and turn on Zoranth Host. Without it your rave "
        "is invisible, even to a phone on the same Wi-Fi.",
        SystemCheckup::Reason::networkUnconfirmed};
}

}  // namespace zoranth
