#include "app/guest_list_model.h"

#include <utility>

#include "app/root_view_text.h"
#include "app/settings_text.h"

namespace zoranth {
namespace {

GuestListModel::Sync syncOf(GuestSync::State state) {
    switch (state) {
        case GuestSync::State::syncing:
            return GuestListModel::Sync::Syncing;
        case GuestSync::State::inSync:
            return GuestListModel::Sync::InSync;
        case GuestSync::State::inSyncNeedsCalibration:
            return GuestListModel::Sync::InSyncNeedsCalibration;
        case GuestSync::State::noReport:
            break;
    }
    return GuestListModel::Sync::NoReport;
}

}  // namespace

GuestListModel::GuestListModel(QObject* parent)
    : QAbstractListModel(parent),
      listeningText_(RootViewText::listening({}, 0)),
      summary_(QString::fromStdString(NetworkHealth::Verdict::initial().summary)) {}

int GuestListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : count();
}

QVariant GuestListModel::data(const QModelIndex& index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid)) {
        return {};
    }
    const Row& row = rows_[static_cast<std::size_t>(index.row())];
    switch (role) {
        case GuestIdRole:
            return static_cast<double>(row.list.id);
        case Qt::DisplayRole:
        case NameRole:
            return row.list.name;
        case AddressRole:
            return row.list.address;
        case StrainRole:
            return row.list.strain;
        case StrainWordRole:
            return row.list.strainWord;
        case TierLabelRole:
            return row.list.tierLabel;
        case SyncRole:
            return QVariant::fromValue(syncOf(row.list.sync));
        case SyncTextRole:
            return row.list.syncText;
        case NeedsCalibrationRole:
            return row.list.sync == GuestSync::State::inSyncNeedsCalibration;
        case TableCellsRole:
            return row.table.cells();
        case DiagnosticsLineRole:
            return row.diagnosticsLine;
        default:
            return {};
    }
}

QHash<int, QByteArray> GuestListModel::roleNames() const {
    return {
        {GuestIdRole, "guestId"},
        {NameRole, "name"},
        {AddressRole, "address"},
        {StrainRole, "strain"},
        {StrainWordRole, "strainWord"},
        {TierLabelRole, "tierLabel"},
        {SyncRole, "sync"},
        {SyncTextRole, "syncText"},
        {NeedsCalibrationRole, "needsCalibration"},
        {TableCellsRole, "tableCells"},
        {DiagnosticsLineRole, "diagnosticsLine"},
    };
}

void GuestListModel::show(const std::vector<GuestConnection::Snapshot>& guests,
                          const NetworkHealth::Verdict& verdict,
                          const std::map<GuestConnection::Id, QualityTier>& tiers, double now) {
    std::vector<Row> rows;
    rows.reserve(guests.size());
    const auto listRows = GuestRows::list(guests, verdict.linkStrain, tiers, now);
    for (std::size_t i = 0; i < guests.size(); ++i) {
        rows.push_back(
            {listRows[i], GuestRows::tableRow(guests[i]), GuestRows::diagnosticsLine(guests[i])});
    }
    replaceRows(std::move(rows));

    const QString listening = RootViewText::listening(guests, now);
    if (std::exchange(listeningText_, listening) != listening) {
        emit listeningTextChanged();
    }
    const QString summary = QString::fromStdString(verdict.summary);
    if (std::exchange(summary_, summary) != summary) {
        emit summaryChanged();
    }
    const double offered = verdict.headroom.offeredMbps;
    const QString load = offered > 0 ? SettingsText::offeredLoad(offered) : QString();
    if (std::exchange(offeredLoad_, load) != load) {
        emit offeredLoadChanged();
    }
}

// Both lists are in id order: walk them together, removing the guests that left,
// inserting the ones that joined and announcing new values for the ones that stayed.
void GuestListModel::replaceRows(std::vector<Row> rows) {
    const int before = count();
    std::size_t at = 0;
    for (Row& row : rows) {
        while (at < rows_.size() && rows_[at].list.id < row.list.id) {
            const int gone = static_cast<int>(at);
            beginRemoveRows({}, gone, gone);
            rows_.erase(rows_.begin() + gone);
            endRemoveRows();
        }
        const int place = static_cast<int>(at);
        if (at < rows_.size() && rows_[at].list.id == row.list.id) {
            if (!(rows_[at] == row)) {
                rows_[at] = std::move(row);
                emit dataChanged(index(place), index(place));
            }
        } else {
            beginInsertRows({}, place, place);
            rows_.insert(rows_.begin() + place, std::move(row));
            endInsertRows();
        }
        ++at;
    }
    if (at < rows_.size()) {
        beginRemoveRows({}, static_cast<int>(at), count() - 1);
        rows_.erase(rows_.begin() + static_cast<std::ptrdiff_t>(at), rows_.end());
        endRemoveRows();
    }
    if (count() != before) {
        emit countChanged();
    }
}

}  // namespace zoranth
