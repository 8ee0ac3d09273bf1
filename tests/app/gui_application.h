// The one QGuiApplication the window tests share, drawing in software: on the test
// services' display when the environment names a platform (Xvfb), offscreen otherwise,
// so the tests run with or without a display.
#pragma once

#include <QGuiApplication>
#include <QQuickWindow>
#include <QSGRendererInterface>

namespace zoranth {

inline QGuiApplication& guiApplication() {
    static int argc = 1;
    static char name[] = "zoranth_app_tests";
    static char* argv[] = {name, nullptr};
    static QGuiApplication* app = [] {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
            qputenv("QT_QPA_PLATFORM", "offscreen");
        }
        QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
        return new QGuiApplication(argc, argv);
    }();
    return *app;
}

}  // namespace zoranth
