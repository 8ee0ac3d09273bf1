// The main window's texts that depend on the rave's state: the status and listening
// lines of the header, the buffer, the address guests can type, and the section about
// silencing this computer's own speakers. Pure functions of their arguments: any thread.
#pragma once

#include <QString>
#include <QStringList>

#include <span>

#include "host/mute_control.h"
#include "host/net/guest_connection.h"
#include "host/session/rave_session.h"

namespace zoranth {

struct RootViewText {
    RootViewText() = delete;

    // "Ready to start", "Starting — …", "The rave is live", "Couldn't start: " + message.
    static QString status(const RaveSession::State& state);

    // "Waiting for guests", "1 listening", "3 listening", then how many are in sync and
    // how many need calibrating. `now` is on the clock of the snapshots' statsAt.
    static QString listening(std::span<const GuestConnection::Snapshot> guests, double now);

    // "“name”  ·  addresses : port", as guests would type it.
    static QString address(const QString& advertisedName, const QStringList& addresses, int port);

    // The delay in seconds with one decimal: 4500 ms reads "4.5".
    static QString seconds(double milliseconds);
    // "Buffer 4.5 s".
    static QString buffer(double milliseconds);

    // The silence section: what this computer's speakers are doing, and the button.
    struct Silence {
        QString symbol;
        QString headline;
        QString detail;      // empty: no detail line
        QString button;      // empty: no button
        bool mutes = false;  // the button mutes (else it unmutes)
    };
    static Silence silence(bool isMuted, MuteControl::Strategy strategy, double bufferDelayMs);
};

}  // namespace zoranth
