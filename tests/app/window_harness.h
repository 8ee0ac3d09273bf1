// The real main window and settings window, loaded in the test's own engine and bound to
// the window's models: the real broadcast controller's, or models of the harness's own
// whose values a test shows and whose requests a RecordedControls keeps. Ways to find
// items by objectName, read their texts and grab the windows as images.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSet>
#include <QVariant>

#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include <gtest/gtest.h>

#include "app/host_app.h"
#include "app/window_models.h"
#include "app/window_types.h"
#include "gui_application.h"
#include "host/host_log.h"
#include "window_samples.h"

namespace zoranth {

// The capture-permission probe as a test scripts it: answers at once with the verdict
// set, or, while held, waits for answer() (or for the script to end).
class ScriptedProbe {
  public:
    ScriptedProbe() = default;
    ~ScriptedProbe() { end(); }
    ScriptedProbe(const ScriptedProbe&) = delete;
    ScriptedProbe& operator=(const ScriptedProbe&) = delete;

    std::function<AudioCapability::Verdict()> probe() {
        return [state = state_] {
            std::unique_lock lock(state->mutex);
            ++state->calls;
            state->changed.wait(lock, [&] { return !state->held || state->ended; });
            return state->verdict;
        };
    }

    // The next probes wait until answered.
    void hold() {
        std::lock_guard lock(state_->mutex);
        state_->held = true;
    }
    // Answers the waiting probe, and every later one, with `verdict`.
    void answer(AudioCapability::Verdict verdict) {
        {
            std::lock_guard lock(state_->mutex);
            state_->verdict = std::move(verdict);
            state_->held = false;
        }
        state_->changed.notify_all();
    }
    // Lets every waiting probe go.
    void end() {
        {
            std::lock_guard lock(state_->mutex);
            state_->ended = true;
        }
        state_->changed.notify_all();
    }
    int calls() const {
        std::lock_guard lock(state_->mutex);
        return state_->calls;
    }

  private:
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        AudioCapability::Verdict verdict = AudioCapability::Verdict::granted();
        bool held = false;
        bool ended = false;
        int calls = 0;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

class WindowHarness {
  public:
    // Over models of its own; over `models` (the broadcast controller's, which outlive
    // the harness) when given.
    explicit WindowHarness(WindowModels* models = nullptr) : models_(models) {
        // The capture-permission probe logs its verdict; not into the user's own log file.
        HostLog::setWritesFile(false);
        WindowTypes::install(engine_);
        if (models_ == nullptr) {
            ownModels_ = std::make_unique<WindowModels>(
                controls_, AudioCapabilityModel::Dependencies{probe_.probe(), {}});
            models_ = ownModels_.get();
        }
        QQmlComponent main(&engine_, HostApp::mainWindowUrl());
        if (!main.isReady()) {
            ADD_FAILURE() << main.errorString().toStdString();
            std::abort();
        }
        root_.reset(main.createWithInitialProperties(
            {{QStringLiteral("models"), QVariant::fromValue(models_)}}));
        if (root_ == nullptr) {
            ADD_FAILURE() << main.errorString().toStdString();
            std::abort();
        }
        window_ = qobject_cast<QQuickWindow*>(root_.get());
        if (window_ != nullptr) {
            window_->show();
            settle();
        }
    }

    ~WindowHarness() {
        probe_.end();
        root_.reset();
        ownModels_.reset();
        HostLog::setWritesFile(wroteFile_);
    }

    WindowHarness(const WindowHarness&) = delete;
    WindowHarness& operator=(const WindowHarness&) = delete;

    WindowModels& models() const { return *models_; }
    // What the harness's own models asked of the rave.
    QStringList calls() const { return controls_.calls; }
    ScriptedProbe& probe() { return probe_; }
    // The main window's root object, Main.qml's ApplicationWindow.
    QObject* root() const { return root_.get(); }
    QQuickWindow* window() const { return window_; }
    QQuickWindow* settingsWindow() const {
        return qobject_cast<QQuickWindow*>(root_->property("settingsWindow").value<QObject*>());
    }

