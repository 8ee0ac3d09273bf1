// The windowed application: one per user (a second launch brings the first one's window
// forward and exits 0), the main window, and quitting through the quit coordinator.
// Called once from main on the main thread.
#pragma once

#include <QString>
#include <QUrl>

namespace zoranth {

struct HostApp {
    // What a window start without a display says, before exiting with 1.
    static constexpr const char* noDisplayText =
        "zoranth-host: there is no display to open the window on (neither DISPLAY nor "
        "WAYLAND_DISPLAY is set). Run a terminal mode instead, for example zoranth-host "
        "--serve; zoranth-host --help lists them.";
    // Whether a window can be shown here: a display or a platform named for Qt.
    static bool hasDisplay();
    // Runs the window until the application quits; the process exit status.
    static int run(int argc, char** argv);

    // The main window's QML, compiled into the application.
    static QUrl mainWindowUrl();
    // The application's icon, the brand's mark.
    static QString iconPath();

    // The window's title and the size it never gets smaller than.
    static constexpr const char* windowTitle = "Zoranth Host";
    static constexpr int minimumWidth = 620;
    static constexpr int minimumHeight = 520;
    // The desktop entry this program installs, which desktops match its windows to.
    static constexpr const char* desktopFileName = "com.zoranth.host";
};

}  // namespace zoranth
