// This computer's own speakers during a rave, as the main window's silence section shows
// them: whether they are muted and by whom, how they can be muted, the section's symbol,
// headline, detail and button; mute() and unmute() for the button. The broadcast
// controller shows the session's mute state here. Main thread only.
#pragma once

#include <QtQml/qqmlregistration.h>
#include <QObject>
#include <QString>

#include "app/rave_controls.h"
#include "app/root_view_text.h"
#include "host/mute_control.h"

namespace zoranth {

class SpeakersModel : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("The speakers model belongs to the window's models.")
    Q_PROPERTY(bool isMuted READ isMuted NOTIFY changed)
    // This program muted them, so it unmutes them on the way out.
    Q_PROPERTY(bool weMuted READ weMuted NOTIFY changed)
    Q_PROPERTY(Strategy strategy READ strategy NOTIFY changed)
    Q_PROPERTY(QString symbol READ symbol NOTIFY changed)
    Q_PROPERTY(QString headline READ headline NOTIFY changed)
    // Empty: no detail line.
    Q_PROPERTY(QString detail READ detail NOTIFY changed)
    // Empty: no button.
    Q_PROPERTY(QString buttonText READ buttonText NOTIFY changed)
    // The button mutes; otherwise it unmutes.
    Q_PROPERTY(bool buttonMutes READ buttonMutes NOTIFY changed)

  public:
    enum class Strategy { Device, Tap, Unavailable };
    Q_ENUM(Strategy)

    explicit SpeakersModel(RaveControls& controls, QObject* parent = nullptr);

    bool isMuted() const { return isMuted_; }
    bool weMuted() const { return ownership_.weMuted; }
    Strategy strategy() const;
    QString symbol() const { return texts_.symbol; }
    QString headline() const { return texts_.headline; }
    QString detail() const { return texts_.detail; }
    QString buttonText() const { return texts_.button; }
    bool buttonMutes() const { return texts_.mutes; }

    Q_INVOKABLE bool mute();
    Q_INVOKABLE bool unmute();

    // What the session knows of the speakers; the buffer is in the detail line.
    void show(bool isMuted, const MuteControl::Ownership& ownership, MuteControl::Strategy strategy,
              double bufferDelayMs);

  signals:
    void changed();

  private:
    RaveControls& controls_;
    bool isMuted_ = false;
    MuteControl::Ownership ownership_ = MuteControl::Ownership::notMuted();
    MuteControl::Strategy strategy_ = MuteControl::Strategy::unavailable;
    double bufferDelayMs_ = 4500;
    RootViewText::Silence texts_;
};

}  // namespace zoranth
