#include "app/view_text.h"

#include <map>

#include "app/contract_values.h"
#include "app/controller_values.h"
#include "app/guest_rows.h"
#include "app/root_view_text.h"
#include "app/settings_text.h"
#include "host/wall_clock.h"

namespace zoranth {
namespace {

using Reason = SystemCheckup::Reason;

QVariantMap troubleRow(const SystemCheckup::Finding& finding) {
    QVariantMap map = ControllerValues::finding(finding);
    QString action = QStringLiteral("openSettings");
    QString label = QStringLiteral("Open Settings");
    if (finding.reason == Reason::portBlocked || finding.reason == Reason::mdnsBlocked) {
        action = QStringLiteral("firewall");
        label = QStringLiteral("Allow guests through the firewall");
    }
    map.insert(QStringLiteral("action"), action);
    map.insert(QStringLiteral("actionLabel"), label);
    return map;
}

QString syncName(GuestSync::State state) {
    switch (state) {
        case GuestSync::State::syncing:
            return QStringLiteral("syncing");
        case GuestSync::State::inSync:
            return QStringLiteral("inSync");
        case GuestSync::State::inSyncNeedsCalibration:
            return QStringLiteral("inSyncNeedsCalibration");
        case GuestSync::State::noReport:
            break;
    }
    return QStringLiteral("noReport");
}

}  // namespace

ViewText::ViewText(QObject* parent) : QObject(parent), now_(WallClock::now) {}

QString ViewText::status(const QString& state, const QString& failureMessage) const {
    return RootViewText::status(state, failureMessage);
}

QString ViewText::listening(const QVariantList& clients) const {
    return RootViewText::listening(ContractValues::snapshots(clients), now_());
}

QString ViewText::address(const QString& advertisedName, const QStringList& addresses,
                          int port) const {
    return RootViewText::address(advertisedName, addresses, port);
}

QString ViewText::buffer(double milliseconds) const {
    return RootViewText::buffer(milliseconds);
}

QVariantMap ViewText::silence(bool isMacMuted, const QString& muteStrategy,
                              double bufferDelayMs) const {
    const auto silence = RootViewText::silence(isMacMuted, muteStrategy, bufferDelayMs);
    return {
        {QStringLiteral("symbol"), silence.symbol}, {QStringLiteral("headline"), silence.headline},
        {QStringLiteral("detail"), silence.detail}, {QStringLiteral("button"), silence.button},
        {QStringLiteral("mutes"), silence.mutes},
    };
}

QString ViewText::hogWarning(const QString& owner) const {
    return RootViewText::hogWarning(owner);
}

QVariantList ViewText::troubleRows(const QVariantList& findings) const {
    QVariantList rows;
    for (const QVariant& finding : findings) {
        rows.push_back(troubleRow(ContractValues::finding(finding.toMap())));
    }
    return rows;
}

QVariantList ViewText::guestRows(const QVariantList& clients, const QVariantMap& health,
                                 const QVariantMap& clientTiers) const {
    std::map<GuestRows::Id, QualityTier> tiers;
    for (auto it = clientTiers.constBegin(); it != clientTiers.constEnd(); ++it) {
        bool ok = false;
        const auto id = it.key().toLongLong(&ok);
        if (const auto tier = ControllerValues::tier(it.value().toString()); ok && tier) {
            tiers.emplace(id, *tier);
        }
    }
    QVariantList list;
    for (const auto& row : GuestRows::list(ContractValues::snapshots(clients),
                                           ContractValues::linkStrain(health), tiers, now_())) {
        list.push_back(QVariantMap{
            {QStringLiteral("id"), static_cast<double>(row.id)},
            {QStringLiteral("name"), row.name},
            {QStringLiteral("address"), row.address},
            {QStringLiteral("strain"), row.strain},
            {QStringLiteral("strainWord"), row.strainWord},
            {QStringLiteral("tierLabel"), row.tierLabel},
            {QStringLiteral("sync"), syncName(row.sync)},
            {QStringLiteral("syncText"), row.syncText},
            {QStringLiteral("needsCalibration"),
             row.sync == GuestSync::State::inSyncNeedsCalibration},
        });
    }
    return list;
}

QStringList ViewText::guestTableCells(const QVariantList& clients) const {
    QStringList cells;
    for (const auto& client : ContractValues::snapshots(clients)) {
        const auto row = GuestRows::tableRow(client);
        cells << row.device << row.address << row.rtt << row.minRtt << row.offset << row.queue
              << row.dropped << row.stale << row.error << row.latency;
    }
    return cells;
}

QStringList ViewText::guestDiagnosticsLines(const QVariantList& clients) const {
    QStringList lines;
    for (const auto& client : ContractValues::snapshots(clients)) {
        lines.push_back(GuestRows::diagnosticsLine(client));
    }
    return lines;
}

QString ViewText::offeredLoadCaption(const QVariantMap& health) const {
    const double offered = ContractValues::headroom(health).offeredMbps;
    return offered > 0 ? SettingsText::offeredLoad(offered) : QString();
}

QVariantList ViewText::tiers() const {
    QVariantList list;
    for (const QualityTier tier : QualityTier::allCases) {
        list.push_back(QVariantMap{
            {QStringLiteral("name"), ControllerValues::tierName(tier)},
            {QStringLiteral("text"), SettingsText::tier(tier)},
        });
    }
    return list;
}

QString ViewText::tierText(const QString& tier) const {
    const auto value = ControllerValues::tier(tier);
    return value ? SettingsText::tier(*value) : QString();
}

QString ViewText::tierLabel(const QString& tier) const {
    const auto value = ControllerValues::tier(tier);
    return value ? QString::fromStdString(value->label()) : QString();
}

QString ViewText::bufferMilliseconds(double milliseconds) const {
    return SettingsText::bufferMilliseconds(milliseconds);
}

QString ViewText::roundTrip(const QVariantMap& health) const {
    return SettingsText::roundTrip(ContractValues::headroom(health));
}

QString ViewText::aboveThat(const QVariantMap& health) const {
    return SettingsText::aboveThat(ContractValues::headroom(health));
}

QStringList ViewText::advice(const QVariant& link, const QString& attachment) const {
    return SettingsText::advice(ContractValues::link(link), ContractValues::attachment(attachment));
}

QString ViewText::ioBuffer(double frames) const {
    return SettingsText::ioBuffer(static_cast<qint64>(frames));
}

QString ViewText::count(double value) const {
    return QString::number(static_cast<qint64>(value));
}

QString ViewText::captureState(const QVariantMap& diagnosis) const {
    return SettingsText::captureState(ContractValues::diagnosis(diagnosis));
}

QString ViewText::comfortableAt(const QVariantMap& health) const {
    return SettingsText::comfortableAt(ContractValues::headroom(health).comfortableAt);
}

QString ViewText::offeredLoad(const QVariantMap& health) const {
    return SettingsText::offeredLoad(ContractValues::headroom(health).offeredMbps);
}

QString ViewText::strain(const QVariantMap& health) const {
    return SettingsText::strain(ContractValues::headroom(health).strain);
}

QString ViewText::raveName(const QString& advertisedName) const {
    return SettingsText::raveName(advertisedName);
}

QString ViewText::diagnosticsAddress(const QStringList& addresses, int port) const {
    return SettingsText::address(addresses, port);
}

QString ViewText::sleep(bool isKeepingAwake) const {
    return SettingsText::sleep(isKeepingAwake);
}

}  // namespace zoranth
