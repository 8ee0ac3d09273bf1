// The window's owner of a rave: runs one rave session, shows it in the window's models
// (WindowModels) after every change, runs its timers (levels 30 times a second, the
// session's refresh four times a second), keeps the settings in the preferences and
// follows the network attachment. The rave itself — starting, steering, recovery,
// muting — is the session's. Confined to the main thread: the session's work that
// finishes elsewhere comes back through the event loop and does nothing once the
// controller is gone.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <string_view>

#include "app/preferences.h"
#include "app/rave_controls.h"
#include "app/window_models.h"
#include "host/capture/audio_capability.h"
#include "host/checks/system_checkup.h"
#include "host/link_capacity.h"
#include "host/session/rave_session.h"
#include "host/sleep_blocker.h"

namespace zoranth {

class NetworkWatch;

class BroadcastController : public QObject, public RaveControls {
    Q_OBJECT

  public:
    // What the controller uses of the world; every empty member is the real thing.
    struct Dependencies {
        QString preferencesPath;  // empty: the user's settings file
        // Wall-clock seconds for the session's refresh and steering.
        std::function<double()> now;
        // Host-log lines; called from other threads too (capture and recovery queues).
        std::function<void(std::string_view)> log;
        SleepBlocker::Inhibit inhibit;
        RaveSession::OutputDevice outputDevice;
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

    // What the window binds to.
    WindowModels& models() { return *models_; }
    // The rave session the window shows.
    RaveSession& rave() const { return *rave_; }
    bool timersRunning() const { return meterTimer_ != nullptr || statusTimer_ != nullptr; }

    // RaveControls: each carries the request out on the session, then shows the result.
    void start() override;
    void stop() override;
    bool muteSpeakers() override;
    bool unmuteSpeakers() override;
    void setQuality(QualityTier tier) override;
    void setQualityFloor(QualityTier floor) override;
    void setQualityAutomatic(bool automatic) override;
    void setRaveName(const QString& name) override;
    void setBufferDelayMs(double milliseconds) override;
    void setMaxGuests(std::size_t guests) override;

    // One status refresh, as the status timer runs it.
    void refreshStatus();
    void refreshMuteState();
    void refreshLink(LinkCapacity::HostAttachment attachment);
    // Shows the session in the models, and runs the timers while the rave is live.
    void sync();

  public slots:
    // The application shell connects the application becoming active here: outside a
    // rave the capture permission is probed again.
    void applicationBecameActive();

  private:
    void startTimers();
    void stopTimers();
    void refreshMeters();

    Dependencies dependencies_;
    std::unique_ptr<Preferences> preferences_;
    std::shared_ptr<RaveSession> rave_;
    std::unique_ptr<WindowModels> models_;
    std::unique_ptr<QTimer> meterTimer_;
    std::unique_ptr<QTimer> statusTimer_;
    const std::shared_ptr<NetworkWatch> permission_;
};

}  // namespace zoranth
