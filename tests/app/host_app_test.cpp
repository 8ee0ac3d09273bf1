// The main window as the application loads it.
#include "app/host_app.h"
#include "app/window_types.h"

#include <QQmlApplicationEngine>
#include <QQuickWindow>

#include <gtest/gtest.h>

#include "app/window_models.h"
#include "gui_application.h"
#include "window_samples.h"

namespace zoranth {
namespace {

TEST(HostAppWindow, TheMainWindowIsTitledAndKeepsItsMinimumSize) {
    guiApplication();
    RecordedControls controls;
    WindowModels models(controls, {[] { return AudioCapability::Verdict::granted(); }, {}});
    QQmlApplicationEngine engine;
    WindowTypes::install(engine);
    engine.setInitialProperties({{QStringLiteral("models"), QVariant::fromValue(&models)}});
    engine.load(HostApp::mainWindowUrl());
    ASSERT_EQ(engine.rootObjects().size(), 1);
    auto* window = qobject_cast<QQuickWindow*>(engine.rootObjects().constFirst());
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->objectName(), QStringLiteral("mainWindow"));
    EXPECT_EQ(window->title(), QStringLiteral("Zoranth Host"));
    EXPECT_EQ(window->minimumSize(), QSize(620, 520));
    EXPECT_GE(window->width(), 620);
    EXPECT_GE(window->height(), 520);

    window->show();
    window->resize(300, 200);
    QCoreApplication::processEvents();
    EXPECT_EQ(window->minimumSize(), QSize(620, 520));
}

}  // namespace
}  // namespace zoranth
