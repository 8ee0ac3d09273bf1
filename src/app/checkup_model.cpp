#include "app/checkup_model.h"

#include <QCoreApplication>

namespace zoranth {

CheckupModel::CheckupModel(QObject* parent) : QObject(parent), runner_(SystemCheckup::runAllAsync) {
    findings_.setParent(this);
}

void CheckupModel::setAudio(AudioCapabilityModel* audio) {
    if (audio_ != audio) {
        audio_ = audio;
        emit audioChanged();
    }
}

void CheckupModel::run() {
    if (isRunning_) {
        return;
    }
    isRunning_ = true;
    emit isRunningChanged();
    std::optional<AudioCapability::Verdict> verdict;
    if (audio_ != nullptr) {
        verdict = audio_->monitor().verdict();
    }
    runner_(verdict,
            [guard = QPointer<CheckupModel>(this)](std::vector<SystemCheckup::Finding> findings) {
                QMetaObject::invokeMethod(
                    QCoreApplication::instance(),
                    [guard, findings = std::move(findings)]() mutable {
                        if (guard) {
                            guard->finish(std::move(findings));
                        }
                    },
                    Qt::QueuedConnection);
            });
}

void CheckupModel::finish(std::vector<SystemCheckup::Finding> findings) {
    findings_.show(std::move(findings));
    if (!hasRun_) {
        hasRun_ = true;
        emit hasRunChanged();
    }
    isRunning_ = false;
    emit isRunningChanged();
}

}  // namespace zoranth
