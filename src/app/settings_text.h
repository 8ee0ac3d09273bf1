// The settings window's formatted values: tiers in the quality pickers, the buffer's
// value, what the guests measure, this computer's link advice, and the diagnostics
// screen's rows. Pure functions of their arguments: any thread.
#pragma once

#include <QString>
#include <QStringList>

#include <optional>

#include "host/link_capacity.h"
#include "host/network_health.h"
#include "kit/quality_tier.h"
#include "kit/silence_watchdog.h"

namespace zoranth {

struct SettingsText {
    SettingsText() = delete;

    // "128 kbps — very good".
    static QString tier(QualityTier tier);
    // "4500 ms": the slider's value, whole milliseconds.
    static QString bufferMilliseconds(double milliseconds);

    // "Round trip": the guests' floor, "23 ms", or an em dash before any report.
    static QString roundTrip(const NetworkHealth::Headroom& headroom);
    // "Above that": "measuring…", or "14 ms, steady".
    static QString aboveThat(const NetworkHealth::Headroom& headroom);

    // One line per piece of advice for this computer's link; no range extender assumed.
    static QStringList advice(const std::optional<LinkCapacity::Link>& link,
                              LinkCapacity::HostAttachment attachment);

    // The diagnostics screen's rows.
    static QString ioBuffer(qint64 frames);
    static QString captureState(const SilenceWatchdog::Diagnosis& diagnosis);
    static QString comfortableAt(int guests);
    static QString offeredLoad(double megabitsPerSecond);
    static QString strain(double strain);
    static QString raveName(const QString& advertisedName);
    static QString address(const QStringList& addresses, int port);
    static QString sleep(bool isKeepingAwake);
};

}  // namespace zoranth
