// The one QGuiApplication the window tests share, drawing offscreen in software so the
// tests need no display.
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
        qputenv("QT_QPA_PLATFORM", "offscreen");
        QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
        return new QGuiApplication(argc, argv);
    }();
    return *app;
}

}  // namespace zoranth
