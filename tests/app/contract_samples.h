// Values in the shapes the broadcast controller hands the window (guest snapshots,
// network verdicts, checkup findings), for tests to set on the stand-in controller.
#pragma once

#include <QString>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>

#include <optional>

#include "host/wall_clock.h"
#include "protocol/wire_format.h"

namespace zoranth::samples {

// A guest's report: round trip, its minimum, clock offset and sync error in ms.
struct Report {
    QString deviceName;
    double rttMs = 4.2;
    double minRttMs = 3.1;
    double offsetMs = 12.5;
    double syncErrorMs = 0.4;
    int latencyMs = 40;
    bool locked = true;
    bool calibrated = false;
    RouteKind route = RouteKind::speaker;
    double ageSeconds = 1;  // how long ago it arrived
};

inline QVariantMap guest(qint64 id, const QString& endpoint, std::optional<Report> report,
                         double occupancy = 0.1, qint64 dropped = 0, qint64 expired = 0) {
    QVariantMap map{
        {QStringLiteral("id"), id},
        {QStringLiteral("endpoint"), endpoint},
        {QStringLiteral("queuedBytes"), 1200},
        {QStringLiteral("occupancy"), occupancy},
        {QStringLiteral("droppedFrames"), dropped},
        {QStringLiteral("expiredFrames"), expired},
        {QStringLiteral("framesSent"), 4000},
        {QStringLiteral("bytesSent"), 640000},
        {QStringLiteral("stats"), QVariant::fromValue(nullptr)},
        {QStringLiteral("statsAt"), QVariant::fromValue(nullptr)},
        {QStringLiteral("isOverBudget"), false},
    };
    if (report) {
        map[QStringLiteral("stats")] = QVariantMap{
            {QStringLiteral("rttNanos"), static_cast<qint64>(report->rttMs * 1e6)},
            {QStringLiteral("minRttNanos"), static_cast<qint64>(report->minRttMs * 1e6)},
            {QStringLiteral("offsetNanos"), static_cast<qint64>(report->offsetMs * 1e6)},
            {QStringLiteral("syncErrorMicros"), static_cast<int>(report->syncErrorMs * 1000)},
            {QStringLiteral("latencyMs"), report->latencyMs},
            {QStringLiteral("flags"),
             ClientStat::composeFlags(true, report->locked, report->calibrated, false,
                                      report->route)},
            {QStringLiteral("bufferDepthMs"), 4400},
            {QStringLiteral("deviceName"), report->deviceName},
        };
        map[QStringLiteral("statsAt")] = WallClock::now() - report->ageSeconds;
    }
    return map;
}

inline QVariantMap headroom(std::optional<double> floorMs = std::nullopt,
                            std::optional<double> inflationMs = std::nullopt, bool climbing = false,
                            int comfortableAt = 0, double offeredMbps = 0, double strain = 0) {
    const auto optional = [](std::optional<double> value) {
        return value ? QVariant(*value) : QVariant::fromValue(nullptr);
    };
    return {
        {QStringLiteral("floorMs"), optional(floorMs)},
        {QStringLiteral("inflationMs"), optional(inflationMs)},
        {QStringLiteral("isClimbing"), climbing},
        {QStringLiteral("comfortableAt"), comfortableAt},
        {QStringLiteral("offeredMbps"), offeredMbps},
        {QStringLiteral("strain"), strain},
    };
}

inline QVariantMap verdict(const QString& summary, const QVariantMap& room = headroom(),
                           const QVariantMap& linkStrain = {}) {
    return {
        {QStringLiteral("diagnosis"), QStringLiteral("healthy")},
        {QStringLiteral("guestCount"), 0},
        {QStringLiteral("strugglingCount"), 0},
        {QStringLiteral("summary"), summary},
        {QStringLiteral("struggling"), QVariantMap{}},
        {QStringLiteral("linkStrain"), linkStrain},
        {QStringLiteral("headroom"), room},
    };
}

inline QVariantMap finding(const QString& id, const QString& title, const QString& verdict,
                           const QString& reason, const QString& detail, const QString& fix = {},
                           const QString& settingsURL = {}) {
    return {
        {QStringLiteral("id"), id},
        {QStringLiteral("title"), title},
        {QStringLiteral("verdict"), verdict},
        {QStringLiteral("detail"), detail},
        {QStringLiteral("fix"), fix},
        {QStringLiteral("reason"), reason},
        {QStringLiteral("settingsURL"),
         settingsURL.isEmpty() ? QVariant::fromValue(nullptr) : QVariant(settingsURL)},
    };
}

}  // namespace zoranth::samples
