#include "host/session/rave_session.h"

#include <pthread.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <future>
#include <thread>

#include "host/host_log.h"
#include "host/net/steady_port.h"
#include "host/serial_queue.h"
#include "host/session/status_refresh.h"
#include "host/wall_clock.h"
#include "kit/format_text.h"
#include "platform/pulse/pulse_output_device.h"

namespace zoranth {
namespace {

constexpr auto outputQueryTimeout = std::chrono::milliseconds(1000);

// Capture bring-up may block for as long as the system takes to answer; one at a time.
SerialQueue& captureStartQueue() {
    static SerialQueue queue("com.zoranth.capturestart");
    return queue;
}

// Black-box dumps write a minute of audio to disk, off the owner's thread.
SerialQueue& recoveryQueue() {
    static SerialQueue queue("com.zoranth.capture-recovery");
    return queue;
}

// A guest's goodbye goes out ahead of the audio still queued for it. Waiting, briefly,
// until every queue has emptied lets the last chunks reach each guest that keeps up; a
// guest that does not is cut off when the time is up.
void waitForGuestQueuesToEmpty(BroadcastServer& server, std::chrono::milliseconds patience) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (std::chrono::steady_clock::now() < deadline) {
        auto answer = std::make_shared<std::promise<bool>>();
        auto emptied = answer->get_future();
        server.snapshots([answer](std::vector<GuestConnection::Snapshot> guests) {
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

// ---- Failures and texts ------------------------------------------------------------

std::string RaveSession::Failure::message() const {
    if (stage == Stage::pipeline) {
        return "could not start the audio encoder: " + description;
    }
    return description;
}

std::string RaveSession::Failure::line() const {
    switch (stage) {
        case Stage::ring:
            return "FAILED to allocate ring: " + description;
        case Stage::capture:
            return "FAILED to start capture: " + description;
        case Stage::listen:
            return "FAILED to listen: " + description;
        case Stage::pipeline:
            return "FAILED to start the pipeline: " + description;
    }
    return "FAILED: " + description;
}

std::string RaveSession::captureLostWarning(double seconds, const std::string& error) {
    if (seconds < TapSession::OutageWatch::longLossSeconds) {
        return "Zoranth lost this computer's audio for a moment and is reconnecting to it.\n\n"
               "If it doesn't come back within a minute, press Stop and Start again.";
    }
    return formatText(
        "Zoranth has had no audio from this computer for %.0f minute(s): the sound "
        "server is not answering (%s). The guests stay connected and hear the "
        "rave again as soon as the sound server is back.",
        seconds / 60, error.empty() ? "no answer" : error.c_str());
}

RaveSession::OutputDevice RaveSession::OutputDevice::defaultSink() {
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

// ---- Creation ----------------------------------------------------------------------

std::shared_ptr<RaveSession> RaveSession::create(Settings settings, Dependencies dependencies) {
    return std::make_shared<RaveSession>(Key{}, std::move(settings), std::move(dependencies));
}

RaveSession::RaveSession(Key, Settings settings, Dependencies dependencies)
    : dependencies_(std::move(dependencies)),
      settings_(std::move(settings)),
      steering_(settings_.qualityFloor, settings_.isQualityAutomatic),
      sleepBlocker_(dependencies_.inhibit ? dependencies_.inhibit : SleepBlocker::Inhibit([] {
          return LogindInhibitor::inhibit(SleepBlocker::request());
      })) {
    if (!dependencies_.log) {
        dependencies_.log = HostLog::line;
    }
    if (!dependencies_.now) {
        dependencies_.now = WallClock::now;
    }
    if (!dependencies_.outputDevice.muted || !dependencies_.outputDevice.setMuted) {
        dependencies_.outputDevice = OutputDevice::defaultSink();
    }
    if (!dependencies_.bringUpCapture) {
        dependencies_.bringUpCapture = &RaveSession::bringUpCapture;
    }
    if (!dependencies_.makeSink) {
        dependencies_.makeSink = [log =
                                      dependencies_.log](std::shared_ptr<BroadcastServer> server) {
            return BroadcastSink::create(std::move(server), log);
        };
    }
    if (!dependencies_.firewallFinding) {
        dependencies_.firewallFinding = [] { return SystemCheckup::checkFirewall(); };
    }
}

RaveSession::~RaveSession() {
    teardown();
}

// ---- Starting and stopping ---------------------------------------------------------

std::expected<RaveSession::Capture, RaveSession::Failure> RaveSession::bringUpCapture(
    const std::function<void(std::string_view)>& log) {
    auto ring = CaptureRing::createStandard();
    if (!ring) {
        return std::unexpected(
            Failure{Failure::Stage::ring, std::string(ring.error().description())});
    }
    log("starting capture (connecting to the sound server)");
    auto session = TapSession::create();
    const auto format = session->start(*ring);
    if (!format) {
        session->stop();
        return std::unexpected(
            Failure{Failure::Stage::capture, TapSession::describe(format.error())});
    }
    log("tap format: " + format->text());
    return Capture{std::move(*ring), std::move(session), *format};
}

void RaveSession::start(std::optional<std::uint16_t> requested) {
    if (state_.kind == State::Case::starting || state_.kind == State::Case::broadcasting) {
        return;
    }
    state_ = State::starting();
    const std::uint64_t attempt = ++startAttempt_;
    captureStartQueue().post([weak = weak_from_this(), attempt, requested,
                              bringUp = dependencies_.bringUpCapture, log = dependencies_.log,
                              post = dependencies_.post] {
        auto outcome = std::make_shared<std::expected<Capture, Failure>>(bringUp(log));
        post([weak, attempt, requested, outcome] {
            if (const auto self = weak.lock()) {
                self->captureBroughtUp(attempt, std::move(*outcome), requested);
            } else if (*outcome) {
                (*outcome)->session->stop();
            }
        });
    });
}

void RaveSession::captureBroughtUp(std::uint64_t attempt, std::expected<Capture, Failure> outcome,
                                   std::optional<std::uint16_t> requested) {
    // A start that was stopped while the capture came up is over: its capture closes.
    if (attempt != startAttempt_ || state_.kind != State::Case::starting) {
        if (outcome) {
            outcome->session->stop();
        }
        return;
    }
    if (!outcome) {
        fail(outcome.error());
    } else {
        finishStart(std::move(*outcome), requested);
    }
    changed();
}

void RaveSession::fail(const Failure& failure) {
    log(failure.line());
    state_ = State::failed(failure.message());
}

void RaveSession::finishStart(Capture capture, std::optional<std::uint16_t> requested) {
    auto pipeline = CapturePipeline::create(capture.ring, capture.format, framesPerChunk);
    pipeline->setBufferDelayMs(wireBufferDelay());
    auto server = std::make_shared<BroadcastServer>(
        BroadcastSink::helloFor(pipeline->channels(), pipeline->bufferDelayMs()),
        settings_.raveName);
    GuestAdmission::Limits limits;
    limits.maxGuests = settings_.maxGuests;
    server->setAdmissionLimits(limits);
    auto sink = dependencies_.makeSink(server);
    pipeline->setSink(sink);
    pipeline->setTiersWanted([weakServer = std::weak_ptr(server)] {
        const auto server = weakServer.lock();
        return server ? server->tiersWanted() : TierSet{};
    });
    const auto& session = capture.session;
    pipeline->setOutputRunning(TapSession::outputRunningOf(session));
    log("output device: " + TapSession::describe(session->outputDevice()));

    // A new format or output: every guest is told the stream anew, from whichever thread
    // the capture reports it on (the server and the pipeline take care of their own).
    session->setOnFormatChange([log = dependencies_.log, weakSession = std::weak_ptr(session),
                                weakServer = std::weak_ptr(server),
                                weakPipeline = std::weak_ptr(pipeline)] {
        const auto session = weakSession.lock();
        const auto server = weakServer.lock();
        const auto pipeline = weakPipeline.lock();
        if (!session || !server || !pipeline) {
            return;
        }
        const auto live = session->liveFormat();
        log("tap format changed: " + (live ? live->text() : std::string("?")) + ", output " +
            TapSession::describe(session->outputDevice()) + "; re-announcing to clients");
        server->updateFormat(
            BroadcastSink::helloFor(pipeline->channels(), pipeline->bufferDelayMs()));
    });

    liveSince_ = dependencies_.now();
    resetDrought();

    const char* listenAddress = std::getenv(BroadcastServer::listenAddressVariable);
    const SteadyPort steady(
        {SteadyPort::defaultStateFile(),
         listenAddress != nullptr && *listenAddress != '\0' ? listenAddress : "0.0.0.0"});
    const SteadyPort::Choice port = steady.choose(requested);
    if (port.fellBack && port.usual) {
        log(SteadyPort::fallbackLine(*port.usual, port.port));
    }
    const auto listening = BroadcastServer::listeningFor(port.port);
    if (!listening) {
        fail({Failure::Stage::listen, listening.error()});
        session->stop();
        liveSince_.reset();
        return;
    }
    if (auto started = server->start(*listening); !started) {
        fail({Failure::Stage::listen, started.error().text()});
        session->stop();
        liveSince_.reset();
        return;
    }
    if (auto started = pipeline->start(); !started) {
        fail({Failure::Stage::pipeline, started.error().description()});
        server->stop();
        session->stop();
        liveSince_.reset();
        return;
    }

    steady.remember(server->port());
    ring_ = std::move(capture.ring);
    session_ = std::move(capture.session);
    pipeline_ = std::move(pipeline);
    server_ = std::move(server);
    sink_ = std::move(sink);
    tapFormatDescription_ = capture.format.text();
    ioBufferFrames_ = session_->bufferFrameSize();
    state_ = State::broadcasting();
    sleepBlocker_.acquire();
    refreshMuteState(true);
}

std::optional<CapturePipeline::Stats> RaveSession::stop() {
    std::optional<CapturePipeline::Stats> final;
    if (pipeline_) {
        // The sender hands over the assembler once it has stopped; what capture delivered
        // up to now, the partial chunk padded with silence, still reaches the guests.
        pipeline_->stop();
        pipeline_->drainRing();
        pipeline_->assembler().flushPartialAsZeroPadded();
        pipeline_->emitReadyChunks();
        final = pipeline_->stats();
    }
    if (server_) {
        waitForGuestQueuesToEmpty(*server_, finalAudioPatience);
    }
    teardown();
    state_ = State::idle();
    stats_ = CapturePipeline::Stats{};
    guests_.clear();
    steering_.restartRoom();
    tierReason_.reset();
    healthMonitor_ = NetworkHealth();
    health_ = NetworkHealth::Verdict::initial();
    liveSince_.reset();
    resetDrought();
    refreshMuteState(true);
    return final;
}

void RaveSession::teardown() {
    muteOwnership_ = MuteControl::afterTeardown(muteOwnership_);
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
    capture_ = {};
    captureOutage_ = {};
    if (wasLive) {
        ++rave_;
    }
}

void RaveSession::resetDrought() {
    drought_ = DroughtWatch();
    troubleFindings_.clear();
}

// ---- Status refresh ----------------------------------------------------------------

void RaveSession::tick(double now) {
    if (!pipeline_ || !server_) {
        return;
    }
    stats_ = pipeline_->stats();
    lastRefreshAt_ = now;
    listenPort_ = server_->port();
    advertisedName_ = server_->advertisedName();
    refreshMuteState(false);
    watchCaptureConnection(now);

    tickDrought(now, server_->nextGuestId() - 1, listenPort_ != 0 && !advertisedName_);
    checkCapture(now);
    if (const auto beats = sink_->dueBeatReport(now)) {
        log(*beats);
    }

    const std::int64_t delay = wireBufferDelay();
    server_->snapshots([weak = weak_from_this(), post = dependencies_.post, rave = rave_,
                        stats = stats_, delay, now](Guests guests) {
        auto snapshots = std::make_shared<Guests>(std::move(guests));
        post([weak, rave, stats, delay, now, snapshots] {
            const auto self = weak.lock();
            // A collection still on its way when its rave ended says nothing any more.
            if (self && self->rave_ == rave && self->pipeline_) {
                self->completeRefresh(now, std::move(*snapshots), stats, delay);
                self->changed();
            }
        });
    });
}

void RaveSession::completeRefresh(double now, Guests snapshots, const CapturePipeline::Stats& stats,
                                  std::int64_t bufferDelayMs) {
    std::vector<NetworkHealth::ClientSample> samples;
    samples.reserve(snapshots.size());
    for (const auto& snapshot : snapshots) {
        samples.push_back(StatusRefresh::sample(snapshot));
    }
    NetworkHealth::Verdict verdict =
        healthMonitor_.assess(now, stats.chunksProduced, bufferDelayMs, samples);
    verdict.linkStrain = healthMonitor_.measureLinks(samples, bufferDelayMs);
    guests_ = std::move(snapshots);
    health_ = std::move(verdict);
    steerQuality(now, guests_, health_);
    ++statusTicks_;
    if (statusTicks_ % StatusRefresh::statusLineEvery == 0) {
        log(StatusRefresh::statusLine(stats, guests_));
    }
}

// One line when the sound server goes away, one when it is back with how long it was
// gone, and one after a minute of waiting for it.
void RaveSession::watchCaptureConnection(double now) {
    if (!session_) {
        return;
    }
    capture_ = session_->connection();
    using Kind = TapSession::OutageWatch::Notice::Kind;
    for (const auto& notice : captureOutage_.update(capture_, now)) {
        switch (notice.kind) {
            case Kind::lost:
                log("capture lost: " + (notice.error.empty() ? "no answer" : notice.error) +
                    "; reconnecting to the sound server");
                break;
            case Kind::stillLost:
                log(formatText(
                    "capture still lost after %.0f s: the sound server has not come "
                    "back (%s); still trying",
                    notice.seconds, notice.error.empty() ? "no answer" : notice.error.c_str()));
                break;
            case Kind::back:
                log(formatText("capture back after %.1f s", notice.seconds));
                break;
        }
    }
}

// ---- Quality steering --------------------------------------------------------------

void RaveSession::steerQuality(double now, std::span<const GuestConnection::Snapshot> snapshots,
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
    publishBitrates(pass.bitrates, pass.defaultBitrate);
}

void RaveSession::applyRoomTier(const QualityController::Decision& decision) {
    tier_ = decision.tier;
    tierReason_ = decision.reason;
    if (decision.changed) {
        log(QualitySteering::roomLine(decision));
    }
}

void RaveSession::publishBitrates(const std::map<GuestConnection::Id, std::int32_t>& bitrates,
                                  std::int32_t defaultBitrate) {
    if (server_) {
        server_->setBitrates(bitrates);
        server_->setDefaultBitrate(defaultBitrate);
        // By hand, nobody lowers a guest's bitrate.
        server_->setSteeringFloor(settings_.isQualityAutomatic
                                      ? std::optional(settings_.qualityFloor.bitrate())
                                      : std::nullopt);
    }
}

void RaveSession::setQuality(QualityTier tier, double now) {
    applyRoomTier(steering_.setQuality(tier, now));
    // Heard at once, not only after the next pass.
    publishBitrates(steering_.bitrates(), tier_.bitrate());
}

void RaveSession::setQualityFloor(QualityTier floor) {
    settings_.qualityFloor = floor;
    // Applied by the next steering pass.
    steering_.setFloor(floor);
}

void RaveSession::setQualityAutomatic(bool automatic) {
    settings_.isQualityAutomatic = automatic;
    steering_.setAutomatic(automatic);
}

void RaveSession::setRaveName(std::string name) {
    settings_.raveName = std::move(name);
}

void RaveSession::setBufferDelayMs(double milliseconds) {
    settings_.bufferDelayMs = milliseconds;
    if (pipeline_) {
        pipeline_->setBufferDelayMs(wireBufferDelay());
    }
    reannounce();
}

void RaveSession::setMaxGuests(std::size_t guests) {
    settings_.maxGuests = std::clamp<std::size_t>(guests, 1, GuestAdmission::maxGuestsCeiling);
    if (server_) {
        // The other limits are the server's own (tests shorten the proof limit).
        GuestAdmission::Limits limits = server_->admissionLimits();
        limits.maxGuests = settings_.maxGuests;
        server_->setAdmissionLimits(limits);
    }
}

std::uint16_t RaveSession::wireBufferDelay() const {
    if (!std::isfinite(settings_.bufferDelayMs)) {
        return 4500;
    }
    return static_cast<std::uint16_t>(std::clamp(settings_.bufferDelayMs, 0.0, 65535.0));
}

// A new delay for the running rave: every guest is told the stream anew.
void RaveSession::reannounce() {
    if (pipeline_ && server_) {
        server_->updateFormat(
            BroadcastSink::helloFor(pipeline_->channels(), pipeline_->bufferDelayMs()));
    }
}

void RaveSession::setNetworkUnavailable(bool unavailable) {
    networkUnavailable_ = unavailable;
}

// ---- The no-guest watch ------------------------------------------------------------

void RaveSession::tickDrought(double now, std::int64_t totalAccepted, bool listeningUnadvertised) {
    const DroughtWatch::Stage result = drought_.update(now, liveSince_, totalAccepted);
    if (result.kind == DroughtWatch::Stage::Case::investigate) {
        investigateDrought(listeningUnadvertised);
    } else if (drought_.stage().kind == DroughtWatch::Stage::Case::fine) {
        troubleFindings_.clear();
    }
}

// Why has nobody joined? The network watch may already know; otherwise the firewall is
// asked, which takes seconds, on a thread of its own.
void RaveSession::investigateDrought(bool listeningUnadvertised) {
    if (const auto finding = SystemCheckup::unreachedFinding(
            networkUnavailable_, listeningUnadvertised,
            server_ ? server_->registrationFailure() : std::nullopt, SystemCheckup::Setup{})) {
        troubleFindings_ = {*finding};
        return;
    }
    std::thread([weak = weak_from_this(), post = dependencies_.post, rave = rave_,
                 check = dependencies_.firewallFinding] {
        pthread_setname_np(pthread_self(), "zoranth-drought");
        std::vector<SystemCheckup::Finding> findings;
        if (SystemCheckup::Finding firewall = check();
            firewall.verdict != SystemCheckup::Verdict::ok) {
            findings.push_back(std::move(firewall));
        }
        auto result = std::make_shared<std::vector<SystemCheckup::Finding>>(std::move(findings));
        post([weak, rave, result] {
            const auto self = weak.lock();
            if (self && self->rave_ == rave) {
                self->troubleFindings_ = std::move(*result);
                self->changed();
            }
        });
    }).detach();
}

// ---- Capture recovery --------------------------------------------------------------

void RaveSession::checkCapture(double now) {
    // A capture that lost its sound server reconnects by itself; rebuilding it now would
    // only fail and leave the rave without one.
    if (!sink_ || !pipeline_ || !session_ || capture_.lost) {
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
}

void RaveSession::restartTap() {
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

std::optional<RaveSession::Levels> RaveSession::levels() const {
    if (!pipeline_) {
        return std::nullopt;
    }
    CapturePipeline::Stats stats = pipeline_->stats();
    return Levels{std::move(stats.peak), std::move(stats.rms)};
}

std::string RaveSession::admissionText() const {
    if (server_) {
        if (auto refused = server_->refusals().latest) {
            return *refused;
        }
    }
    return "up to " + std::to_string(settings_.maxGuests) + " guests";
}

std::optional<std::string> RaveSession::permissionWarning() const {
    if (capture_.lost) {
        return captureLostWarning(lastRefreshAt_ - capture_.lostSince, capture_.lastAttemptError);
    }
    return AudioCapability::silenceWarning(stats_.diagnosis, recovery_.hadAudioThisRave());
}

// ---- Muting the speakers -----------------------------------------------------------

MuteControl::Strategy RaveSession::muteStrategy() const {
    return MuteControl::strategy(session_ != nullptr, canMute_);
}

void RaveSession::refreshMuteState(bool askTheServer) {
    const std::optional<bool> deviceMuted =
        dependencies_.outputDevice.muted(askTheServer ? nullptr : session_.get());
    canMute_ = deviceMuted.has_value();
    isSpeakersMuted_ = MuteControl::isMuted(muteOwnership_, deviceMuted.value_or(false));
}

bool RaveSession::muteSpeakers() {
    canMute_ = dependencies_.outputDevice.muted(nullptr).has_value();
    const MuteControl::Strategy strategy = muteStrategy();
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
        muteOwnership_ = {true, strategy};
    }
    refreshMuteState(true);
    log(MuteControl::logLine(true, strategy, succeeded));
    return succeeded;
}

bool RaveSession::unmuteSpeakers() {
    canMute_ = dependencies_.outputDevice.muted(nullptr).has_value();
    const MuteControl::Strategy strategy =
        MuteControl::unmuteStrategy(muteOwnership_, muteStrategy());
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
        muteOwnership_ = MuteControl::Ownership::notMuted();
    }
    refreshMuteState(true);
    log(MuteControl::logLine(false, strategy, succeeded));
    return succeeded;
}

// ---- Plumbing ----------------------------------------------------------------------

void RaveSession::log(const std::string& line) const {
    dependencies_.log(line);
}

void RaveSession::changed() const {
    if (dependencies_.changed) {
        dependencies_.changed();
    }
}

}  // namespace zoranth
