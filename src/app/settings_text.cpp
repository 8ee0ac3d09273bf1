#include "app/settings_text.h"

#include <cmath>

namespace zoranth {

QString SettingsText::tier(QualityTier tier) {
    return QString::fromStdString(tier.label()) + QStringLiteral(" — ") +
           QString::fromStdString(tier.qualityNote());
}

QString SettingsText::bufferMilliseconds(double milliseconds) {
    return QString::asprintf("%lld", static_cast<long long>(std::llround(milliseconds))) +
           QStringLiteral(" ms");
}

QString SettingsText::roundTrip(const NetworkHealth::Headroom& headroom) {
    if (!headroom.floorMs) {
        return QStringLiteral("—");
    }
    return QString::asprintf("%.0f ms", *headroom.floorMs);
}

QString SettingsText::aboveThat(const NetworkHealth::Headroom& headroom) {
    return QString::fromStdString(headroom.summary());
}

QStringList SettingsText::advice(const std::optional<LinkCapacity::Link>& link,
                                 LinkCapacity::HostAttachment attachment) {
    QStringList lines;
    for (const auto& line : LinkCapacity::advice(link, attachment, false)) {
        lines.push_back(QString::fromStdString(line));
    }
    return lines;
}

QString SettingsText::ioBuffer(qint64 frames) {
    return QString::number(frames) +
           QStringLiteral(" frames (the wire chunk is 960 — these are unrelated)");
}

QString SettingsText::captureState(const SilenceWatchdog::Diagnosis& diagnosis) {
    using Case = SilenceWatchdog::Diagnosis::Case;
    switch (diagnosis.kind) {
        case Case::receivingAudio:
            return QStringLiteral("receiving audio");
        case Case::idle:
            return QString::asprintf("silent %.0fs (nothing is playing)", diagnosis.seconds);
        case Case::likelyDenied:
            return QString::asprintf("silent %.0fs while output is active", diagnosis.seconds);
        case Case::notCapturing:
            return QString::asprintf("NO BUFFERS for %.0fs — capture is not running",
                                     diagnosis.seconds);
    }
    return {};
}

QString SettingsText::comfortableAt(int guests) {
    if (guests == 0) {
        return QStringLiteral("not measured yet");
    }
    return QString::number(guests) + QStringLiteral(" guests");
}

QString SettingsText::offeredLoad(double megabitsPerSecond) {
    return QString::asprintf("%.2f Mbps", megabitsPerSecond);
}

QString SettingsText::strain(double strain) {
    return QString::fromStdString(NetworkHealth::strainDescription(strain));
}

QString SettingsText::raveName(const QString& advertisedName) {
    return advertisedName.isEmpty() ? QStringLiteral("not registered yet") : advertisedName;
}

QString SettingsText::address(const QStringList& addresses, int port) {
    if (addresses.isEmpty()) {
        return QStringLiteral("no address yet");
    }
    return addresses.join(QStringLiteral(", ")) + QStringLiteral(" : ") + QString::number(port);
}

QString SettingsText::sleep(bool isKeepingAwake) {
    return isKeepingAwake ? QStringLiteral("held off — don't close the lid")
                          : QStringLiteral("not held");
}

}  // namespace zoranth
