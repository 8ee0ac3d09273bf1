// One rave, for either front end: brings the capture up, runs the pipeline, the server
// and the sink that connects them, keeps the computer awake while live, and ends it all
// in order. Its tick() is the status refresh, four times a second while live: statistics,
// the no-guest watch, capture recovery, the guests' snapshots, the network verdict and
// the quality steering that turns it into bitrates. The window and the terminal both
// run a rave through this class and add only what they show.
//
// Confined to its owner's thread (the terminal's loop or the window's event loop): every
// operation runs there, and every step that finishes elsewhere (capture bring-up, the
// snapshot collection, the drought investigation) comes back through Dependencies::post
// and does nothing once the session or its rave is gone. Time is passed in wherever a
// decision depends on it.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "host/capture/audio_capability.h"
#include "host/capture/capture_pipeline.h"
#include "host/capture/capture_ring.h"
#include "host/capture/tap_format.h"
#include "host/capture/tap_session.h"
#include "host/checks/system_checkup.h"
#include "host/mute_control.h"
#include "host/net/broadcast_server.h"
#include "host/net/guest_connection.h"
#include "host/network_health.h"
#include "host/quality_controller.h"
#include "host/session/broadcast_sink.h"
#include "host/session/capture_recovery.h"
#include "host/session/drought_watch.h"
#include "host/session/quality_steering.h"
#include "host/sleep_blocker.h"
#include "kit/quality_tier.h"
#include "kit/silence_watchdog.h"

namespace zoranth {

class RaveSession : public std::enable_shared_from_this<RaveSession> {
    struct Key {};

  public:
    using Guests = std::vector<GuestConnection::Snapshot>;

    struct State {
        enum class Case { idle, starting, broadcasting, failed };
        Case kind = Case::idle;
        std::string message;  // failed: what the person is told

        static State idle() { return {Case::idle, {}}; }
        static State starting() { return {Case::starting, {}}; }
        static State broadcasting() { return {Case::broadcasting, {}}; }
        static State failed(std::string message) { return {Case::failed, std::move(message)}; }
        friend bool operator==(const State&, const State&) = default;
    };

    // Why a rave could not start.
    struct Failure {
        enum class Stage { ring, capture, listen, pipeline };
        Stage stage = Stage::capture;
        std::string description;  // the failing component's own words

        // What the window shows: the description, for the pipeline after "could not
        // start the audio encoder: ".
        std::string message() const;
        // What the terminal prints: "FAILED to allocate ring: …", "FAILED to start
        // capture: …", "FAILED to listen: …", "FAILED to start the pipeline: …".
        std::string line() const;
        friend bool operator==(const Failure&, const Failure&) = default;
    };

    // A started capture, as the bring-up hands it over.
    struct Capture {
        std::shared_ptr<CaptureRing> ring;
        std::shared_ptr<TapSession> session;
        TapFormat format;
    };

    struct Settings {
        std::string raveName;  // empty: the computer's name
        double bufferDelayMs = 4500;
        QualityTier qualityFloor = QualityTier::minimum;
        bool isQualityAutomatic = true;
        std::size_t maxGuests = GuestAdmission::defaultMaxGuests;
    };

    // The computer's default output, as muting the speakers sees it.
    struct OutputDevice {
        // Whether it is muted now; none when there is no output with a mute control. The
        // running rave's capture session, when given, knows without asking the server.
        std::function<std::optional<bool>(const TapSession* session)> muted;
        // Sets its mute control; false when that failed.
        std::function<bool(bool muted)> setMuted;

        // The sound server's default sink.
        static OutputDevice defaultSink();
    };

    // What the session uses of the world; every empty member is the real thing, except
    // post, which the owner must give.
    struct Dependencies {
        // Runs work on the owner's thread; called from any thread.
        std::function<void(std::function<void()>)> post;
        // Called on the owner's thread after a step that finished elsewhere changed what
        // the session shows (a start, a refresh, an investigation).
        std::function<void()> changed;
        // Wall-clock seconds for what happens off the ticks: when a rave goes live.
        std::function<double()> now;
        // Host-log lines; called from other threads too (capture and recovery queues).
        std::function<void(std::string_view)> log;
        SleepBlocker::Inhibit inhibit;
        OutputDevice outputDevice;
        // Brings the capture up; runs on the capture-start queue and may block there.
        std::function<std::expected<Capture, Failure>(const std::function<void(std::string_view)>&)>
            bringUpCapture;
        // The sink over a rave's server (by default with the beat helper when installed).
        std::function<std::shared_ptr<BroadcastSink>(std::shared_ptr<BroadcastServer>)> makeSink;
        // The firewall finding of the drought investigation; runs on a thread of its own.
        std::function<SystemCheckup::Finding()> firewallFinding;
        // What the capture-recovery check reads; by default the pipeline's statistics and
        // the sink's canary.
        std::function<CaptureRecovery::Signals()> captureSignals;
    };

