// What the guest list (main window), the guest table and the per-guest diagnostics lines
// (settings window) show for each connected guest, from the guests' snapshots, the
// network verdict's link strain and each guest's quality tier. Pure: any thread.
#pragma once

#include <QString>
#include <QStringList>

#include <map>
#include <optional>
#include <span>
#include <vector>

#include "host/guest_sync.h"
#include "host/net/guest_connection.h"
#include "kit/quality_tier.h"

namespace zoranth {

struct GuestRows {
    GuestRows() = delete;

    using Id = GuestConnection::Id;

    // One row of the main window's guest list.
    struct ListRow {
        Id id = 0;
        QString name;
        QString address;
        double strain = 0;   // 1.0 is the struggling threshold
        QString strainWord;  // "comfortable", "busy", "struggling"
        QString tierLabel;   // "128 kbps"; empty while the guest has no tier yet
        GuestSync::State sync = GuestSync::State::noReport;
        QString syncText;  // "syncing…", "in sync"; empty without a fresh report
        friend bool operator==(const ListRow&, const ListRow&) = default;
    };

    // In the order of `guests`; `now` on the clock of the snapshots' statsAt.
    static std::vector<ListRow> list(std::span<const GuestConnection::Snapshot> guests,
                                     const std::map<Id, double>& linkStrain,
                                     const std::map<Id, QualityTier>& tiers, double now);

    // One row of the guest table, every cell formatted; an em dash for what the guest
    // has not reported yet.
    struct TableRow {
        QString device;
        QString address;
        QString rtt;
        QString minRtt;
        QString offset;
        QString queue;
        QString dropped;
        QString stale;
        QString error;
        QString latency;
        friend bool operator==(const TableRow&, const TableRow&) = default;

        // The cells in the table's column order.
        QStringList cells() const;
    };
    static TableRow tableRow(const GuestConnection::Snapshot& guest);

    // "name  ·  err +1.2 ms  ·  L 40 ms  ·  in sync, not calibrated".
    static QString diagnosticsLine(const GuestConnection::Snapshot& guest);
};

}  // namespace zoranth