    // Changes the models, then lets the window catch up.
    void show(const std::function<void(WindowModels&)>& change) {
        change(*models_);
        settle();
    }
    void showState(const RaveSession::State& state) {
        show([&](WindowModels& models) { models.rave()->showState(state); });
    }
    void showGuests(const std::vector<GuestConnection::Snapshot>& guests,
                    const NetworkHealth::Verdict& verdict = NetworkHealth::Verdict::initial(),
                    const std::map<GuestConnection::Id, QualityTier>& tiers = {}) {
        show([&](WindowModels& models) {
            models.guests()->show(guests, verdict, tiers, WallClock::now());
        });
    }

    // Every object with that name in either window, popups included, in tree order.
    std::vector<QObject*> findAll(const QString& name) const {
        std::vector<QObject*> found;
        QSet<QObject*> seen;
        std::vector<QObject*> queue{root_.get()};
        if (window_ != nullptr) {
            queue.push_back(window_->contentItem());
        }
        if (auto* settings = settingsWindow()) {
            queue.push_back(settings->contentItem());
        }
        for (std::size_t i = 0; i < queue.size(); ++i) {
            QObject* object = queue[i];
            if (object == nullptr || seen.contains(object)) {
                continue;
            }
            seen.insert(object);
            if (object->objectName() == name) {
                found.push_back(object);
            }
            for (QObject* child : object->children()) {
                queue.push_back(child);
            }
            if (auto* item = qobject_cast<QQuickItem*>(object)) {
                for (QQuickItem* child : item->childItems()) {
                    queue.push_back(child);
                }
            }
        }
        return found;
    }

    QObject* find(const QString& name) const {
        const auto found = findAll(name);
        EXPECT_FALSE(found.empty()) << "no item named " << name.toStdString();
        return found.empty() ? nullptr : found.front();
    }

    QString text(const QString& name) const {
        QObject* object = find(name);
        return object != nullptr ? object->property("text").toString() : QString();
    }

    // Visible on screen: the item and every item above it are visible.
    bool shows(const QString& name) const {
        auto* item = qobject_cast<QQuickItem*>(find(name));
        return item != nullptr && item->isVisible();
    }

    bool enabled(const QString& name) const {
        QObject* object = find(name);
        return object != nullptr && object->property("enabled").toBool();
    }

    // The visible items of that name, e.g. the rows a Repeater made.
    std::vector<QQuickItem*> visibleItems(const QString& name) const {
        std::vector<QQuickItem*> items;
        for (QObject* object : findAll(name)) {
            if (auto* item = qobject_cast<QQuickItem*>(object);
                item != nullptr && item->isVisible()) {
                items.push_back(item);
            }
        }
        return items;
    }

    void click(const QString& name) {
        QObject* object = find(name);
        ASSERT_NE(object, nullptr);
        ASSERT_TRUE(QMetaObject::invokeMethod(object, "clicked"));
        settle();
    }

    // Opens the settings window on the tab at that index (Audio, Network, Diagnostics,
    // the checkup).
    QQuickWindow* openSettings(int tab) {
        QMetaObject::invokeMethod(root_.get(), "openSettings");
        auto* settings = settingsWindow();
        if (settings != nullptr) {
            settings->findChild<QObject*>(QStringLiteral("settingsView"))
                ->setProperty("currentIndex", tab);
        }
        settle();
        return settings;
    }

    // Lets bindings, layouts and timers catch up, and draws each shown window once.
    void settle() {
        for (int round = 0; round < 3; ++round) {
            QElapsedTimer waited;
            waited.start();
            while (waited.elapsed() < 10) {
                QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            }
            for (QQuickWindow* shown : {window_, settingsWindow()}) {
                if (shown != nullptr && shown->isVisible()) {
                    shown->grabWindow();
                }
            }
        }
    }

    // Settles until the condition holds, for at most about two seconds.
    bool settlesInto(const std::function<bool()>& condition) {
        for (int round = 0; round < 60 && !condition(); ++round) {
            settle();
        }
        return condition();
    }

    QImage grab(QQuickWindow* shown) {
        settle();
        return shown->grabWindow();
    }

  private:
    // Before the engine, which needs the application.
    QGuiApplication& application_ = guiApplication();
    const bool wroteFile_ = HostLog::writesFile();
    RecordedControls controls_;
    ScriptedProbe probe_;
    QQmlEngine engine_;
    std::unique_ptr<WindowModels> ownModels_;
    WindowModels* models_ = nullptr;
    std::unique_ptr<QObject> root_;
    QQuickWindow* window_ = nullptr;
};

}  // namespace zoranth
