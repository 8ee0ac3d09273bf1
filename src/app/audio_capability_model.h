// The capture-permission monitor as the window sees it: its verdict and whether a probe
// runs or waits for the user's answer, as properties, and check() and openSettings() for
// the cards and the checkup. Main thread only; the probe runs on the monitor's own queue.
#pragma once

#include <QtQml/qqmlregistration.h>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <memory>

#include "host/capture/audio_capability_monitor.h"

namespace zoranth {

class AudioCapabilityModel : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("The capture-permission monitor belongs to the window's models.")
    // Unknown before the first probe has finished.
    Q_PROPERTY(Verdict verdict READ verdict NOTIFY changed)
    // Why the probe could not decide; "" otherwise.
    Q_PROPERTY(QString verdictReason READ verdictReason NOTIFY changed)
    Q_PROPERTY(bool isProbing READ isProbing NOTIFY changed)
    Q_PROPERTY(bool isAwaitingAnswer READ isAwaitingAnswer NOTIFY changed)
    Q_PROPERTY(bool lastWasUnresolved READ lastWasUnresolved NOTIFY changed)

  public:
    enum class Verdict { Unknown, Granted, Denied, Undetermined };
    Q_ENUM(Verdict)
    enum class Trigger { Launch, Activation, UserRequest };
    Q_ENUM(Trigger)

    // The Audio Recording pane of the system's privacy settings.
    static constexpr const char* settingsUrl =
        "x-apple.systempreferences:com.apple.preference.security?Privacy_AudioCapture";

    // The probe, and the clock the monitor debounces with; empty for the real ones.
    struct Dependencies {
        std::function<AudioCapability::Verdict()> probe;
        std::function<double()> now;
    };

    explicit AudioCapabilityModel(Dependencies dependencies, QObject* parent = nullptr);
    ~AudioCapabilityModel() override;

    Q_INVOKABLE void check(Trigger trigger);
    // Asks the desktop to open the Audio Recording settings (settingsRequested).
    Q_INVOKABLE void openSettings();

    Verdict verdict() const;
    QString verdictReason() const;
    bool isProbing() const { return monitor_->isProbing(); }
    bool isAwaitingAnswer() const { return monitor_->isAwaitingAnswer(); }
    bool lastWasUnresolved() const { return monitor_->lastWasUnresolved(); }
    const AudioCapabilityMonitor& monitor() const { return *monitor_; }

  signals:
    void changed();
    // The application shell opens the address with the desktop's handler.
    void settingsRequested(const QUrl& url);

  private:
    std::unique_ptr<AudioCapabilityMonitor> monitor_;
    // Re-reads isAwaitingAnswer once a probe has run long enough for it to turn true.
    QTimer awaitingTimer_;
};

}  // namespace zoranth