    struct Levels {
        std::vector<float> peak;
        std::vector<float> rms;
        friend bool operator==(const Levels&, const Levels&) = default;
    };

    static constexpr int framesPerChunk = 960;
    static constexpr std::chrono::milliseconds tickInterval{250};
    // How long ending a rave waits for the guests to take the audio still queued for them.
    static constexpr std::chrono::milliseconds finalAudioPatience{250};

    static std::shared_ptr<RaveSession> create(Settings settings, Dependencies dependencies);
    RaveSession(Key, Settings settings, Dependencies dependencies);
    ~RaveSession();
    RaveSession(const RaveSession&) = delete;
    RaveSession& operator=(const RaveSession&) = delete;

    // The real capture bring-up: the standard ring and a started tap session, logging
    // "starting capture (connecting to the sound server)" and "tap format: …".
    static std::expected<Capture, Failure> bringUpCapture(
        const std::function<void(std::string_view)>& log);

    // From idle or failed: brings the capture up off the owner's thread, then goes live
    // listening on the `requested` port, else on this computer's usual port for raves
    // (the steady port), else on any free port. Ignored while starting or live.
    void start(std::optional<std::uint16_t> requested = std::nullopt);
    // Ends the rave (or forgets one still starting): the last partial chunk goes out
    // padded with silence before the guests are told goodbye. Gives the pipeline's final
    // statistics of a rave that was live.
    std::optional<CapturePipeline::Stats> stop();

    // One status refresh at `now` (wall-clock seconds); the guests' part follows when
    // the server's snapshots arrive (completeRefresh).
    void tick(double now);
    void completeRefresh(double now, Guests snapshots, const CapturePipeline::Stats& stats,
                         std::int64_t bufferDelayMs);
    void steerQuality(double now, std::span<const GuestConnection::Snapshot> snapshots,
                      const NetworkHealth::Verdict& verdict);
    // The no-guest watch; totalAccepted counts the guests ever accepted in this rave.
    void tickDrought(double now, std::int64_t totalAccepted, bool listeningUnadvertised);
    // The capture-recovery check of a live rave.
    void checkCapture(double now);
    // Rebuilds the running tap on the same ring, keeping a tap mute.
    void restartTap();

    // The levels of the last chunk, read fresh from the pipeline; none outside a rave.
    std::optional<Levels> levels() const;

    bool muteSpeakers();
    bool unmuteSpeakers();
    // askTheServer: right after a change of our own, when the capture's view of the
    // output may not have caught up yet.
    void refreshMuteState(bool askTheServer = true);

    // The room tier chosen by hand; every guest follows at once.
    void setQuality(QualityTier tier, double now);
    void setQualityFloor(QualityTier floor);
    void setQualityAutomatic(bool automatic);
    // Advertised from the next start; a running server keeps its name.
    void setRaveName(std::string name);
    // Reaches a running rave's guests at once.
    void setBufferDelayMs(double milliseconds);
    // How many guests the rave takes, 1…4096 (clamped). A running rave applies it to the
    // connections that come next; guests already in stay.
    void setMaxGuests(std::size_t guests);
    // Whether no network interface is up for guests to reach (reported by the network
    // watch).
    void setNetworkUnavailable(bool unavailable);

    // What the window shows about the capture: the reconnecting text while the sound
    // server is away, else what the silence diagnosis calls for; none when all is well.
    // The text shown while the connection to the sound server is lost, for `seconds` so
    // far, the latest attempt to reconnect having failed with `error`.
    static std::string captureLostWarning(double seconds, const std::string& error);

