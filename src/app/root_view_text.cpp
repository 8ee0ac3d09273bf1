#include "app/root_view_text.h"

#include <vector>

#include "host/guest_sync.h"

namespace zoranth {

QString RootViewText::status(const RaveSession::State& state) {
    using Case = RaveSession::State::Case;
    switch (state.kind) {
        case Case::starting:
            return QStringLiteral("Starting — connecting to the sound server…");
        case Case::broadcasting:
            return QStringLiteral("The rave is live");
        case Case::failed:
            return QStringLiteral("Couldn't start: ") + QString::fromStdString(state.message);
        case Case::idle:
            break;
    }
    return QStringLiteral("Ready to start");
}

QString RootViewText::listening(std::span<const GuestConnection::Snapshot> guests, double now) {
    if (guests.empty()) {
        return QStringLiteral("Waiting for guests");
    }
    QString text = QString::number(guests.size()) + QStringLiteral(" listening");
    std::vector<GuestSync::State> states;
    states.reserve(guests.size());
    for (const auto& guest : guests) {
        states.push_back(GuestSync::state(now, guest.stats, guest.statsAt));
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

RootViewText::Silence RootViewText::silence(bool isMuted, MuteControl::Strategy strategy,
                                            double bufferDelayMs) {
    if (isMuted) {
        return {QStringLiteral("speaker.slash.fill"),
                QStringLiteral("This computer is silent. The rave is still being broadcast."),
                QString(), QStringLiteral("Unmute"), false};
    }
    if (strategy == MuteControl::Strategy::unavailable) {
        return {QStringLiteral("speaker.wave.2.fill"),
                QStringLiteral("This computer's speakers can't be muted from here"),
                QStringLiteral("The sound server offers no mute control for this output — the "
                               "same reason the volume keys don't work for it. Turn the speakers "
                               "down at the speakers, or start the rave and mute from there."),
                QString(), false};
    }
    return {QStringLiteral("speaker.wave.2.fill"),
            QStringLiteral("This computer's speakers are still playing out loud"),
            QStringLiteral("Your speakers run about ") + seconds(bufferDelayMs) +
                QStringLiteral(" seconds ahead of the phones — that's the buffer, not a fault. "
                               "Listen to check audio is flowing, then mute."),
            QStringLiteral("Mute the speakers"), true};
}

}  // namespace zoranth
