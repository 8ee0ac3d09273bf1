// The checkup screen's model: runs the full system checkup off the window's thread, with
// the capture-permission verdict the window already has, and lists its findings with the
// one action each offers. Main thread only; the checks themselves run on a thread of
// their own.
#pragma once

#include <QtQml/qqmlregistration.h>
#include <QObject>
#include <QPointer>

#include <functional>
#include <optional>
#include <vector>

#include "app/audio_capability_model.h"
#include "app/finding_list_model.h"
#include "host/capture/audio_capability.h"
#include "host/checks/system_checkup.h"

namespace zoranth {

class CheckupModel : public QObject {
    Q_OBJECT
    QML_ELEMENT
    // Where the capture-permission verdict comes from; none: not probed yet.
    Q_PROPERTY(AudioCapabilityModel* audio READ audio WRITE setAudio NOTIFY audioChanged)
    Q_PROPERTY(FindingListModel* findings READ findings CONSTANT)
    Q_PROPERTY(bool isRunning READ isRunning NOTIFY isRunningChanged)
    Q_PROPERTY(bool hasRun READ hasRun NOTIFY hasRunChanged)

  public:
    // Runs the checks and calls back, on any thread, with the findings.
    using Runner = std::function<void(std::optional<AudioCapability::Verdict> audio,
                                      SystemCheckup::FindingsHandler done)>;

    explicit CheckupModel(QObject* parent = nullptr);

    // The checks to run; SystemCheckup::runAllAsync unless a test swaps them.
    void setRunner(Runner runner) { runner_ = std::move(runner); }

    AudioCapabilityModel* audio() const { return audio_; }
    void setAudio(AudioCapabilityModel* audio);
    FindingListModel* findings() { return &findings_; }
    bool isRunning() const { return isRunning_; }
    bool hasRun() const { return hasRun_; }

    // Starts a run unless one is under way.
    Q_INVOKABLE void run();

  signals:
    void audioChanged();
    void isRunningChanged();
    void hasRunChanged();

  private:
    void finish(std::vector<SystemCheckup::Finding> findings);

    QPointer<AudioCapabilityModel> audio_;
    Runner runner_;
    FindingListModel findings_{FindingListModel::Place::checkup};
    bool isRunning_ = false;
    bool hasRun_ = false;
};

}  // namespace zoranth
