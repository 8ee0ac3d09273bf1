#include "app/root_view_text.h"

#include <vector>

#include "host/guest_sync.h"

namespace zoranth {

QString RootViewText::status(const QString& state, const QString& failureMessage) {
    if (state == QLatin1String("starting")) {
        return QStringLiteral("Starting — answer the audio permission prompt if it appears…");
    }
    if (state == QLatin1String("broadcasting")) {
        return QStringLiteral("The rave is live");
    }
    if (state == QLatin1String("failed")) {
        return QStringLiteral("Couldn't start: ") + failureMessage;
    }
    return QStringLiteral("Ready to start");
}

QString RootViewText::listening(std::span<const GuestConnection::Snapshot> clients, double now) {
    if (clients.empty()) {
        return QStringLiteral("Waiting for guests");
    }
    QString text = QString::number(clients.size()) + QStringLiteral(" listening");
    std::vector<GuestSync::State> states;
    states.reserve(clients.size());
    for (const auto& client : clients) {
        states.push_back(GuestSync::state(now, client.stats, client.statsAt));
    }
    const QString separator = QStringLiteral("  ·  ");
    if (const auto summary = GuestSync::summary(states)) {
        text += separator + QString::fromStdString(*summary);
    }
    if (const auto note = GuestSync::calibrationNote(states)) {
        text += separator + QString::fromStdString(*note);
    }
    return text;
}

QString RootViewText::address(const QString& advertisedName, const QStringList& addresses,
                              int port) {
    const QString name = advertisedName.isEmpty() ? QStringLiteral("registering…") : advertisedName;
    const QString where =
        addresses.isEmpty() ? QStringLiteral("—") : addresses.join(QStringLiteral(", "));
    return QLatin1Char('"') + name + QLatin1Char('"') + QStringLiteral("  ·  ") + where +
           QStringLiteral(" : ") + QString::number(port);
}

QString RootViewText::seconds(double milliseconds) {
    return QString::asprintf("%.1f", milliseconds / 1000.0);
}

QString RootViewText::buffer(double milliseconds) {
    return QStringLiteral("Buffer ") + seconds(milliseconds) + QStringLiteral(" s");
}

RootViewText::Silence RootViewText::silence(bool isMacMuted, const QString& muteStrategy,
                                            double bufferDelayMs) {
    if (isMacMuted) {
        return {QStringLiteral("speaker.slash.fill"),
                QStringLiteral("This Mac is silent. The rave is still being broadcast."), QString(),
                QStringLiteral("Unmute"), false};
    }
    if (muteStrategy == QLatin1String("unavailable")) {
        return {QStringLiteral("speaker.wave.2.fill"),
                QStringLiteral("This Mac's speakers can't be muted from here"),
                QStringLiteral("This output has no volume control macOS can reach — the same "
                               "reason the volume keys don't work for it. Turn the speakers down "
                               "at the speakers, or start the rave and mute from there."),
                QString(), false};
    }
    return {QStringLiteral("speaker.wave.2.fill"),
            QStringLiteral("This Mac's speakers are still playing out loud"),
            QStringLiteral("Your speakers run about ") + seconds(bufferDelayMs) +
                QStringLiteral(" seconds ahead of the phones — that's the buffer, not a fault. "
                               "Listen to check audio is flowing, then mute."),
            QStringLiteral("Mute this Mac"), true};
}

QString RootViewText::hogWarning(const QString& owner) {
    return owner + QStringLiteral(
                       " has exclusive control of the audio device, which may stop "
                       "Zoranth from capturing.");
}

}  // namespace zoranth
