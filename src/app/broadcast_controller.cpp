#include "app/broadcast_controller.h"

#include <QCoreApplication>

#include <pthread.h>

#include <algorithm>
#include <cmath>
#include <future>
#include <thread>

#include "app/controller_values.h"
#include "app/status_refresh.h"
#include "cli/serve_command.h"
#include "host/host_log.h"
#include "host/net/network_watch.h"
#include "host/serial_queue.h"
#include "host/wall_clock.h"
#include "host/wifi_link.h"
#include "platform/pulse/pulse_output_device.h"

namespace zoranth {
namespace {

constexpr auto outputQueryTimeout = std::chrono::milliseconds(1000);
// How long ending a rave waits for the guests to take the audio still queued for them.
constexpr auto finalAudioPatience = std::chrono::milliseconds(250);

// Capture bring-up may block for as long as the system takes to answer; one at a time.
SerialQueue& captureStartQueue() {
    static SerialQueue queue("com.zoranth.capturestart");
    return queue;
}

// Black-box dumps write a minute of audio to disk, off the main thread.
SerialQueue& recoveryQueue() {
    static SerialQueue queue("com.zoranth.capture-recovery");
    return queue;
}

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

QString text(std::string_view value) {
    return QString::fromUtf8(value.data(), static_cast<qsizetype>(value.size()));
}

const QString openAudioSettings = QStringLiteral(
    "Open System Settings > Privacy & Security > Audio Recording and turn on Zoranth Host. "
    "Without it the rave runs but every guest hears silence.");
const QString pressStopAndStart = QStringLiteral(" Then press Stop and Start again.");

// A guest's goodbye goes out ahead of the audio still queued for it. Waiting, briefly,
// until every queue has emptied lets the last chunks reach each guest that keeps up; a
// guest that does not is cut off when the time is up.
void waitForGuestQueuesToEmpty(BroadcastServer& server, std::chrono::milliseconds patience) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (std::chrono::steady_clock::now() < deadline) {
        auto answer = std::make_shared<std::promise<bool>>();
        auto emptied = answer->get_future();
        server.snapshots([answer](std::vector<ClientConnection::Snapshot> guests) {
            answer->set_value(std::ranges::all_of(
                guests, [](const auto& guest) { return guest.queuedBytes == 0; }));
        });
        if (emptied.wait_until(deadline) != std::future_status::ready || emptied.get()) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

}  // namespace

BroadcastController::OutputDevice BroadcastController::OutputDevice::defaultSink() {
    return {
        [](const TapSession* session) -> std::optional<bool> {
            if (session != nullptr) {
                if (const auto device = session->outputDevice()) {
                    return device->muted;
                }
            }
            const auto device = PulseOutputDevice::queryDefault(outputQueryTimeout);
            return device ? std::optional<bool>(device->muted) : std::nullopt;
        },
        [](bool muted) { return PulseOutputDevice::setDefaultMuted(muted).has_value(); },
    };
}

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
      steering_(qualityFloor_, isQualityAutomatic_),
      raveName_(preferences_->raveName()),
      bufferDelayMs_(preferences_->bufferDelayMs()),
      permission_(std::make_shared<NetworkWatch>()),
      sleepBlocker_(dependencies_.inhibit ? dependencies_.inhibit : SleepBlocker::Inhibit([] {
          return LogindInhibitor::inhibit(SleepBlocker::request());
      })),
      audio_(new AudioCapabilityModel({dependencies_.probe, dependencies_.now}, this)) {
    if (!dependencies_.now) {
        dependencies_.now = WallClock::now;
    }
    if (!dependencies_.log) {
        dependencies_.log = HostLog::line;
    }
    if (!dependencies_.outputDevice.muted || !dependencies_.outputDevice.setMuted) {
        dependencies_.outputDevice = OutputDevice::defaultSink();
    }
    if (!dependencies_.firewallFinding) {
        dependencies_.firewallFinding = [] { return SystemCheckup::checkFirewall(); };
    }

    const QPointer<BroadcastController> self(this);
    permission_->setOnChange([self](const NetworkWatch::Status& status) {
        const bool denied = status.kind == NetworkWatch::Status::Case::unavailable;
        onMain(self, [denied](BroadcastController& controller) {
            controller.setLocalNetworkDenied(denied);
        });
    });
    permission_->setOnAttachmentChange([self](LinkCapacity::HostAttachment attachment) {
        onMain(self, [attachment](BroadcastController& controller) {
            controller.refreshLink(attachment);
        });
    });
    permission_->start();
    for (const std::string& address : ServeCommand::localAddresses()) {
        addresses_.append(text(address));
    }
    refreshLink(permission_->attachment());
    refreshMuteState(true);
}

BroadcastController::~BroadcastController() {
    stopTimers();
    teardown();
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
    const QString message = state_.message;
    assign(state_, std::move(state), &BroadcastController::stateChanged);
    if (state_.message != message) {
        emit failureMessageChanged();
    }
}

void BroadcastController::setLevels(std::vector<float> peak, std::vector<float> rms) {
    assign(peak_, std::move(peak), &BroadcastController::peakChanged);
    assign(rms_, std::move(rms), &BroadcastController::rmsChanged);
}

void BroadcastController::setClients(std::vector<ClientConnection::Snapshot> clients) {
    // Always reported: the window re-reads the guests on every refresh.
    clients_ = std::move(clients);
    emit clientsChanged();
}

void BroadcastController::setHealth(NetworkHealth::Verdict verdict) {
    assign(health_, std::move(verdict), &BroadcastController::healthChanged);
}

void BroadcastController::setTroubleFindings(std::vector<SystemCheckup::Finding> findings) {
    assign(troubleFindings_, std::move(findings), &BroadcastController::troubleFindingsChanged);
}

void BroadcastController::setMuteOwnership(MuteControl::Ownership ownership) {
    assign(muteOwnership_, ownership, &BroadcastController::muteOwnershipChanged);
}

void BroadcastController::setLocalNetworkDenied(bool denied) {
    assign(localNetworkDenied_, denied, &BroadcastController::localNetworkDeniedChanged);
}

// The values computed from others: the mute strategy and the permission warning.
void BroadcastController::updateDerived() {
    assign(muteStrategy_, MuteControl::strategy(session_ != nullptr, canMute_),
           &BroadcastController::muteStrategyChanged);
    assign(permissionWarning_, permissionWarningFor(diagnosis_, recovery_.hadAudioThisRave()),
           &BroadcastController::permissionWarningChanged);
}

std::optional<QString> BroadcastController::permissionWarningFor(
    const SilenceWatchdog::Diagnosis& diagnosis, bool hadAudioThisRave) {
    using Case = SilenceWatchdog::Diagnosis::Case;
    if (diagnosis.kind == Case::notCapturing) {
        return QStringLiteral(
                   "Zoranth is not receiving any audio from this Mac.\n\nThe capture stream "
                   "started but has delivered nothing, which almost always means system audio "
                   "recording access is turned off.\n\n") +
               openAudioSettings + pressStopAndStart;
    }
    if (diagnosis.kind != Case::likelyDenied) {
        return std::nullopt;
    }
    if (hadAudioThisRave) {
        return QStringLiteral(
            "Zoranth lost the Mac's audio for a moment and is reconnecting to it.\n\nIf it "
            "doesn't come back within a minute, press Stop and Start again.");
    }
    return QStringLiteral("No audio is being captured even though this Mac is playing sound.\n\n") +
           openAudioSettings + pressStopAndStart;
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
    // Applied by the next steering pass.
    steering_.setFloor(floor);
}

void BroadcastController::setQualityFloorName(const QString& name) {
    if (const auto floor = ControllerValues::tier(name)) {
        setQualityFloor(*floor);
    }
}

void BroadcastController::setQualityAutomatic(bool automatic) {
    assign(isQualityAutomatic_, automatic, &BroadcastController::isQualityAutomaticChanged);
    preferences_->setQualityAutomatic(automatic);
    steering_.setAutomatic(automatic);
}

void BroadcastController::setRaveName(const QString& name) {
    assign(raveName_, name, &BroadcastController::raveNameChanged);
    // Stored on every assignment; a running server keeps the name it started with.
    preferences_->setRaveName(name);
}

void BroadcastController::setBufferDelayMs(double milliseconds) {
    assign(bufferDelayMs_, milliseconds, &BroadcastController::bufferDelayMsChanged);
    preferences_->setBufferDelayMs(milliseconds);
    if (pipeline_) {
        pipeline_->setBufferDelayMs(wireBufferDelay());
    }
    reannounce();
}

// The delay as the wire carries it: whole milliseconds in 16 bits.
std::uint16_t BroadcastController::wireBufferDelay() const {
    if (!std::isfinite(bufferDelayMs_)) {
        return static_cast<std::uint16_t>(Preferences::defaultBufferDelayMs);
    }
    return static_cast<std::uint16_t>(std::clamp(bufferDelayMs_, 0.0, 65535.0));
}

// A new format or delay for the running rave: every guest is told the stream anew.
void BroadcastController::reannounce() {
    if (pipeline_ && server_) {
        server_->updateFormat(
            ServeCommand::helloFor(pipeline_->channels(), pipeline_->bufferDelayMs()));
    }
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

// ---- Starting and stopping ---------------------------------------------------------

void BroadcastController::start() {
    if (state_.kind == State::Case::starting || state_.kind == State::Case::broadcasting) {
        return;
    }
    setState(State::starting());
    const std::uint64_t attempt = ++startAttempt_;
    const QPointer<BroadcastController> self(this);
    captureStartQueue().post([self, attempt] {
        auto outcome = std::make_shared<std::expected<Capture, QString>>(bringUpCapture());
        onMain(self, [attempt, outcome](BroadcastController& controller) {
            controller.captureBroughtUp(attempt, std::move(*outcome));
        });
    });
}

// On the capture-start queue: may block while the system asks for recording access.
std::expected<BroadcastController::Capture, QString> BroadcastController::bringUpCapture() {
    auto ring = CaptureRing::createStandard();
    if (!ring) {
        return std::unexpected(text(ring.error().description()));
    }
    auto session = TapSession::create();
    auto format = session->start(*ring);
    if (!format) {
        session->stop();
        return std::unexpected(text(TapSession::describe(format.error())));
    }
    return Capture{std::move(*ring), std::move(session), *format};
}

void BroadcastController::captureBroughtUp(std::uint64_t attempt,
                                           std::expected<Capture, QString> outcome) {
    // A start that was stopped while the capture came up is over: its capture closes.
    if (attempt != startAttempt_ || state_.kind != State::Case::starting) {
        if (outcome) {
            outcome->session->stop();
        }
        return;
    }
    if (!outcome) {
        setState(State::failed(outcome.error()));
        return;
    }
    finishStart(std::move(*outcome));
}

void BroadcastController::finishStart(Capture capture) {
    auto pipeline = CapturePipeline::create(capture.ring, capture.format, framesPerChunk);
    pipeline->setBufferDelayMs(wireBufferDelay());
    auto server = std::make_shared<BroadcastServer>(
        ServeCommand::helloFor(pipeline->channels(), pipeline->bufferDelayMs()),
        raveName_.toStdString());
    auto sink = ServeCommand::create(server);
    pipeline->setSink(sink);
    pipeline->setGuestBitrates([weakServer = std::weak_ptr(server)] {
        const auto server = weakServer.lock();
        return server ? server->guestBitrates() : CapturePipeline::Bitrates{};
    });
    pipeline->setOutputRunning(TapSession::outputRunningOf(capture.session));
    const auto& session = capture.session;
    log("tap format: " + capture.format.text() + ", output " +
        TapSession::describe(session->outputDevice()));

    const QPointer<BroadcastController> self(this);
    session->setOnFormatChange(
        [self, log = dependencies_.log, weakSession = std::weak_ptr(session)] {
            const auto session = weakSession.lock();
            if (!session) {
                return;
            }
            const auto live = session->liveFormat();
            log("tap format changed: " + (live ? live->text() : std::string("?")) + ", output " +
                TapSession::describe(session->outputDevice()));
            onMain(self, [](BroadcastController& controller) { controller.reannounce(); });
        });

    liveSince_ = now();
    resetDrought();

    const auto listening = BroadcastServer::listeningFor(0);
    if (!listening) {
        setState(State::failed(text(listening.error())));
        session->stop();
        return;
    }
    if (auto started = server->start(*listening); !started) {
        setState(State::failed(text(started.error().text())));
        session->stop();
        return;
    }
    if (auto started = pipeline->start(); !started) {
        setState(State::failed(QStringLiteral("could not start the audio encoder: ") +
                               text(started.error().description())));
        server->stop();
        session->stop();
        return;
    }

    ring_ = std::move(capture.ring);
    session_ = std::move(capture.session);
    pipeline_ = std::move(pipeline);
    server_ = std::move(server);
    sink_ = std::move(sink);
    assign(tapFormatDescription_, text(capture.format.text()),
           &BroadcastController::tapFormatDescriptionChanged);
    assign(ioBufferFrames_, session_->bufferFrameSize(),
           &BroadcastController::ioBufferFramesChanged);
    setState(State::broadcasting());
    sleepBlocker_.acquire();
    assign(isKeepingAwake_, sleepBlocker_.isHolding(), &BroadcastController::isKeepingAwakeChanged);
    updateDerived();
    startTimers();
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
    if (!pipeline_) {
        return;
    }
    CapturePipeline::Stats stats = pipeline_->stats();
    setLevels(std::move(stats.peak), std::move(stats.rms));
}

void BroadcastController::stop() {
    stopTimers();
    if (pipeline_) {
        // The sender hands over the assembler once it has stopped; what capture delivered
        // up to now, the partial chunk padded with silence, still reaches the guests.
        pipeline_->stop();
        pipeline_->drainRing();
        pipeline_->assembler().flushPartialAsZeroPadded();
        pipeline_->emitReadyChunks();
    }
    if (server_) {
        waitForGuestQueuesToEmpty(*server_, finalAudioPatience);
    }
    teardown();
    setState(State::idle());
    setLevels({0, 0}, {0, 0});
    setClients({});
    steering_.restartRoom();
    assign(tierReason_, std::optional<QualityController::Reason>(),
           &BroadcastController::tierReasonChanged);
    healthMonitor_ = NetworkHealth();
    setHealth(NetworkHealth::Verdict::initial());
    assign(isKeepingAwake_, sleepBlocker_.isHolding(), &BroadcastController::isKeepingAwakeChanged);
    liveSince_.reset();
    resetDrought();
    refreshMuteState(true);
}

void BroadcastController::teardown() {
    setMuteOwnership(MuteControl::afterTeardown(muteOwnership_));
    sleepBlocker_.release();
    if (pipeline_) {
        pipeline_->stop();
    }
    if (server_) {
        server_->stop();
    }
    if (session_) {
        session_->stop();
    }
    const bool wasLive = pipeline_ || server_ || session_;
    pipeline_.reset();
    server_.reset();
    session_.reset();
    sink_.reset();
    ring_.reset();
    recovery_.reset();
    if (wasLive) {
        ++rave_;
    }
    updateDerived();
}

void BroadcastController::resetDrought() {
    drought_ = DroughtWatch();
    assign(droughtStage_, DroughtWatch::Stage::fine(), &BroadcastController::droughtStageChanged);
    setTroubleFindings({});
}

// ---- Status refresh and quality steering -------------------------------------------

void BroadcastController::refreshStatus() {
    if (!pipeline_ || !server_) {
        return;
    }
    const CapturePipeline::Stats stats = pipeline_->stats();
    assign(chunksProduced_, stats.chunksProduced, &BroadcastController::chunksProducedChanged);
    assign(ringDepth_, stats.ringDepth, &BroadcastController::ringDepthChanged);
    assign(ringOverruns_, stats.ringOverruns, &BroadcastController::ringOverrunsChanged);
    assign(discontinuities_, stats.discontinuities, &BroadcastController::discontinuitiesChanged);
    assign(diagnosis_, stats.diagnosis, &BroadcastController::diagnosisChanged);
    assign(ioProcDeliveries_, stats.ioProcDeliveries,
           &BroadcastController::ioProcDeliveriesChanged);
    const std::uint16_t port = server_->port();
    const auto advertised = server_->advertisedName();
    assign(listenPort_, port, &BroadcastController::listenPortChanged);
    assign(advertisedName_, advertised ? std::optional(text(*advertised)) : std::nullopt,
           &BroadcastController::advertisedNameChanged);
    refreshMuteState(false);
    assign(isKeepingAwake_, sleepBlocker_.isHolding(), &BroadcastController::isKeepingAwakeChanged);
    // No process holds the sound server's output for itself: there is never a hog owner.
    assign(hogOwner_, std::optional<QString>(), &BroadcastController::hogOwnerChanged);

    const double time = now();
    tickDrought(time, server_->nextClientID() - 1, port != 0 && !advertised);
    checkCapture(time);
    updateDerived();

    const std::int64_t delay = static_cast<std::int64_t>(wireBufferDelay());
    const QPointer<BroadcastController> self(this);
    const std::uint64_t rave = rave_;
    server_->snapshots([self, rave, stats, delay](std::vector<ClientConnection::Snapshot> guests) {
        auto snapshots =
            std::make_shared<std::vector<ClientConnection::Snapshot>>(std::move(guests));
        onMain(self, [rave, stats, delay, snapshots](BroadcastController& controller) {
            // A collection still on its way when its rave ended says nothing any more.
            if (controller.rave_ == rave && controller.pipeline_) {
                controller.completeRefresh(controller.now(), std::move(*snapshots), stats, delay);
            }
        });
    });
}

void BroadcastController::completeRefresh(double now,
                                          std::vector<ClientConnection::Snapshot> snapshots,
                                          const CapturePipeline::Stats& stats,
                                          std::int64_t bufferDelayMs) {
    std::vector<NetworkHealth::ClientSample> samples;
    samples.reserve(snapshots.size());
    for (const auto& snapshot : snapshots) {
        samples.push_back(StatusRefresh::sample(snapshot));
    }
    NetworkHealth::Verdict verdict =
        healthMonitor_.assess(now, stats.chunksProduced, bufferDelayMs, samples);
    verdict.linkStrain = healthMonitor_.measureLinks(samples, bufferDelayMs);
    setClients(std::move(snapshots));
    setHealth(verdict);
    steerQuality(now, clients_, verdict);
    ++statusTicks_;
    if (statusTicks_ % StatusRefresh::statusLineEvery == 0) {
        log(StatusRefresh::statusLine(stats, clients_));
    }
}

void BroadcastController::steerQuality(double now,
                                       std::span<const ClientConnection::Snapshot> snapshots,
                                       const NetworkHealth::Verdict& verdict) {
    std::vector<QualitySteering::Guest> guests;
    guests.reserve(snapshots.size());
    for (const auto& snapshot : snapshots) {
        guests.push_back({snapshot.id, StatusRefresh::sample(snapshot).name});
    }
    const QualitySteering::Pass pass = steering_.steer(now, guests, verdict);
    applyRoomTier(pass.room);
    for (const std::string& line : pass.lines) {
        log(line);
    }
    assign(clientTiers_, steering_.clientTiers(), &BroadcastController::clientTiersChanged);
    if (server_) {
        server_->setBitrates(pass.bitrates);
        server_->setDefaultBitrate(pass.defaultBitrate);
    }
}

void BroadcastController::applyRoomTier(const QualityController::Decision& decision) {
    assign(tier_, decision.tier, &BroadcastController::tierChanged);
    assign(tierReason_, decision.reason, &BroadcastController::tierReasonChanged);
    if (decision.changed) {
        log(QualitySteering::roomLine(decision));
    }
}

void BroadcastController::setQuality(const QString& tier) {
    if (const auto picked = ControllerValues::tier(tier)) {
        setQuality(*picked);
    }
}

void BroadcastController::setQuality(QualityTier tier) {
    setQuality(tier, now());
}

void BroadcastController::setQuality(QualityTier tier, double now) {
    applyRoomTier(steering_.setQuality(tier, now));
}

void BroadcastController::tickDrought(double now, std::int64_t totalAccepted,
                                      bool listeningUnadvertised) {
    const DroughtWatch::Stage result = drought_.update(now, liveSince_, totalAccepted);
    assign(droughtStage_, drought_.stage(), &BroadcastController::droughtStageChanged);
    if (result.kind == DroughtWatch::Stage::Case::investigate) {
        investigateDrought(listeningUnadvertised);
    } else if (drought_.stage().kind == DroughtWatch::Stage::Case::fine) {
        setTroubleFindings({});
    }
}

// Why has nobody joined? The network watch may already know; otherwise the firewall is
// asked, which takes seconds, on a thread of its own.
void BroadcastController::investigateDrought(bool listeningUnadvertised) {
    if (const auto finding =
            StatusRefresh::networkFinding(localNetworkDenied_, listeningUnadvertised)) {
        setTroubleFindings({*finding});
        return;
    }
    const QPointer<BroadcastController> self(this);
    std::thread([self, rave = rave_, check = dependencies_.firewallFinding] {
        pthread_setname_np(pthread_self(), "zoranth-drought");
        std::vector<SystemCheckup::Finding> findings;
        if (SystemCheckup::Finding firewall = check(); firewall.verdict != SystemCheckup::Verdict::ok) {
            findings.push_back(std::move(firewall));
        }
        auto result = std::make_shared<std::vector<SystemCheckup::Finding>>(std::move(findings));
        onMain(self, [rave, result](BroadcastController& controller) {
            if (controller.rave_ == rave) {
                controller.setTroubleFindings(std::move(*result));
            }
        });
    }).detach();
}

// ---- Capture recovery --------------------------------------------------------------

void BroadcastController::checkCapture(double now) {
    if (!sink_ || !pipeline_ || !session_) {
        return;
    }
    CaptureRecovery::Signals reading;
    if (dependencies_.captureSignals) {
        reading = dependencies_.captureSignals();
    } else {
        const CapturePipeline::Stats stats = pipeline_->stats();
        reading = {stats.diagnosis, stats.spliceRate, sink_->captureCanary()};
    }
    const CaptureRecovery::Step step = recovery_.check(now, reading);
    for (const std::string& line : step.lines) {
        log(line);
    }
    switch (step.action) {
        case CaptureRecovery::Step::Action::none:
            break;
        case CaptureRecovery::Step::Action::refresh: {
            recoveryQueue().post(
                [pipeline = pipeline_, reason = step.reason, log = dependencies_.log] {
                    if (const auto file = pipeline->dumpBlackBox(reason)) {
                        log("capture: saved the last minute to " + file->filename().string());
                    }
                });
            const bool refreshed = session_->refresh();
            log(std::string("capture: tap refreshed in place (") + (refreshed ? "ok" : "FAILED") +
                ")");
            sink_->resetCanary();
            break;
        }
        case CaptureRecovery::Step::Action::rebuild:
            restartTap();
            sink_->resetCanary();
            break;
    }
    updateDerived();
}

void BroadcastController::restartTap() {
    if (!session_ || !ring_) {
        return;
    }
    const bool wasMuted = session_->isTapMuted();
    session_->stop();
    const auto format = session_->start(ring_);
    if (!format) {
        log("capture: rebuilding the tap FAILED: " + TapSession::describe(format.error()));
        return;
    }
    if (wasMuted) {
        session_->setTapMuted(true);
    }
    log("capture: new tap " + format->text() + ", output " +
        TapSession::describe(session_->outputDevice()));
}

// ---- Muting ------------------------------------------------------------------------

void BroadcastController::refreshMuteState() {
    refreshMuteState(true);
}

// askTheServer: right after a change of our own, when the capture's view of the output
// may not have caught up yet.
void BroadcastController::refreshMuteState(bool askTheServer) {
    const std::optional<bool> deviceMuted =
        dependencies_.outputDevice.muted(askTheServer ? nullptr : session_.get());
    canMute_ = deviceMuted.has_value();
    assign(isMacMuted_, MuteControl::isMuted(muteOwnership_, deviceMuted.value_or(false)),
           &BroadcastController::isMacMutedChanged);
    updateDerived();
}

MuteControl::Strategy BroadcastController::currentStrategy() {
    canMute_ = dependencies_.outputDevice.muted(nullptr).has_value();
    updateDerived();
    return muteStrategy_;
}

bool BroadcastController::muteMac() {
    const MuteControl::Strategy strategy = currentStrategy();
    bool succeeded = false;
    switch (strategy) {
        case MuteControl::Strategy::device:
            succeeded = dependencies_.outputDevice.setMuted(true);
            break;
        case MuteControl::Strategy::tap:
            succeeded = session_ && session_->setTapMuted(true);
            break;
        case MuteControl::Strategy::unavailable:
            break;
    }
    if (succeeded) {
        setMuteOwnership({true, strategy});
    }
    refreshMuteState(true);
    log(MuteControl::logLine(true, strategy, succeeded));
    return succeeded;
}

bool BroadcastController::unmuteMac() {
    const MuteControl::Strategy strategy =
        MuteControl::unmuteStrategy(muteOwnership_, currentStrategy());
    bool succeeded = false;
    switch (strategy) {
        case MuteControl::Strategy::device:
            succeeded = canMute_ && dependencies_.outputDevice.setMuted(false);
            break;
        case MuteControl::Strategy::tap:
            succeeded = session_ && session_->setTapMuted(false);
            break;
        case MuteControl::Strategy::unavailable:
            break;
    }
    if (succeeded) {
        setMuteOwnership(MuteControl::Ownership::notMuted());
    }
    refreshMuteState(true);
    log(MuteControl::logLine(false, strategy, succeeded));
    return succeeded;
}

// ---- Plumbing ----------------------------------------------------------------------

void BroadcastController::log(const std::string& line) const {
    dependencies_.log(line);
}

double BroadcastController::now() const {
    return dependencies_.now();
}

}  // namespace zoranth
