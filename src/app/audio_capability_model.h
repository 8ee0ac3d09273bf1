// Whether Zoranth can record this computer's audio, as the window sees it: the probe's
// verdict and whether a probe runs, as properties, what stops the recording and its fix
// in the checkup's words, and check() for the cards and the checkup. Main thread only;
// the probe runs on the monitor's own queue.
#pragma once

#include <QtQml/qqmlregistration.h>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

#include "host/capture/audio_capability_monitor.h"

namespace zoranth {

class AudioCapabilityModel : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("The capture-permission monitor belongs to the window's models.")
    // Unknown before the first probe has finished.
    Q_PROPERTY(Verdict verdict READ verdict NOTIFY changed)
    // What stops the recording (a sandbox's refusal, no sound server) and how to fix it,
    // as the checkup says it; empty when nothing does.
    Q_PROPERTY(QString problemDetail READ problemDetail NOTIFY changed)
    Q_PROPERTY(QString problemFix READ problemFix NOTIFY changed)
    Q_PROPERTY(bool isProbing READ isProbing NOTIFY changed)
    Q_PROPERTY(bool isAwaitingAnswer READ isAwaitingAnswer NOTIFY changed)
    Q_PROPERTY(bool lastWasUnresolved READ lastWasUnresolved NOTIFY changed)

  public:
    enum class Verdict { Unknown, Granted, Denied, Unreachable, Undetermined };
    Q_ENUM(Verdict)
    enum class Trigger { Launch, Activation, UserRequest };
    Q_ENUM(Trigger)

    // The probe, and the clock the monitor debounces with; empty for the real ones.
    struct Dependencies {
        std::function<AudioCapability::Verdict()> probe;
        std::function<double()> now;
    };

    explicit AudioCapabilityModel(Dependencies dependencies, QObject* parent = nullptr);
    ~AudioCapabilityModel() override;

    Q_INVOKABLE void check(Trigger trigger);

    Verdict verdict() const;
    QString problemDetail() const;
    QString problemFix() const;
    bool isProbing() const { return monitor_->isProbing(); }
    bool isAwaitingAnswer() const { return monitor_->isAwaitingAnswer(); }
    bool lastWasUnresolved() const { return monitor_->lastWasUnresolved(); }
    const AudioCapabilityMonitor& monitor() const { return *monitor_; }

  signals:
    void changed();

  private:
    std::unique_ptr<AudioCapabilityMonitor> monitor_;
    // Re-reads isAwaitingAnswer once a probe has run long enough for it to turn true.
    QTimer awaitingTimer_;
};

}  // namespace zoranth