    const State& state() const { return state_; }
    const Settings& settings() const { return settings_; }
    // The buffer delay as the wire carries it: whole milliseconds in 16 bits.
    std::uint16_t wireBufferDelay() const;
    // The pipeline's statistics as the last refresh copied them.
    const CapturePipeline::Stats& stats() const { return stats_; }
    const std::string& tapFormatDescription() const { return tapFormatDescription_; }
    std::uint32_t ioBufferFrames() const { return ioBufferFrames_; }
    std::uint16_t listenPort() const { return listenPort_; }
    const std::optional<std::string>& advertisedName() const { return advertisedName_; }
    // One snapshot per connected guest, in id order, from the last refresh.
    const Guests& guests() const { return guests_; }
    QualityTier tier() const { return tier_; }
    std::optional<QualityController::Reason> tierReason() const { return tierReason_; }
    const std::map<GuestConnection::Id, QualityTier>& guestTiers() const {
        return steering_.clientTiers();
    }
    const QualitySteering& steering() const { return steering_; }
    const NetworkHealth::Verdict& health() const { return health_; }
    const DroughtWatch::Stage& droughtStage() const { return drought_.stage(); }
    const std::vector<SystemCheckup::Finding>& troubleFindings() const { return troubleFindings_; }
    bool networkUnavailable() const { return networkUnavailable_; }
    bool isKeepingAwake() const { return sleepBlocker_.isHolding(); }
    bool isSpeakersMuted() const { return isSpeakersMuted_; }
    const MuteControl::Ownership& muteOwnership() const { return muteOwnership_; }
    MuteControl::Strategy muteStrategy() const;
    std::optional<std::string> permissionWarning() const;
    // Who may come in: the room's limit, or, once a limit turned connections away, the
    // latest such refusal.
    std::string admissionText() const;
    // The capture's connection to the sound server, as the last refresh saw it.
    const TapSession::Connection& capture() const { return capture_; }
    const CaptureRecovery& recovery() const { return recovery_; }
    std::int64_t statusTicks() const { return statusTicks_; }
    std::optional<double> liveSince() const { return liveSince_; }

    // The running rave's pieces; none outside a rave.
    const std::shared_ptr<TapSession>& session() const { return session_; }
    const std::shared_ptr<CapturePipeline>& pipeline() const { return pipeline_; }
    const std::shared_ptr<BroadcastServer>& server() const { return server_; }
    const std::shared_ptr<BroadcastSink>& sink() const { return sink_; }

  private:
    void captureBroughtUp(std::uint64_t attempt, std::expected<Capture, Failure> outcome,
                          std::optional<std::uint16_t> requested);
    void finishStart(Capture capture, std::optional<std::uint16_t> requested);
    void fail(const Failure& failure);
    void teardown();
    void reannounce();
    void resetDrought();
    void investigateDrought(bool listeningUnadvertised);
    void watchCaptureConnection(double now);
    void applyRoomTier(const QualityController::Decision& decision);
    void publishBitrates(const std::map<GuestConnection::Id, std::int32_t>& bitrates,
                         std::int32_t defaultBitrate);
    void log(const std::string& line) const;
    void changed() const;

    Dependencies dependencies_;
    Settings settings_;

    State state_;
    CapturePipeline::Stats stats_;
    std::string tapFormatDescription_ = "—";
    std::uint32_t ioBufferFrames_ = 0;
    std::uint16_t listenPort_ = 0;
    std::optional<std::string> advertisedName_;
    Guests guests_;
    QualityTier tier_ = QualityTier::full;
    std::optional<QualityController::Reason> tierReason_;
    QualitySteering steering_;
    NetworkHealth::Verdict health_ = NetworkHealth::Verdict::initial();
    NetworkHealth healthMonitor_;
    DroughtWatch drought_;
    std::vector<SystemCheckup::Finding> troubleFindings_;
    bool networkUnavailable_ = false;
    bool isSpeakersMuted_ = false;
    bool canMute_ = false;
    MuteControl::Ownership muteOwnership_ = MuteControl::Ownership::notMuted();
    CaptureRecovery recovery_;
    TapSession::Connection capture_;
    TapSession::OutageWatch captureOutage_;
    double lastRefreshAt_ = 0;
    std::int64_t statusTicks_ = 0;
    std::optional<double> liveSince_;

    // The running rave.
    std::shared_ptr<CaptureRing> ring_;
    std::shared_ptr<TapSession> session_;
    std::shared_ptr<CapturePipeline> pipeline_;
    std::shared_ptr<BroadcastServer> server_;
    std::shared_ptr<BroadcastSink> sink_;
    SleepBlocker sleepBlocker_;

    // Work that comes back later belongs to the start attempt or the rave it began in;
    // a start that was stopped, or a rave that has ended, drops it.
    std::uint64_t startAttempt_ = 0;
    std::uint64_t rave_ = 0;
};

}  // namespace zoranth
