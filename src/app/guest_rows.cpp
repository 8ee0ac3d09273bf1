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

std::vector<GuestRows::ListRow> GuestRows::list(std::span<const GuestConnection::Snapshot> guests,
                                                const std::map<Id, double>& linkStrain,
                                                const std::map<Id, QualityTier>& tiers,
                                                double now) {
    std::vector<ListRow> rows;
    rows.reserve(guests.size());
    for (const auto& guest : guests) {
        ListRow row;
        row.id = guest.id;
        row.name = QString::fromStdString(guest.displayName());
        row.address = QString::fromStdString(guest.endpoint);
        if (const auto strain = linkStrain.find(guest.id); strain != linkStrain.end()) {
            row.strain = strain->second;
        }
        row.strainWord = QString::fromUtf8(NetworkHealth::strainLabel(row.strain));
        if (const auto tier = tiers.find(guest.id); tier != tiers.end()) {
            row.tierLabel = QString::fromStdString(tier->second.label());
        }
        row.sync = GuestSync::state(now, guest.stats, guest.statsAt);
        row.syncText = syncText(row.sync);
        rows.push_back(std::move(row));
    }
    return rows;
}

QStringList GuestRows::TableRow::cells() const {
    return {device, address, rtt, minRtt, offset, queue, dropped, stale, error, latency};
}

GuestRows::TableRow GuestRows::tableRow(const GuestConnection::Snapshot& guest) {
    TableRow row;
    row.device = QString::fromStdString(guest.displayName());
    row.address = QString::fromStdString(guest.endpoint);
    row.queue = QString::asprintf("%.0f%%", guest.occupancy * 100);
    row.dropped = QString::asprintf("%lld", static_cast<long long>(guest.droppedFrames));
    row.stale = QString::asprintf("%lld", static_cast<long long>(guest.expiredFrames));
    if (!guest.stats) {
        row.rtt = row.minRtt = row.offset = row.error = row.latency = emDash;
        return row;
    }
    const ClientStat& stats = *guest.stats;
    row.rtt = milliseconds(stats.rttNanos, "%.1f ms");
    row.minRtt = milliseconds(stats.minRttNanos, "%.1f ms");
    row.offset = milliseconds(static_cast<double>(stats.offsetNanos), "%+.1f ms");
    row.error = QString::asprintf("%+.1f ms", stats.syncErrorMicros / 1000.0);
    row.latency = QString::number(stats.latencyMs) + QStringLiteral(" ms");
    return row;
}

QString GuestRows::diagnosticsLine(const GuestConnection::Snapshot& guest) {
    const ClientStat stats = guest.stats.value_or(ClientStat{});
    QString word = QStringLiteral("no sync report");
    QString calibration;
    if (guest.stats) {
        word = stats.isLocked() ? QStringLiteral("in sync") : QStringLiteral("syncing…");
        if (needsCalibration(stats.route())) {
            calibration = stats.isCalibrated() ? QStringLiteral(", calibrated")
                                               : QStringLiteral(", not calibrated");
        }
    }
    return QString::fromStdString(guest.displayName()) +
           QString::asprintf("  ·  err %+.1f ms  ·  L %d ms  ·  ", stats.syncErrorMicros / 1000.0,
                             static_cast<int>(stats.latencyMs)) +
           word + calibration;
}

}  // namespace zoranth
