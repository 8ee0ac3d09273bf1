// The real main window and settings window, loaded in the test's own engine and bound to
// the real broadcast controller or to a stand-in (qml/ContractController.qml) whose
// properties a test sets, with ways to find items by objectName, read their texts and
// grab the windows as images.
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

#include <cstdlib>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "app/host_app.h"
#include "app/window_types.h"
#include "gui_application.h"

namespace zoranth {

class WindowHarness {
  public:
    // Over `controller`, which outlives the harness; over a stand-in when none is given.
    explicit WindowHarness(QObject* controller = nullptr) : controller_(controller) {
        WindowTypes::install(engine_);
        if (controller_ == nullptr) {
            QQmlComponent fixture(&engine_,
                                  QUrl::fromLocalFile(QStringLiteral(ZORANTH_SOURCE_DIR) +
                                                      "/tests/app/qml/ContractController.qml"));
            standIn_.reset(fixture.create());
            if (standIn_ == nullptr) {
                ADD_FAILURE() << fixture.errorString().toStdString();
                std::abort();
            }
            controller_ = standIn_.get();
        }
        QQmlComponent main(&engine_, HostApp::mainWindowUrl());
        if (!main.isReady()) {
            ADD_FAILURE() << main.errorString().toStdString();
            std::abort();
        }
        root_.reset(main.createWithInitialProperties(
            {{QStringLiteral("controller"), QVariant::fromValue(controller_)}}));
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
        root_.reset();
        standIn_.reset();
    }

    WindowHarness(const WindowHarness&) = delete;
    WindowHarness& operator=(const WindowHarness&) = delete;

    QObject* controller() const { return controller_; }
    // The main window's root object, Main.qml's ApplicationWindow.
    QObject* root() const { return root_.get(); }
    QObject* audio() const { return controller_->property("audio").value<QObject*>(); }
    QQuickWindow* window() const { return window_; }
    QQuickWindow* settingsWindow() const {
        return qobject_cast<QQuickWindow*>(root_->property("settingsWindow").value<QObject*>());
    }

    // Sets a property of the stand-in controller.
    void set(const char* name, const QVariant& value) {
        controller_->setProperty(name, value);
        settle();
    }

    QStringList calls() const { return controller_->property("calls").toStringList(); }

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
    // Check my Mac).
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

    QImage grab(QQuickWindow* shown) {
        settle();
        return shown->grabWindow();
    }

  private:
    // Before the engine, which needs the application.
    QGuiApplication& application_ = guiApplication();
    QQmlEngine engine_;
    std::unique_ptr<QObject> standIn_;
    QObject* controller_ = nullptr;
    std::unique_ptr<QObject> root_;
    QQuickWindow* window_ = nullptr;
};

}  // namespace zoranth
