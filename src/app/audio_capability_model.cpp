#include "app/audio_capability_model.h"

#include <QCoreApplication>
#include <QPointer>

#include <chrono>

#include "host/checks/system_checkup.h"

namespace zoranth {
namespace {

// Runs a task on the main thread, through the application's event loop.
void postToMain(AudioCapabilityMonitor::Task task) {
    if (auto* application = QCoreApplication::instance()) {
        QMetaObject::invokeMethod(application, std::move(task), Qt::QueuedConnection);
    }
}

}  // namespace

AudioCapabilityModel::AudioCapabilityModel(Dependencies dependencies, QObject* parent)
    : QObject(parent) {
    AudioCapabilityMonitor::Dependencies monitor;
    if (dependencies.probe) {
        monitor.probe = std::move(dependencies.probe);
    }
    monitor.now = std::move(dependencies.now);
    monitor.postToMain = postToMain;
    monitor_ = std::make_unique<AudioCapabilityMonitor>(std::move(monitor));
    monitor_->setOnChange([this] {
        if (monitor_->isProbing()) {
            awaitingTimer_.start();
        } else {
            awaitingTimer_.stop();
        }
        emit changed();
    });
    awaitingTimer_.setSingleShot(true);
    awaitingTimer_.setInterval(std::chrono::milliseconds(
        static_cast<int>(AudioCapabilityMonitor::awaitingAnswerSeconds * 1000) + 100));
    connect(&awaitingTimer_, &QTimer::timeout, this, &AudioCapabilityModel::changed);
}

AudioCapabilityModel::~AudioCapabilityModel() = default;

void AudioCapabilityModel::check(Trigger trigger) {
    switch (trigger) {
        case Trigger::Launch:
            monitor_->check(AudioCapabilityMonitor::Trigger::launch);
            break;
        case Trigger::Activation:
            monitor_->check(AudioCapabilityMonitor::Trigger::activation);
            break;
        case Trigger::UserRequest:
            monitor_->check(AudioCapabilityMonitor::Trigger::userRequest);
            break;
    }
}

AudioCapabilityModel::Verdict AudioCapabilityModel::verdict() const {
    const auto& verdict = monitor_->verdict();
    if (!verdict) {
        return Verdict::Unknown;
    }
    switch (verdict->which) {
        case AudioCapability::Verdict::Case::granted:
            return Verdict::Granted;
        case AudioCapability::Verdict::Case::denied:
            return Verdict::Denied;
        case AudioCapability::Verdict::Case::unreachable:
            return Verdict::Unreachable;
        case AudioCapability::Verdict::Case::undetermined:
            break;
    }
    return Verdict::Undetermined;
}

QString AudioCapabilityModel::problemDetail() const {
    const Verdict shown = verdict();
    if (shown != Verdict::Denied && shown != Verdict::Unreachable) {
        return {};
    }
    return QString::fromStdString(SystemCheckup::audioFinding(monitor_->verdict()).detail);
}

QString AudioCapabilityModel::problemFix() const {
    const Verdict shown = verdict();
    if (shown != Verdict::Denied && shown != Verdict::Unreachable) {
        return {};
    }
    return QString::fromStdString(SystemCheckup::audioFinding(monitor_->verdict()).fix);
}

}  // namespace zoranth
