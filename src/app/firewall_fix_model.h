// The firewall sheet's model: the commands that let guests through the firewall that is
// active, to show and copy, and the fix itself, both run off the window's thread (they
// read the firewall and run its tools); the fix is reported back as a failure message or
// none. Main thread only.
#pragma once

#include <QtQml/qqmlregistration.h>
#include <QObject>
#include <QString>
#include <QVariant>

#include <functional>
#include <optional>
#include <string>

#include "host/checks/firewall_fix.h"

namespace zoranth {

class FirewallFixModel : public QObject {
    Q_OBJECT
    QML_ELEMENT
    // One line to paste into a terminal; empty until looked up, and when no firewall
    // that Zoranth can change is active.
    Q_PROPERTY(QString manualCommand READ manualCommand NOTIFY commandsChanged)
    // The commands the fix runs, one per line.
    Q_PROPERTY(QString commandPreview READ commandPreview NOTIFY commandsChanged)
    // The commands have been looked up since the sheet opened.
    Q_PROPERTY(bool hasLookedUp READ hasLookedUp NOTIFY commandsChanged)
    Q_PROPERTY(bool isRunning READ isRunning NOTIFY isRunningChanged)

  public:
    // Applies the fix and calls back, on any thread, with the outcome.
    using Applier = std::function<void(std::function<void(FirewallFix::Outcome)> done)>;
    // The commands for the firewall active now: { manual line, preview }.
    struct Commands {
        std::string manual;
        std::string preview;
    };
    using Lookup = std::function<Commands()>;

    explicit FirewallFixModel(QObject* parent = nullptr);

    // The fix to run and how its commands are found; the real ones (FirewallFix) unless
    // a test swaps them.
    void setApplier(Applier applier) { applier_ = std::move(applier); }
    void setLookup(Lookup lookup) { lookup_ = std::move(lookup); }

    QString manualCommand() const { return manualCommand_; }
    QString commandPreview() const { return commandPreview_; }
    bool hasLookedUp() const { return hasLookedUp_; }
    bool isRunning() const { return isRunning_; }

    // Looks the commands up again, on a thread of its own; commandsChanged follows.
    Q_INVOKABLE void lookUp();
    Q_INVOKABLE void copyCommand();
    // Runs the fix once; `finished` follows on the main thread.
    Q_INVOKABLE void apply();

    // What the window reports of an outcome: the failure with what else can be done, or
    // none when the fix worked or the user cancelled the password prompt.
    static std::optional<QString> failureText(const FirewallFix::Outcome& outcome);

  signals:
    void commandsChanged();
    void isRunningChanged();
    // The failure text, or an undefined value when there is nothing to report.
    void finished(const QVariant& failureMessage);

  private:
    void finish(const FirewallFix::Outcome& outcome);

    Applier applier_;
    Lookup lookup_;
    QString manualCommand_;
    QString commandPreview_;
    bool hasLookedUp_ = false;
    bool isRunning_ = false;
};

}  // namespace zoranth
