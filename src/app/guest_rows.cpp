#include "app/guest_rows.h"

#include "host/network_health.h"

namespace zoranth {
namespace {

const QString emDash = QStringLiteral("—");

QString milliseconds(double nanos, const char* format) {
    return QString::asprintf(format, nanos / 1'000'000.0);
}

QString syncText(GuestSync::State state) {
    switch (state) {
        case GuestSync::State::syncing:
            return QStringLiteral("syncing…");
        case GuestSync::State::inSync:
        case GuestSync::State::inSyncNeedsCalibration:
            return QStringLiteral("in sync");
        case GuestSync::State::noReport:
            break;
    }
    return {};
}

}  // namespace

std::vector<GuestRows::ListRow> GuestRows::list(std::span<const GuestConnection::Snapshot> clients,
                                                const std::map<Id, double>& linkStrain,
                                                const std::map<Id, QualityTier>& tiers,
                                                double now) {
    std::vector<ListRow> rows;
    rows.reserve(clients.size());
    for (const auto& client : clients) {
        ListRow row;
        row.id = client.id;
        row.name = QString::fromStdString(client.displayName());
        row.address = QString::fromStdString(client.endpoint);
        if (const auto strain = linkStrain.find(client.id); strain != linkStrain.end()) {
            row.strain = strain->second;
        }
        row.strainWord = QString::fromUtf8(NetworkHealth::strainLabel(row.strain));
        if (const auto tier = tiers.find(client.id); tier != tiers.end()) {
            row.tierLabel = QString::fromStdString(tier->second.label());
        }
        row.sync = GuestSync::state(now, client.stats, client.statsAt);
        row.syncText = syncText(row.sync);
        rows.push_back(std::move(row));
    }
    return rows;
}

GuestRows::TableRow GuestRows::tableRow(const GuestConnection::Snapshot& client) {
    TableRow row;
    row.device = QString::fromStdString(client.displayName());
    row.address = QString::fromStdString(client.endpoint);
    row.queue = QString::asprintf("%.0f%%", client.occupancy * 100);
    row.dropped = QString::asprintf("%lld", static_cast<long long>(client.droppedFrames));
    row.stale = QString::asprintf("%lld", static_cast<long long>(client.expiredFrames));
    if (!client.stats) {
        row.rtt = row.minRtt = row.offset = row.error = row.latency = emDash;
        return row;
    }
    const ClientStat& stats = *client.stats;
    row.rtt = milliseconds(stats.rttNanos, "%.1f ms");
    row.minRtt = milliseconds(stats.minRttNanos, "%.1f ms");
    row.offset = milliseconds(static_cast<double>(stats.offsetNanos), "%+.1f ms");
    row.error = QString::asprintf("%+.1f ms", stats.syncErrorMicros / 1000.0);
    row.latency = QString::number(stats.latencyMs) + QStringLiteral(" ms");
    return row;
}

QString GuestRows::diagnosticsLine(const GuestConnection::Snapshot& client) {
    const ClientStat stats = client.stats.value_or(ClientStat{});
    QString word = QStringLiteral("no sync report");
    QString calibration;
    if (client.stats) {
        word = stats.isLocked() ? QStringLiteral("in sync") : QStringLiteral("syncing…");
        if (needsCalibration(stats.route())) {
            calibration = stats.isCalibrated() ? QStringLiteral(", calibrated")
                                               : QStringLiteral(", not calibrated");
        }
    }
    return QString::fromStdString(client.displayName()) +
           QString::asprintf("  ·  err %+.1f ms  ·  L %d ms  ·  ", stats.syncErrorMicros / 1000.0,
                             static_cast<int>(stats.latencyMs)) +
           word + calibration;
}

}  // namespace zoranth
