// The window's adapter over the rave session: shows what the session knows as observable
// properties, runs its timers (levels 30 times a second, the session's refresh four
// times a second), keeps the settings in the preferences and follows the network
// attachment. The rave itself — starting, steering, recovery, muting — is the session's.
// Confined to the main thread: the session's work that finishes elsewhere comes back
// through the event loop and does nothing once the controller is gone.
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
#include "app/preferences.h"
#include "host/capture/audio_capability.h"
#include "host/checks/system_checkup.h"
#include "host/link_capacity.h"
#include "host/mute_control.h"
#include "host/net/guest_connection.h"
#include "host/network_health.h"
#include "host/session/rave_session.h"
#include "host/sleep_blocker.h"
#include "kit/quality_tier.h"
#include "kit/silence_watchdog.h"

namespace zoranth {

class NetworkWatch;

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
    // Linux has no exclusive (hog) owner of the output: always empty.
    Q_PROPERTY(QString hogOwner READ hogOwner CONSTANT)
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
    using State = RaveSession::State;
    using OutputDevice = RaveSession::OutputDevice;

    // What the controller uses of the world; every empty member is the real thing.
    struct Dependencies {
        QString preferencesPath;  // empty: the user's settings file
        // Wall-clock seconds for the session's refresh and steering.
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

    static constexpr std::chrono::milliseconds meterInterval{1000 / 30};
    static constexpr std::chrono::milliseconds statusInterval = RaveSession::tickInterval;

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

    // One status refresh, as the status timer runs it.
    void refreshStatus();
    void refreshMuteState();
    void refreshLink(LinkCapacity::HostAttachment attachment);
    // Reads the session's values and announces those that changed.
    void sync();

    // Typed reads for C++ callers.
    const State& state() const { return state_; }
    const std::vector<float>& peak() const { return peak_; }
    const std::vector<float>& rms() const { return rms_; }
    const SilenceWatchdog::Diagnosis& diagnosis() const { return diagnosis_; }
    const MuteControl::Ownership& muteOwnership() const { return muteOwnership_; }
    MuteControl::Strategy muteStrategy() const { return muteStrategy_; }
    const std::vector<GuestConnection::Snapshot>& clients() const { return clients_; }
    QualityTier tier() const { return tier_; }
    std::optional<QualityController::Reason> tierReason() const { return tierReason_; }
    const std::optional<LinkCapacity::Link>& link() const { return link_; }
    LinkCapacity::HostAttachment attachment() const { return attachment_; }
    const std::map<GuestConnection::Id, QualityTier>& clientTiers() const { return clientTiers_; }
    QualityTier qualityFloor() const { return qualityFloor_; }
    const NetworkHealth::Verdict& health() const { return health_; }
    const DroughtWatch::Stage& droughtStage() const { return droughtStage_; }
    const std::vector<SystemCheckup::Finding>& troubleFindings() const { return troubleFindings_; }
    std::optional<QString> permissionWarning() const { return permissionWarning_; }
    bool timersRunning() const { return meterTimer_ != nullptr || statusTimer_ != nullptr; }
    // The rave session the window shows.
    RaveSession& rave() const { return *rave_; }
    AudioCapabilityModel& audioModel() { return *audio_; }

    // What QML reads.
    QString stateName() const;
    QString failureMessage() const { return QString::fromStdString(state_.message); }
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
    QString hogOwner() const { return {}; }
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
    using Signal = void (BroadcastController::*)();

    void startTimers();
    void stopTimers();
    void refreshMeters();
    void log(const std::string& line) const;
    double now() const;

    template <class Value>
    void assign(Value& field, std::type_identity_t<Value> value, Signal changed);
    void setState(State state);
    void setLevels(std::vector<float> peak, std::vector<float> rms);

    Dependencies dependencies_;
    std::unique_ptr<Preferences> preferences_;

    // What the window last read, in the order the window lists it.
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
    std::vector<GuestConnection::Snapshot> clients_;
    std::int64_t clientsAtTick_ = -1;
    QualityTier tier_ = QualityTier::full;
    std::optional<QualityController::Reason> tierReason_;
    std::optional<LinkCapacity::Link> link_;
    QString linkDescription_ = QStringLiteral("checking…");
    LinkCapacity::HostAttachment attachment_ = LinkCapacity::HostAttachment::unknown;
    std::map<GuestConnection::Id, QualityTier> clientTiers_;
    QualityTier qualityFloor_;
    bool isQualityAutomatic_;
    NetworkHealth::Verdict health_ = NetworkHealth::Verdict::initial();
    std::uint16_t listenPort_ = 0;
    std::optional<QString> advertisedName_;
    QStringList addresses_;
    bool localNetworkDenied_ = false;
    QString raveName_;
    double bufferDelayMs_;
    DroughtWatch::Stage droughtStage_ = DroughtWatch::Stage::fine();
    std::vector<SystemCheckup::Finding> troubleFindings_;
    bool isKeepingAwake_ = false;
    std::optional<QString> permissionWarning_;

    std::shared_ptr<RaveSession> rave_;
    std::unique_ptr<QTimer> meterTimer_;
    std::unique_ptr<QTimer> statusTimer_;

    const std::shared_ptr<NetworkWatch> permission_;
    AudioCapabilityModel* audio_;
};

}  // namespace zoranth
