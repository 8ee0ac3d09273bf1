// The rave as the main window's header and the settings read it: its state and status
// line, its name, buffer and guest limit (settings the user edits), where it listens and
// the capture warning; start() and stop() for the main button. The broadcast controller
// shows the session here after every change; edits and operations go to RaveControls.
// Main thread only.
#pragma once

#include <QtQml/qqmlregistration.h>
#include <QObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <string>

#include "app/rave_controls.h"
#include "host/session/rave_session.h"

namespace zoranth {

class RaveModel : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("The rave model belongs to the window's models.")
    Q_PROPERTY(State state READ state NOTIFY stateChanged)
    Q_PROPERTY(bool isLive READ isLive NOTIFY stateChanged)
    // The failed start's message; empty otherwise.
    Q_PROPERTY(QString failureMessage READ failureMessage NOTIFY stateChanged)
    // "Ready to start", "Starting — …", "The rave is live", "Couldn't start: …".
    Q_PROPERTY(QString statusText READ statusText NOTIFY stateChanged)
    Q_PROPERTY(QString raveName READ raveName WRITE setRaveName NOTIFY raveNameChanged)
    Q_PROPERTY(
        double bufferDelayMs READ bufferDelayMs WRITE setBufferDelayMs NOTIFY bufferDelayMsChanged)
    // "Buffer 4.5 s".
    Q_PROPERTY(QString bufferText READ bufferText NOTIFY bufferDelayMsChanged)
    // "4500 ms", beside the settings' slider.
    Q_PROPERTY(
        QString bufferMillisecondsText READ bufferMillisecondsText NOTIFY bufferDelayMsChanged)
    // How many guests the rave takes, 1…maxGuestsCeiling.
    Q_PROPERTY(int maxGuests READ maxGuests WRITE setMaxGuests NOTIFY maxGuestsChanged)
    Q_PROPERTY(int maxGuestsCeiling READ maxGuestsCeiling CONSTANT)
    // 0 until the server listens.
    Q_PROPERTY(int listenPort READ listenPort NOTIFY listenPortChanged)
    // Empty until the rave's name is registered on the network.
    Q_PROPERTY(QString advertisedName READ advertisedName NOTIFY advertisedNameChanged)
    // This computer's addresses guests can reach.
    Q_PROPERTY(QStringList addresses READ addresses NOTIFY addressesChanged)
    // What a guest's phone opens to join: "http://192.168.1.20:40311/"; empty while the
    // rave is not live.
    Q_PROPERTY(QString joinLink READ joinLink NOTIFY joinLinkChanged)
    // Why guests hear nothing although the rave runs; empty when capture is fine.
    Q_PROPERTY(QString permissionWarning READ permissionWarning NOTIFY permissionWarningChanged)

  public:
    enum class State { Idle, Starting, Broadcasting, Failed };
    Q_ENUM(State)

    explicit RaveModel(RaveControls& controls, QObject* parent = nullptr);

    State state() const;
    bool isLive() const { return state_.kind == RaveSession::State::Case::broadcasting; }
    QString failureMessage() const { return QString::fromStdString(state_.message); }
    QString statusText() const;
    QString raveName() const { return raveName_; }
    double bufferDelayMs() const { return bufferDelayMs_; }
    QString bufferText() const;
    QString bufferMillisecondsText() const;
    int maxGuests() const { return maxGuests_; }
    static int maxGuestsCeiling();
    int listenPort() const { return listenPort_; }
    QString advertisedName() const { return advertisedName_; }
    QStringList addresses() const { return addresses_; }
    QString permissionWarning() const { return permissionWarning_; }
    QString joinLink() const { return joinLink_; }

    // Edited in the window: shown at once and handed on, even when unchanged (the
    // preferences store every assignment).
    void setRaveName(const QString& name);
    void setBufferDelayMs(double milliseconds);
    // Brought into 1…maxGuestsCeiling first, so the control and the rave agree.
    void setMaxGuests(int guests);

    Q_INVOKABLE void start();
    Q_INVOKABLE void stop();

    // What the session shows.
    void showState(const RaveSession::State& state);
    void showSettings(const RaveSession::Settings& settings);
    void showListening(std::uint16_t port, const std::optional<std::string>& advertisedName);
    void showAddresses(const QStringList& addresses);
    void showPermissionWarning(const std::optional<std::string>& warning);
    void showJoinLink(const QString& link);

  signals:
    void stateChanged();
    void raveNameChanged();
    void bufferDelayMsChanged();
    void maxGuestsChanged();
    void listenPortChanged();
    void advertisedNameChanged();
    void addressesChanged();
    void permissionWarningChanged();
    void joinLinkChanged();

  private:
    RaveControls& controls_;
    RaveSession::State state_;
    QString raveName_;
    double bufferDelayMs_ = 4500;
    int maxGuests_ = static_cast<int>(GuestAdmission::defaultMaxGuests);
    int listenPort_ = 0;
    QString advertisedName_;
    QStringList addresses_;
    QString permissionWarning_;
    QString joinLink_;
};

}  // namespace zoranth
