#include "app/broadcast_controller.h"

#include <QCoreApplication>

#include <cmath>

#include "app/controller_values.h"
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

QString text(std::string_view value) {
    return QString::fromUtf8(value.data(), static_cast<qsizetype>(value.size()));
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
      qualityFloor_(preferences_->qualityFloor()),
      isQualityAutomatic_(preferences_->isQualityAutomatic()),
      raveName_(preferences_->raveName()),
      bufferDelayMs_(preferences_->bufferDelayMs()),
      permission_(std::make_shared<NetworkWatch>()),
      audio_(new AudioCapabilityModel({dependencies_.probe, dependencies_.now}, this)) {
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
    rave_ = RaveSession::create(
        {raveName_.toStdString(), bufferDelayMs_, qualityFloor_, isQualityAutomatic_},
        std::move(rave));

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
    for (const std::string& address : LocalInterfaces::guestAddresses()) {
        addresses_.append(text(address));
    }
    refreshLink(permission_->attachment());
    refreshMuteState();
}

BroadcastController::~BroadcastController() {
    stopTimers();
    rave_.reset();
    permission_->cancel();
}

// ---- Properties --------------------------------------------------------------------

template <class Value>
void BroadcastController::assign(Value& field, std::type_identity_t<Value> value, Signal changed) {
    if (field == value) {
        return;
    }
    field = std::move(value);
    (this->*changed)();
}

void BroadcastController::setState(State state) {
    const std::string message = state_.message;
    assign(state_, std::move(state), &BroadcastController::stateChanged);
    if (state_.message != message) {
        emit failureMessageChanged();
    }
}

void BroadcastController::setLevels(std::vector<float> peak, std::vector<float> rms) {
    assign(peak_, std::move(peak), &BroadcastController::peakChanged);
    assign(rms_, std::move(rms), &BroadcastController::rmsChanged);
}

QString BroadcastController::stateName() const {
    switch (state_.kind) {
        case State::Case::idle:
            break;
        case State::Case::starting:
            return QStringLiteral("starting");
        case State::Case::broadcasting:
            return QStringLiteral("broadcasting");
        case State::Case::failed:
            return QStringLiteral("failed");
    }
    return QStringLiteral("idle");
}

QList<qreal> BroadcastController::peakLevels() const {
    return ControllerValues::levels(peak_);
}

QList<qreal> BroadcastController::rmsLevels() const {
    return ControllerValues::levels(rms_);
}

QVariantMap BroadcastController::diagnosisMap() const {
    return ControllerValues::diagnosis(diagnosis_);
}

QVariantMap BroadcastController::muteOwnershipMap() const {
    return ControllerValues::muteOwnership(muteOwnership_);
}

QString BroadcastController::muteStrategyName() const {
    return ControllerValues::strategyName(muteStrategy_);
}

QVariantList BroadcastController::clientList() const {
    return ControllerValues::snapshots(clients_);
}

QString BroadcastController::tierName() const {
    return ControllerValues::tierName(tier_);
}

QString BroadcastController::tierReasonName() const {
    return ControllerValues::reasonName(tierReason_);
}

QVariant BroadcastController::linkValue() const {
    return ControllerValues::link(link_);
}

QString BroadcastController::attachmentName() const {
    return ControllerValues::attachmentName(attachment_);
}

QVariantMap BroadcastController::clientTierMap() const {
    return ControllerValues::clientTiers(clientTiers_);
}

QString BroadcastController::qualityFloorName() const {
    return ControllerValues::tierName(qualityFloor_);
}

QVariantMap BroadcastController::healthMap() const {
    return ControllerValues::verdict(health_);
}

QString BroadcastController::droughtStageName() const {
    return ControllerValues::stageName(droughtStage_);
}

QVariantList BroadcastController::troubleFindingList() const {
    return ControllerValues::findings(troubleFindings_);
}

// ---- Settings ----------------------------------------------------------------------

void BroadcastController::setQualityFloor(QualityTier floor) {
    assign(qualityFloor_, floor, &BroadcastController::qualityFloorChanged);
    preferences_->setQualityFloor(floor);
    rave_->setQualityFloor(floor);
}

void BroadcastController::setQualityFloorName(const QString& name) {
    if (const auto floor = ControllerValues::tier(name)) {
        setQualityFloor(*floor);
    }
}

void BroadcastController::setQualityAutomatic(bool automatic) {
    assign(isQualityAutomatic_, automatic, &BroadcastController::isQualityAutomaticChanged);
    preferences_->setQualityAutomatic(automatic);
    rave_->setQualityAutomatic(automatic);
}

void BroadcastController::setRaveName(const QString& name) {
    assign(raveName_, name, &BroadcastController::raveNameChanged);
    // Stored on every assignment; a running server keeps the name it started with.
    preferences_->setRaveName(name);
    rave_->setRaveName(name.toStdString());
}

void BroadcastController::setBufferDelayMs(double milliseconds) {
    assign(bufferDelayMs_, milliseconds, &BroadcastController::bufferDelayMsChanged);
    preferences_->setBufferDelayMs(milliseconds);
    rave_->setBufferDelayMs(milliseconds);
}

void BroadcastController::refreshLink(LinkCapacity::HostAttachment attachment) {
    assign(attachment_, attachment, &BroadcastController::attachmentChanged);
    assign(link_, WiFiLink::current(), &BroadcastController::linkChanged);
    std::string description = WiFiLink::describe(link_);
    if (attachment == LinkCapacity::HostAttachment::ethernet) {
        description += " · this Mac is on Ethernet";
    } else if (attachment == LinkCapacity::HostAttachment::wifi) {
        description += " · this Mac is on Wi-Fi";
    }
    assign(linkDescription_, text(description), &BroadcastController::linkDescriptionChanged);
}

void BroadcastController::applicationBecameActive() {
    if (state_.kind == State::Case::idle || state_.kind == State::Case::failed) {
        audio_->check(AudioCapabilityMonitor::Trigger::activation);
    }
}

// ---- The rave ----------------------------------------------------------------------

void BroadcastController::start() {
    rave_->start();
    sync();
}

void BroadcastController::stop() {
    stopTimers();
    rave_->stop();
    sync();
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

void BroadcastController::refreshMeters() {
    if (auto levels = rave_->levels()) {
        setLevels(std::move(levels->peak), std::move(levels->rms));
    }
}

void BroadcastController::refreshStatus() {
    rave_->tick(now());
    sync();
}

void BroadcastController::refreshMuteState() {
    rave_->refreshMuteState(true);
    sync();
}

bool BroadcastController::muteMac() {
    const bool succeeded = rave_->muteSpeakers();
    sync();
    return succeeded;
}

bool BroadcastController::unmuteMac() {
    const bool succeeded = rave_->unmuteSpeakers();
    sync();
    return succeeded;
}

void BroadcastController::setQuality(const QString& tier) {
    if (const auto picked = ControllerValues::tier(tier)) {
        setQuality(*picked);
    }
}

void BroadcastController::setQuality(QualityTier tier) {
    rave_->setQuality(tier, now());
    sync();
}

// ---- What the window reads -----------------------------------------------------------

void BroadcastController::sync() {
    const RaveSession& rave = *rave_;
    const bool live = rave.state().kind == State::Case::broadcasting;
    if (live && !timersRunning()) {
        startTimers();
    } else if (!live) {
        stopTimers();
    }
    setState(rave.state());
    if (!live) {
        setLevels({0, 0}, {0, 0});
    }
    assign(tapFormatDescription_, text(rave.tapFormatDescription()),
           &BroadcastController::tapFormatDescriptionChanged);
    assign(ioBufferFrames_, rave.ioBufferFrames(), &BroadcastController::ioBufferFramesChanged);
    const CapturePipeline::Stats& stats = rave.stats();
    if (live) {
        assign(chunksProduced_, stats.chunksProduced, &BroadcastController::chunksProducedChanged);
        assign(ringDepth_, stats.ringDepth, &BroadcastController::ringDepthChanged);
        assign(ringOverruns_, stats.ringOverruns, &BroadcastController::ringOverrunsChanged);
        assign(discontinuities_, stats.discontinuities,
               &BroadcastController::discontinuitiesChanged);
        assign(diagnosis_, stats.diagnosis, &BroadcastController::diagnosisChanged);
        assign(ioProcDeliveries_, stats.ioProcDeliveries,
               &BroadcastController::ioProcDeliveriesChanged);
        assign(listenPort_, rave.listenPort(), &BroadcastController::listenPortChanged);
        assign(advertisedName_,
               rave.advertisedName() ? std::optional(text(*rave.advertisedName())) : std::nullopt,
               &BroadcastController::advertisedNameChanged);
    }
    assign(isMacMuted_, rave.isSpeakersMuted(), &BroadcastController::isMacMutedChanged);
    assign(muteOwnership_, rave.muteOwnership(), &BroadcastController::muteOwnershipChanged);
    assign(muteStrategy_, rave.muteStrategy(), &BroadcastController::muteStrategyChanged);
    // Re-read on every refresh, whether or not a guest changed.
    if (rave.statusTicks() != clientsAtTick_ || clients_.size() != rave.guests().size()) {
        clientsAtTick_ = rave.statusTicks();
        clients_ = rave.guests();
        emit clientsChanged();
    }
    assign(tier_, rave.tier(), &BroadcastController::tierChanged);
    assign(tierReason_, rave.tierReason(), &BroadcastController::tierReasonChanged);
    assign(clientTiers_, rave.guestTiers(), &BroadcastController::clientTiersChanged);
    assign(health_, rave.health(), &BroadcastController::healthChanged);
    assign(localNetworkDenied_, rave.networkUnavailable(),
           &BroadcastController::localNetworkDeniedChanged);
    assign(droughtStage_, rave.droughtStage(), &BroadcastController::droughtStageChanged);
    assign(troubleFindings_, rave.troubleFindings(), &BroadcastController::troubleFindingsChanged);
    assign(isKeepingAwake_, rave.isKeepingAwake(), &BroadcastController::isKeepingAwakeChanged);
    const auto warning = rave.permissionWarning();
    assign(permissionWarning_, warning ? std::optional(text(*warning)) : std::nullopt,
           &BroadcastController::permissionWarningChanged);
}

// ---- Plumbing ----------------------------------------------------------------------

void BroadcastController::log(const std::string& line) const {
    dependencies_.log(line);
}

double BroadcastController::now() const {
    return dependencies_.now();
}

}  // namespace zoranth
