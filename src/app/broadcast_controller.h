// The window's owner of a rave: starts and stops it, holds everything the window shows
// about it as observable properties, refreshes them four times a second, steers the
// audio quality, recovers a broken capture and mutes this computer's own output.
// Confined to the main thread: capture bring-up runs on its own serial queue and every
// callback from another thread comes back through the event loop, doing nothing once
// the controller is gone.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>

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
#include <type_traits>
#include <vector>

#include "app/audio_capability_model.h"
#include "app/capture_recovery.h"
#include "app/preferences.h"
#include "app/quality_steering.h"
#include "host/capture/audio_capability.h"
#include "host/capture/capture_pipeline.h"
#include "host/capture/capture_ring.h"
#include "host/capture/tap_format.h"
#include "host/capture/tap_session.h"
#include "host/checks/system_checkup.h"
#include "host/link_capacity.h"
#include "host/mute_control.h"
#include "host/net/broadcast_server.h"
#include "host/net/client_connection.h"
#include "host/network_health.h"
#include "host/sleep_blocker.h"
#include "kit/drought_watch.h"
#include "kit/quality_tier.h"
#include "kit/silence_watchdog.h"

namespace zoranth {

class NetworkWatch;
class ServeCommand;

class BroadcastController : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString state READ stateName NOTIFY stateChanged)
    Q_PROPERTY(QString failureMessage READ failureMessage NOTIFY failureMessageChanged)
    Q_PROPERTY(QList<qreal> peak READ peakLevels NOTIFY peakChanged)
    Q_PROPERTY(QList<qreal> rms READ rmsLevels NOTIFY rmsChanged)
    Q_PROPERTY(
        QString tapFormatDescription READ tapFormatDescription NOTIFY tapFormatDescriptionChanged)
    Q_PROPERTY(int ioBufferFrames READ ioBufferFrames NOTIFY ioBufferFramesChanged)
    Q_PROPERTY(double chunksProduced READ chunksProduced NOTIFY chunksProducedChanged)
    Q_PROPERTY(int ringDepth READ ringDepth NOTIFY ringDepthChanged)
    Q_PROPERTY(double ringOverruns READ ringOverruns NOTIFY ringOverrunsChanged)
    Q_PROPERTY(double discontinuities READ discontinuities NOTIFY discontinuitiesChanged)
    Q_PROPERTY(QVariantMap diagnosis READ diagnosisMap NOTIFY diagnosisChanged)
    Q_PROPERTY(double ioProcDeliveries READ ioProcDeliveries NOTIFY ioProcDeliveriesChanged)
    Q_PROPERTY(bool isMacMuted READ isMacMuted NOTIFY isMacMutedChanged)
    Q_PROPERTY(QVariantMap muteOwnership READ muteOwnershipMap NOTIFY muteOwnershipChanged)
    Q_PROPERTY(QString muteStrategy READ muteStrategyName NOTIFY muteStrategyChanged)
    Q_PROPERTY(QString hogOwner READ hogOwner NOTIFY hogOwnerChanged)
    Q_PROPERTY(QVariantList clients READ clientList NOTIFY clientsChanged)
    Q_PROPERTY(QString tier READ tierName NOTIFY tierChanged)
    Q_PROPERTY(QString tierReason READ tierReasonName NOTIFY tierReasonChanged)
    Q_PROPERTY(QVariant link READ linkValue NOTIFY linkChanged)
    Q_PROPERTY(QString linkDescription READ linkDescription NOTIFY linkDescriptionChanged)
    Q_PROPERTY(QString attachment READ attachmentName NOTIFY attachmentChanged)
    Q_PROPERTY(QVariantMap clientTiers READ clientTierMap NOTIFY clientTiersChanged)
    Q_PROPERTY(QString qualityFloor READ qualityFloorName WRITE setQualityFloorName NOTIFY
                   qualityFloorChanged)
    Q_PROPERTY(bool isQualityAutomatic READ isQualityAutomatic WRITE setQualityAutomatic NOTIFY
                   isQualityAutomaticChanged)
    Q_PROPERTY(QVariantMap health READ healthMap NOTIFY healthChanged)
    Q_PROPERTY(int listenPort READ listenPort NOTIFY listenPortChanged)
    Q_PROPERTY(QString advertisedName READ advertisedName NOTIFY advertisedNameChanged)
    Q_PROPERTY(QStringList addresses READ addresses NOTIFY addressesChanged)
    Q_PROPERTY(bool localNetworkDenied READ localNetworkDenied NOTIFY localNetworkDeniedChanged)
    Q_PROPERTY(QString raveName READ raveName WRITE setRaveName NOTIFY raveNameChanged)
    Q_PROPERTY(
        double bufferDelayMs READ bufferDelayMs WRITE setBufferDelayMs NOTIFY bufferDelayMsChanged)
    Q_PROPERTY(QString droughtStage READ droughtStageName NOTIFY droughtStageChanged)
    Q_PROPERTY(QVariantList troubleFindings READ troubleFindingList NOTIFY troubleFindingsChanged)
    Q_PROPERTY(bool isKeepingAwake READ isKeepingAwake NOTIFY isKeepingAwakeChanged)
    Q_PROPERTY(QString permissionWarning READ permissionWarningText NOTIFY permissionWarningChanged)
    Q_PROPERTY(QObject* audio READ audio CONSTANT)

  public:
    struct State {
        enum class Case { idle, starting, broadcasting, failed };
        Case kind = Case::idle;
        QString message;  // failed: shown to the user

        static State idle() { return {Case::idle, {}}; }
        static State starting() { return {Case::starting, {}}; }
        static State broadcasting() { return {Case::broadcasting, {}}; }
        static State failed(QString message) { return {Case::failed, std::move(message)}; }
        friend bool operator==(const State&, const State&) = default;
    };

    // This computer's default output, as muting sees it.
    struct OutputDevice {
        // Whether it is muted now; none when there is no output with a mute control. The
        // running rave's capture session, when given, knows without asking the server.
        std::function<std::optional<bool>(const TapSession* session)> muted;
        // Sets its mute control; false when that failed.
        std::function<bool(bool muted)> setMuted;

        // The sound server's default sink.
        static OutputDevice defaultSink();
    };

    // What the controller uses of the world; every empty member is the real thing.
    struct Dependencies {
        QString preferencesPath;  // empty: the user's settings file
        // Wall-clock seconds for liveSince, steering, drought and recovery.
        std::function<double()> now;
        // Host-log lines; called from other threads too (capture and recovery queues).
        std::function<void(std::string_view)> log;
        SleepBlocker::Inhibit inhibit;
        OutputDevice outputDevice;
        std::function<AudioCapability::Verdict()> probe;
        // The firewall finding of the drought investigation; runs on a thread of its own.
        std::function<SystemCheckup::Finding()> firewallFinding;
        // What the capture-recovery check reads; by default the pipeline's statistics and
        // the sink's canary.
        std::function<CaptureRecovery::Signals()> captureSignals;
    };

    static constexpr int framesPerChunk = 960;
    static constexpr std::chrono::milliseconds meterInterval{1000 / 30};
    static constexpr std::chrono::milliseconds statusInterval{250};

    explicit BroadcastController(QObject* parent = nullptr);
    explicit BroadcastController(Dependencies dependencies, QObject* parent = nullptr);
    ~BroadcastController() override;

    // From idle or failed: brings the capture up off the main thread, then goes live.
    Q_INVOKABLE void start();
    // Ends the rave (or forgets one still starting): the last partial chunk goes out
    // padded with silence before the guests are told goodbye.
    Q_INVOKABLE void stop();
    Q_INVOKABLE bool muteMac();
    Q_INVOKABLE bool unmuteMac();
    // The room tier chosen by hand ("full" … "minimum"; other names are ignored).
    Q_INVOKABLE void setQuality(const QString& tier);
    void setQuality(QualityTier tier);
    void setQuality(QualityTier tier, double now);

    // One status refresh, as the status timer runs it; the rest follows when the server's
    // snapshots arrive (completeRefresh).
    void refreshStatus();
    void completeRefresh(double now, std::vector<ClientConnection::Snapshot> snapshots,
                         const CapturePipeline::Stats& stats, std::int64_t bufferDelayMs);
    void steerQuality(double now, std::span<const ClientConnection::Snapshot> snapshots,
                      const NetworkHealth::Verdict& verdict);
    void applyRoomTier(const QualityController::Decision& decision);
    // The no-guest watch; totalAccepted counts the guests ever accepted in this rave.
    void tickDrought(double now, std::int64_t totalAccepted, bool listeningUnadvertised);
    // The capture-recovery check of a live rave.
    void checkCapture(double now);
    // Rebuilds the running tap on the same ring, keeping a tap mute.
    void restartTap();
    void refreshMuteState();
    void refreshLink(LinkCapacity::HostAttachment attachment);

    // The text the window shows when capture delivers no audio; none otherwise.
    static std::optional<QString> permissionWarningFor(const SilenceWatchdog::Diagnosis& diagnosis,
                                                       bool hadAudioThisRave);

    // Typed reads for C++ callers.
    const State& state() const { return state_; }
    const std::vector<float>& peak() const { return peak_; }
    const std::vector<float>& rms() const { return rms_; }
    const SilenceWatchdog::Diagnosis& diagnosis() const { return diagnosis_; }
    const MuteControl::Ownership& muteOwnership() const { return muteOwnership_; }
    MuteControl::Strategy muteStrategy() const { return muteStrategy_; }
    const std::vector<ClientConnection::Snapshot>& clients() const { return clients_; }
    QualityTier tier() const { return tier_; }
    std::optional<QualityController::Reason> tierReason() const { return tierReason_; }
    const std::optional<LinkCapacity::Link>& link() const { return link_; }
    LinkCapacity::HostAttachment attachment() const { return attachment_; }
    const std::map<ClientConnection::Id, QualityTier>& clientTiers() const { return clientTiers_; }
    QualityTier qualityFloor() const { return qualityFloor_; }
    const NetworkHealth::Verdict& health() const { return health_; }
    const DroughtWatch::Stage& droughtStage() const { return droughtStage_; }
    const std::vector<SystemCheckup::Finding>& troubleFindings() const { return troubleFindings_; }
    std::optional<QString> permissionWarning() const { return permissionWarning_; }
    const QualitySteering& steering() const { return steering_; }
    const CaptureRecovery& recovery() const { return recovery_; }
    std::int64_t statusTicks() const { return statusTicks_; }
    std::optional<double> liveSince() const { return liveSince_; }
    bool timersRunning() const { return meterTimer_ != nullptr || statusTimer_ != nullptr; }
    // The running rave's pieces; none outside a rave.
    const std::shared_ptr<TapSession>& session() const { return session_; }
    const std::shared_ptr<CapturePipeline>& pipeline() const { return pipeline_; }
    const std::shared_ptr<BroadcastServer>& server() const { return server_; }
    AudioCapabilityModel& audioModel() { return *audio_; }

    // What QML reads.
    QString stateName() const;
    QString failureMessage() const { return state_.message; }
    QList<qreal> peakLevels() const;
    QList<qreal> rmsLevels() const;
    QString tapFormatDescription() const { return tapFormatDescription_; }
    int ioBufferFrames() const { return static_cast<int>(ioBufferFrames_); }
    double chunksProduced() const { return static_cast<double>(chunksProduced_); }
    int ringDepth() const { return static_cast<int>(ringDepth_); }
    double ringOverruns() const { return static_cast<double>(ringOverruns_); }
    double discontinuities() const { return static_cast<double>(discontinuities_); }
    QVariantMap diagnosisMap() const;
    double ioProcDeliveries() const { return static_cast<double>(ioProcDeliveries_); }
    bool isMacMuted() const { return isMacMuted_; }
    QVariantMap muteOwnershipMap() const;
    QString muteStrategyName() const;
    QString hogOwner() const { return hogOwner_.value_or(QString()); }
    QVariantList clientList() const;
    QString tierName() const;
    QString tierReasonName() const;
    QVariant linkValue() const;
    QString linkDescription() const { return linkDescription_; }
    QString attachmentName() const;
    QVariantMap clientTierMap() const;
    QString qualityFloorName() const;
    bool isQualityAutomatic() const { return isQualityAutomatic_; }
    QVariantMap healthMap() const;
    int listenPort() const { return listenPort_; }
    QString advertisedName() const { return advertisedName_.value_or(QString()); }
    QStringList addresses() const { return addresses_; }
    bool localNetworkDenied() const { return localNetworkDenied_; }
    QString raveName() const { return raveName_; }
    double bufferDelayMs() const { return bufferDelayMs_; }
    QString droughtStageName() const;
    QVariantList troubleFindingList() const;
    bool isKeepingAwake() const { return isKeepingAwake_; }
    QString permissionWarningText() const { return permissionWarning_.value_or(QString()); }
    QObject* audio() const { return audio_; }

    // Settings: each stores its preference.
    void setQualityFloor(QualityTier floor);
    void setQualityFloorName(const QString& name);
    void setQualityAutomatic(bool automatic);
    void setRaveName(const QString& name);
    void setBufferDelayMs(double milliseconds);

  public slots:
    // The application shell connects the application becoming active here: outside a
    // rave the capture permission is probed again.
    void applicationBecameActive();

  signals:
    void stateChanged();
    void failureMessageChanged();
    void peakChanged();
    void rmsChanged();
    void tapFormatDescriptionChanged();
    void ioBufferFramesChanged();
    void chunksProducedChanged();
    void ringDepthChanged();
    void ringOverrunsChanged();
    void discontinuitiesChanged();
    void diagnosisChanged();
    void ioProcDeliveriesChanged();
    void isMacMutedChanged();
    void muteOwnershipChanged();
    void muteStrategyChanged();
    void hogOwnerChanged();
    void clientsChanged();
    void tierChanged();
    void tierReasonChanged();
    void linkChanged();
    void linkDescriptionChanged();
    void attachmentChanged();
    void clientTiersChanged();
    void qualityFloorChanged();
    void isQualityAutomaticChanged();
    void healthChanged();
    void listenPortChanged();
    void advertisedNameChanged();
    void addressesChanged();
    void localNetworkDeniedChanged();
    void raveNameChanged();
    void bufferDelayMsChanged();
    void droughtStageChanged();
    void troubleFindingsChanged();
    void isKeepingAwakeChanged();
    void permissionWarningChanged();

  private:
    // What the capture bring-up hands back.
    struct Capture {
        std::shared_ptr<CaptureRing> ring;
        std::shared_ptr<TapSession> session;
        TapFormat format;
    };
    using Signal = void (BroadcastController::*)();

    static std::expected<Capture, QString> bringUpCapture();
    void captureBroughtUp(std::uint64_t attempt, std::expected<Capture, QString> outcome);
    void finishStart(Capture capture);
    void startTimers();
    void stopTimers();
    void teardown();
    void reannounce();
    void log(const std::string& line) const;
    double now() const;
    std::uint16_t wireBufferDelay() const;
    void refreshMuteState(bool askTheServer);
    MuteControl::Strategy currentStrategy();
    void refreshMeters();
    void resetDrought();
    void investigateDrought(bool listeningUnadvertised);
    void updateDerived();

    template <class Value>
    void assign(Value& field, std::type_identity_t<Value> value, Signal changed);
    void setState(State state);
    void setLevels(std::vector<float> peak, std::vector<float> rms);
    void setClients(std::vector<ClientConnection::Snapshot> clients);
    void setHealth(NetworkHealth::Verdict verdict);
    void setTroubleFindings(std::vector<SystemCheckup::Finding> findings);
    void setMuteOwnership(MuteControl::Ownership ownership);
    void setLocalNetworkDenied(bool denied);

    Dependencies dependencies_;
    std::unique_ptr<Preferences> preferences_;

    // Observable state, in the order the window lists it.
    State state_;
    std::vector<float> peak_{0, 0};
    std::vector<float> rms_{0, 0};
    QString tapFormatDescription_ = QStringLiteral("—");
    std::uint32_t ioBufferFrames_ = 0;
    std::int64_t chunksProduced_ = 0;
    std::uint32_t ringDepth_ = 0;
    std::uint64_t ringOverruns_ = 0;
    std::int64_t discontinuities_ = 0;
    SilenceWatchdog::Diagnosis diagnosis_ = SilenceWatchdog::Diagnosis::idle(0);
    std::uint64_t ioProcDeliveries_ = 0;
    bool isMacMuted_ = false;
    MuteControl::Ownership muteOwnership_ = MuteControl::Ownership::notMuted();
    MuteControl::Strategy muteStrategy_ = MuteControl::Strategy::unavailable;
    bool canMute_ = false;
    std::optional<QString> hogOwner_;
    std::vector<ClientConnection::Snapshot> clients_;
    QualityTier tier_ = QualityTier::full;
    std::optional<QualityController::Reason> tierReason_;
    std::optional<LinkCapacity::Link> link_;
    QString linkDescription_ = QStringLiteral("checking…");
    LinkCapacity::HostAttachment attachment_ = LinkCapacity::HostAttachment::unknown;
    std::map<ClientConnection::Id, QualityTier> clientTiers_;
    QualityTier qualityFloor_;
    bool isQualityAutomatic_;
    QualitySteering steering_;
    NetworkHealth::Verdict health_ = NetworkHealth::Verdict::initial();
    NetworkHealth healthMonitor_;
    std::uint16_t listenPort_ = 0;
    std::optional<QString> advertisedName_;
    QStringList addresses_;
    bool localNetworkDenied_ = false;
    QString raveName_;
    double bufferDelayMs_;
    DroughtWatch drought_;
    DroughtWatch::Stage droughtStage_ = DroughtWatch::Stage::fine();
    std::vector<SystemCheckup::Finding> troubleFindings_;
    bool isKeepingAwake_ = false;
    std::optional<QString> permissionWarning_;

    // The running rave.
    std::shared_ptr<CaptureRing> ring_;
    std::shared_ptr<TapSession> session_;
    std::shared_ptr<CapturePipeline> pipeline_;
    std::shared_ptr<BroadcastServer> server_;
    std::shared_ptr<ServeCommand> sink_;
    std::optional<double> liveSince_;
    std::unique_ptr<QTimer> meterTimer_;
    std::unique_ptr<QTimer> statusTimer_;
    std::int64_t statusTicks_ = 0;
    CaptureRecovery recovery_;

    // Work that comes back later belongs to the start attempt or the rave it began in;
    // a start that was stopped, or a rave that has ended, drops it.
    std::uint64_t startAttempt_ = 0;
    std::uint64_t rave_ = 0;

    const std::shared_ptr<NetworkWatch> permission_;
    SleepBlocker sleepBlocker_;
    AudioCapabilityModel* audio_;
};

}  // namespace zoranth
