#include "app/audio_capability_model.h"

#include <QCoreApplication>
#include <QPointer>

#include <chrono>

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

void AudioCapabilityModel::check(const QString& trigger) {
    if (trigger == QLatin1String("launch")) {
        check(AudioCapabilityMonitor::Trigger::launch);
    } else if (trigger == QLatin1String("activation")) {
        check(AudioCapabilityMonitor::Trigger::activation);
    } else {
        check(AudioCapabilityMonitor::Trigger::userRequest);
    }
}

void AudioCapabilityModel::check(AudioCapabilityMonitor::Trigger trigger) {
    monitor_->check(trigger);
}

void AudioCapabilityModel::openSettings() {
    emit settingsRequested(QUrl(QString::fromLatin1(settingsUrl)));
}

QString AudioCapabilityModel::verdict() const {
    const auto& verdict = monitor_->verdict();
    if (!verdict) {
        return {};
    }
    switch (verdict->which) {
        case AudioCapability::Verdict::Case::granted:
            return QStringLiteral("granted");
        case AudioCapability::Verdict::Case::denied:
            return QStringLiteral("denied");
        case AudioCapability::Verdict::Case::undetermined:
            break;
    }
    return QStringLiteral("undetermined");
}

QString AudioCapabilityModel::verdictReason() const {
    const auto& verdict = monitor_->verdict();
    return verdict ? QString::fromStdString(verdict->reason) : QString();
}

}  // namespace zoranth
