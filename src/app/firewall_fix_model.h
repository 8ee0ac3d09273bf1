// The firewall sheet's model: the commands to show and copy, and the fix run off the
// window's thread, reported back as a failure message or none. Main thread only.
#pragma once

#include <QtQml/qqmlregistration.h>
#include <QObject>
#include <QString>
#include <QVariant>

#include <functional>
#include <optional>

#include "host/checks/firewall_fix.h"

namespace zoranth {

class FirewallFixModel : public QObject {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QString manualCommand READ manualCommand CONSTANT)
    Q_PROPERTY(QString commandPreview READ commandPreview CONSTANT)
    Q_PROPERTY(bool isRunning READ isRunning NOTIFY isRunningChanged)

  public:
    // Applies the fix and calls back, on any thread, with the outcome.
    using Applier = std::function<void(std::function<void(FirewallFix::Outcome)> done)>;

    explicit FirewallFixModel(QObject* parent = nullptr);

    // The fix to run; the real one (FirewallFix::applyAsync) unless a test swaps it.
    void setApplier(Applier applier) { applier_ = std::move(applier); }

    QString manualCommand() const;
    QString commandPreview() const;
    bool isRunning() const { return isRunning_; }

    Q_INVOKABLE void copyCommand();
    // Runs the fix once; `finished` follows on the main thread.
    Q_INVOKABLE void apply();

    // What the window reports of an outcome: the failure with where else to change it,
    // or none when the fix worked or the user cancelled the password prompt.
    static std::optional<QString> failureText(const FirewallFix::Outcome& outcome);

  signals:
    void isRunningChanged();
    // The failure text, or an undefined value when there is nothing to report.
    void finished(const QVariant& failureMessage);

  private:
    void finish(const FirewallFix::Outcome& outcome);

    FirewallFix fix_;
    Applier applier_;
    bool isRunning_ = false;
};

}  // namespace zoranth
