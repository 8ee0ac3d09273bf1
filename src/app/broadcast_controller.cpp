#include "app/broadcast_controller.h"

#include <QCoreApplication>
#include <QPointer>

#include "host/host_log.h"
#include "host/net/network_watch.h"
#include "host/wall_clock.h"
#include "host/wifi_link.h"
#include "platform/network/local_interfaces.h"

namespace zoranth {
namespace {

// Runs work on the main thread for the controller, if it still exists by then.
template <class Work>
void onMain(const QPointer<BroadcastController>& controller, Work work) {
    auto* application = QCoreApplication::instance();
    if (application == nullptr) {
        return;
    }
    QMetaObject::invokeMethod(
        application,
        [controller, work = std::move(work)]() mutable {
            if (controller) {
                work(*controller);
            }
        },
        Qt::QueuedConnection);
}

// Runs the session's work on the main thread, whether or not the controller is still there.
void onMainThread(std::function<void()> work) {
    if (auto* application = QCoreApplication::instance()) {
        QMetaObject::invokeMethod(application, std::move(work), Qt::QueuedConnection);
    }
}

}  // namespace

BroadcastController::BroadcastController(QObject* parent)
    : BroadcastController(Dependencies{}, parent) {}

BroadcastController::BroadcastController(Dependencies dependencies, QObject* parent)
    : QObject(parent),
      dependencies_(std::move(dependencies)),
      preferences_(dependencies_.preferencesPath.isEmpty()
                       ? std::make_unique<Preferences>()
                       : std::make_unique<Preferences>(dependencies_.preferencesPath)),
      permission_(std::make_shared<NetworkWatch>()) {
    if (!dependencies_.now) {
        dependencies_.now = WallClock::now;
    }
    if (!dependencies_.log) {
        dependencies_.log = HostLog::line;
    }
    const QPointer<BroadcastController> self(this);
    RaveSession::Dependencies rave;
    rave.post = onMainThread;
    rave.changed = [self] {
        if (self) {
            self->sync();
        }
    };
    rave.now = dependencies_.now;
    rave.log = dependencies_.log;
    rave.inhibit = dependencies_.inhibit;
    rave.outputDevice = dependencies_.outputDevice;
    rave.firewallFinding = dependencies_.firewallFinding;
    rave.captureSignals = dependencies_.captureSignals;
    rave_ =
        RaveSession::create({preferences_->raveName().toStdString(), preferences_->bufferDelayMs(),
                             preferences_->qualityFloor(), preferences_->isQualityAutomatic(),
                             preferences_->maxGuests()},
                            std::move(rave));
    models_ = std::make_unique<WindowModels>(
        *this, AudioCapabilityModel::Dependencies{dependencies_.probe, dependencies_.now});

    permission_->setOnChange([self](const NetworkWatch::Status& status) {
        const bool denied = status.kind == NetworkWatch::Status::Case::unavailable;
        onMain(self, [denied](BroadcastController& controller) {
            controller.rave_->setNetworkUnavailable(denied);
            controller.sync();
        });
    });
    permission_->setOnAttachmentChange([self](LinkCapacity::HostAttachment attachment) {
        onMain(self, [attachment](BroadcastController& controller) {
            controller.refreshLink(attachment);
        });
    });
    permission_->start();
    QStringList addresses;
    for (const std::string& address : LocalInterfaces::guestAddresses()) {
        addresses.append(QString::fromStdString(address));
    }
    models_->showAddresses(addresses);
    refreshLink(permission_->attachment());
    refreshMuteState();
}

BroadcastController::~BroadcastController() {
    stopTimers();
    rave_.reset();
    permission_->cancel();
}

// ---- What the window asks ----------------------------------------------------------

void BroadcastController::start() {
    rave_->start();
    sync();
}

void BroadcastController::stop() {
    stopTimers();
    rave_->stop();
    sync();
}

bool BroadcastController::muteSpeakers() {
    const bool succeeded = rave_->muteSpeakers();
    sync();
    return succeeded;
}

bool BroadcastController::unmuteSpeakers() {
    const bool succeeded = rave_->unmuteSpeakers();
    sync();
    return succeeded;
}

void BroadcastController::setQuality(QualityTier tier) {
    rave_->setQuality(tier, dependencies_.now());
    sync();
}

void BroadcastController::setQualityFloor(QualityTier floor) {
    preferences_->setQualityFloor(floor);
    rave_->setQualityFloor(floor);
    sync();
}

void BroadcastController::setQualityAutomatic(bool automatic) {
    preferences_->setQualityAutomatic(automatic);
    rave_->setQualityAutomatic(automatic);
    sync();
}

void BroadcastController::setRaveName(const QString& name) {
    // Stored on every assignment; a running server keeps the name it started with.
    preferences_->setRaveName(name);
    rave_->setRaveName(name.toStdString());
    sync();
}

void BroadcastController::setBufferDelayMs(double milliseconds) {
    preferences_->setBufferDelayMs(milliseconds);
    rave_->setBufferDelayMs(milliseconds);
    sync();
}

void BroadcastController::setMaxGuests(std::size_t guests) {
    // A live rave takes the new limit at once; the session brings it into range.
    rave_->setMaxGuests(guests);
    preferences_->setMaxGuests(rave_->settings().maxGuests);
    sync();
}

void BroadcastController::applicationBecameActive() {
    const auto state = rave_->state().kind;
    if (state == RaveSession::State::Case::idle || state == RaveSession::State::Case::failed) {
        models_->audio()->check(AudioCapabilityModel::Trigger::Activation);
    }
}

// ---- Refreshing --------------------------------------------------------------------

void BroadcastController::refreshLink(LinkCapacity::HostAttachment attachment) {
    models_->showLink(attachment, WiFiLink::current());
}

void BroadcastController::refreshStatus() {
    rave_->tick(dependencies_.now());
    sync();
}

void BroadcastController::refreshMuteState() {
    rave_->refreshMuteState(true);
    sync();
}

void BroadcastController::refreshMeters() {
    if (auto levels = rave_->levels()) {
        models_->levels()->show(std::move(levels->peak), std::move(levels->rms));
    }
}

void BroadcastController::sync() {
    const bool live = rave_->state().kind == RaveSession::State::Case::broadcasting;
    if (live && !timersRunning()) {
        startTimers();
    } else if (!live) {
        stopTimers();
    }
    // The guests' reports carry wall-clock times.
    models_->show(*rave_, WallClock::now());
}

void BroadcastController::startTimers() {
    meterTimer_ = std::make_unique<QTimer>();
    meterTimer_->setInterval(meterInterval);
    connect(meterTimer_.get(), &QTimer::timeout, this, &BroadcastController::refreshMeters);
    meterTimer_->start();
    statusTimer_ = std::make_unique<QTimer>();
    statusTimer_->setInterval(statusInterval);
    connect(statusTimer_.get(), &QTimer::timeout, this, &BroadcastController::refreshStatus);
    statusTimer_->start();
}

void BroadcastController::stopTimers() {
    meterTimer_.reset();
    statusTimer_.reset();
}

}  // namespace zoranth
