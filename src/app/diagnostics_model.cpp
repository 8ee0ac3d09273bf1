#include "app/diagnostics_model.h"

#include "app/settings_text.h"
#include "host/host_log.h"

namespace zoranth {

DiagnosticsModel::DiagnosticsModel(QObject* parent)
    : QAbstractListModel(parent), values_(values(Facts{})) {}

QStringList DiagnosticsModel::labels() {
    return {QStringLiteral("Capture format"),
            QStringLiteral("IO buffer"),
            QStringLiteral("Chunks produced"),
            QStringLiteral("Ring depth"),
            QStringLiteral("Ring overruns"),
            QStringLiteral("Discontinuities"),
            QStringLiteral("Capture state"),
            QStringLiteral("Comfortable at"),
            QStringLiteral("Offered load"),
            QStringLiteral("Strain"),
            QStringLiteral("Rave name"),
            QStringLiteral("Address"),
            QStringLiteral("Guests"),
            QStringLiteral("Sleep"),
            QStringLiteral("Capture deliveries"),
            QStringLiteral("Admission")};
}

QStringList DiagnosticsModel::values(const Facts& facts) {
    return {facts.tapFormat,
            SettingsText::ioBuffer(facts.ioBufferFrames),
            QString::number(facts.chunksProduced),
            QString::number(facts.ringDepth),
            QString::number(facts.ringOverruns),
            QString::number(facts.discontinuities),
            SettingsText::captureState(facts.diagnosis),
            SettingsText::comfortableAt(facts.headroom.comfortableAt),
            SettingsText::offeredLoad(facts.headroom.offeredMbps),
            SettingsText::strain(facts.headroom.strain),
            SettingsText::raveName(facts.advertisedName),
            SettingsText::address(facts.addresses, facts.listenPort),
            QString::number(facts.guests),
            SettingsText::sleep(facts.isKeepingAwake),
            QString::number(facts.captureDeliveries),
            facts.admission};
}

QString DiagnosticsModel::hostLogPath() const {
    return QString::fromStdString(HostLog::logPath());
}

int DiagnosticsModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(values_.size());
}

QVariant DiagnosticsModel::data(const QModelIndex& index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid)) {
        return {};
    }
    switch (role) {
        case LabelRole:
            return labels().at(index.row());
        case Qt::DisplayRole:
        case ValueRole:
            return values_.at(index.row());
        default:
            return {};
    }
}

QHash<int, QByteArray> DiagnosticsModel::roleNames() const {
    return {{LabelRole, "label"}, {ValueRole, "value"}};
}

void DiagnosticsModel::show(const Facts& facts) {
    const QStringList next = values(facts);
    for (qsizetype row = 0; row < next.size(); ++row) {
        if (next[row] != values_[row]) {
            values_[row] = next[row];
            emit dataChanged(index(static_cast<int>(row)), index(static_cast<int>(row)),
                             {ValueRole});
        }
    }
}

}  // namespace zoranth
