// The connected guests, one row each, for the main window's guest list and the settings'
// guest table and diagnostics lines: name and address, link strain, quality tier, sync
// state, the table's formatted measurements. Also the lines about all of them: how many
// listen and are in sync, and the network verdict's summary and offered load. Rows keep
// their place while their values change, so the views keep their delegates. The broadcast
// controller shows each refresh here. Main thread only.
#pragma once

#include <QtQml/qqmlregistration.h>
#include <QAbstractListModel>
#include <QString>
#include <QStringList>

#include <map>
#include <span>
#include <vector>

#include "app/guest_rows.h"
#include "host/net/guest_connection.h"
#include "host/network_health.h"
#include "kit/quality_tier.h"

namespace zoranth {

class GuestListModel : public QAbstractListModel {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("The guest list belongs to the window's models.")
    Q_PROPERTY(int count READ count NOTIFY countChanged)
    // "Waiting for guests", "3 listening  ·  2 of 3 in sync  ·  1 to calibrate".
    Q_PROPERTY(QString listeningText READ listeningText NOTIFY listeningTextChanged)
    // The network verdict's one line: "No guests connected.", "3 guests · healthy".
    Q_PROPERTY(QString summary READ summary NOTIFY summaryChanged)
    // "0.61 Mbps", or empty while nothing is sent.
    Q_PROPERTY(QString offeredLoad READ offeredLoad NOTIFY offeredLoadChanged)

  public:
    enum class Sync { NoReport, Syncing, InSync, InSyncNeedsCalibration };
    Q_ENUM(Sync)

    enum Role {
        GuestIdRole = Qt::UserRole + 1,
        NameRole,
        AddressRole,
        StrainRole,  // 1.0 is the struggling threshold
        StrainWordRole,
        TierLabelRole,  // empty while the guest has no tier yet
        SyncRole,
        SyncTextRole,
        NeedsCalibrationRole,
        TableCellsRole,  // the guest table's ten cells, in column order
        DiagnosticsLineRole,
    };

    explicit GuestListModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    int count() const { return static_cast<int>(rows_.size()); }
    QString listeningText() const { return listeningText_; }
    QString summary() const { return summary_; }
    QString offeredLoad() const { return offeredLoad_; }

    // The guests in id order, the verdict over them and each one's tier; `now` on the
    // clock of the snapshots' statsAt.
    void show(const std::vector<GuestConnection::Snapshot>& guests,
              const NetworkHealth::Verdict& verdict,
              const std::map<GuestConnection::Id, QualityTier>& tiers, double now);

  signals:
    void countChanged();
    void listeningTextChanged();
    void summaryChanged();
    void offeredLoadChanged();

  private:
    struct Row {
        GuestRows::ListRow list;
        GuestRows::TableRow table;
        QString diagnosticsLine;
        friend bool operator==(const Row&, const Row&) = default;
    };

    void replaceRows(std::vector<Row> rows);

    std::vector<Row> rows_;
    QString listeningText_;
    QString summary_;
    QString offeredLoad_;
};

}  // namespace zoranth
