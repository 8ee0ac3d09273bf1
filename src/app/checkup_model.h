// The checkup screen's model: runs the full system checkup off the window's thread and
// lists its findings with the symbol and the one action each one offers. Main thread
// only; the checks themselves run on a thread of their own.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariantList>
#include <QVariantMap>

#include <functional>
#include <optional>
#include <vector>

#include "host/capture/audio_capability.h"
#include "host/checks/system_checkup.h"

namespace zoranth {

class CheckupModel : public QObject {
    Q_OBJECT
    // Read for the capture-permission verdict (its `audio` monitor) and localNetworkDenied.
    Q_PROPERTY(QObject* controller READ controller WRITE setController NOTIFY controllerChanged)
    // One map per finding: the finding's fields (verdict and reason by case name), plus
    // symbol, action (Action's case name) and actionLabel ("" when there is no button).
    Q_PROPERTY(QVariantList findings READ findings NOTIFY findingsChanged)
    Q_PROPERTY(bool isRunning READ isRunning NOTIFY isRunningChanged)
    Q_PROPERTY(bool hasRun READ hasRun NOTIFY hasRunChanged)

  public:
    enum class Action { none, firewall, reveal, openSettings };

    // Runs the checks and calls back, on any thread, with the findings.
    using Runner = std::function<void(std::optional<AudioCapability::Verdict> audio,
                                      bool localNetworkDenied, SystemCheckup::FindingsHandler done)>;

    explicit CheckupModel(QObject* parent = nullptr);

    // The checks to run; SystemCheckup::runAllAsync unless a test swaps them.
    void setRunner(Runner runner) { runner_ = std::move(runner); }

    QObject* controller() const { return controller_; }
    void setController(QObject* controller);
    QVariantList findings() const;
    bool isRunning() const { return isRunning_; }
    bool hasRun() const { return hasRun_; }

    // Starts a run unless one is under way.
    Q_INVOKABLE void run();

    // The action of the finding at `index`: opens its settings page, reveals the copy, or
    // asks for the firewall sheet (firewallRequested with the finding's map).
    Q_INVOKABLE void act(int index);

    // What a finding offers, by its reason.
    static Action actionFor(const SystemCheckup::Finding& finding);
    static QString actionLabel(const SystemCheckup::Finding& finding);
    static QString actionName(Action action);
    static QString verdictSymbol(SystemCheckup::Verdict verdict);
    // The map QML gets for one finding.
    static QVariantMap row(const SystemCheckup::Finding& finding);

    // The capture-permission verdict as the controller's monitor shows it: none before
    // the first probe.
    static std::optional<AudioCapability::Verdict> audioVerdict(const QObject* controller);

  signals:
    void controllerChanged();
    void findingsChanged();
    void isRunningChanged();
    void hasRunChanged();
    void firewallRequested(const QVariantMap& finding);

  private:
    void finish(std::vector<SystemCheckup::Finding> findings);

    QPointer<QObject> controller_;
    Runner runner_;
    std::vector<SystemCheckup::Finding> findings_;
    bool isRunning_ = false;
    bool hasRun_ = false;
};

}  // namespace zoranth
