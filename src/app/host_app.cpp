#include "app/host_app.h"

#include <cstdlib>

#include <QGuiApplication>
#include <QIcon>
#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <QSGRendererInterface>
#include <QSocketNotifier>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstring>
#include <string>

#include "app/broadcast_controller.h"
#include "app/desktop_actions.h"
#include "app/preferences.h"
#include "app/quit_coordinator.h"
#include "app/quit_prompt.h"
#include "app/single_instance.h"
#include "app/window_types.h"
#include "host/host_log.h"

namespace zoranth {
namespace {

using namespace std::chrono_literals;

// Only the signal handler and the notifier reading its pipe share this.
std::array<int, 2> quitSignalPipe{-1, -1};

// Async-signal-safe: hands the signal's number to the event loop and does nothing else.
void onQuitSignal(int number) {
    const auto byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const auto written = ::write(quitSignalPipe[1], &byte, 1);
}

// SIGTERM (logging out, systemd, kill), SIGINT (Ctrl+C in the terminal) and SIGHUP end
// the rave cleanly and quit without asking: the quit question is for the window's own
// Quit, and nobody is there to answer it. Leaving the event loop runs the same way out
// as any quit (the speakers unmuted, the last chunk and the goodbye sent).
void quitOnSignals(QGuiApplication& app, QObject* window) {
    if (pipe2(quitSignalPipe.data(), O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    auto* notifier = new QSocketNotifier(quitSignalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [window] {
        unsigned char byte = 0;
        int number = 0;
        while (::read(quitSignalPipe[0], &byte, 1) > 0) {
            number = byte;
        }
        const char* name = sigabbrev_np(number);
        HostLog::line(std::string("app: SIG") + (name != nullptr ? name : "?") +
                      " received; ending the rave and quitting");
        // Closing the window now must not ask; exit() leaves the loop without asking
        // the windows to close, as quit() would.
        window->setProperty("quitting", true);
        QCoreApplication::exit(0);
    });
    struct sigaction action {};
    action.sa_handler = onQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        sigaction(signal, &action, nullptr);
    }
}

void logLine(const QString& text) {
    HostLog::line(text.toStdString());
}

}  // namespace

QUrl HostApp::mainWindowUrl() {
    return QUrl(QStringLiteral("qrc:/Zoranth/Host/Main.qml"));
}

QString HostApp::iconPath() {
    return QStringLiteral(":/Zoranth/Host/brand/logo.svg");
}

bool HostApp::hasDisplay() {
    const auto set = [](const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr && *value != '\0';
    };
    return set("QT_QPA_PLATFORM") || set("DISPLAY") || set("WAYLAND_DISPLAY");
}

int HostApp::run(int argc, char** argv) {
    // Qt would abort without a display to connect to; say what to do instead.
    if (!hasDisplay()) {
        logLine(QString::fromLatin1(noDisplayText));
        return 1;
    }
    QGuiApplication app(argc, argv);
    QGuiApplication::setOrganizationName(QString::fromLatin1(Preferences::organizationName));
    QGuiApplication::setApplicationName(QString::fromLatin1(Preferences::applicationName));
    QGuiApplication::setApplicationDisplayName(QString::fromLatin1(windowTitle));
    QGuiApplication::setDesktopFileName(QString::fromLatin1(desktopFileName));
    QGuiApplication::setWindowIcon(QIcon(iconPath()));

    SingleInstance instance(SingleInstance::defaultFolder(), SingleInstance::defaultName());
    switch (instance.claim(10s)) {
        case SingleInstance::Outcome::handedOver:
            logLine(QStringLiteral("app: already running; its window was brought forward"));
            return 0;
        case SingleInstance::Outcome::failed:
            logLine(QStringLiteral("app: cannot start the window: ") + instance.failureText());
            return 1;
        case SingleInstance::Outcome::first:
            break;
    }

    // Without a display there is no GPU context to be had; draw in software instead.
    const QString platform = QGuiApplication::platformName();
    if (platform == QLatin1String("offscreen") || platform == QLatin1String("minimal")) {
        QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    }

    // One controller for the life of the process; the window and quitting share it.
    QuitCoordinator quit;
    BroadcastController controller;
    WindowModels& models = controller.models();
    ModelsQuitAdapter quitController(models);
    QuitPrompt quitPrompt(quit);
    QObject::connect(&app, &QGuiApplication::applicationStateChanged, &controller,
                     [&controller](Qt::ApplicationState state) {
                         if (state == Qt::ApplicationActive) {
                             controller.applicationBecameActive();
                         }
                     });

    QQmlApplicationEngine engine;
    WindowTypes::install(engine);
    engine.setInitialProperties({{QStringLiteral("models"), QVariant::fromValue(&models)},
                                 {QStringLiteral("quitPrompt"), QVariant::fromValue(&quitPrompt)}});
    engine.load(mainWindowUrl());
    auto* window = engine.rootObjects().isEmpty()
                       ? nullptr
                       : qobject_cast<QQuickWindow*>(engine.rootObjects().constFirst());
    if (window == nullptr) {
        logLine(QStringLiteral("app: the main window could not be loaded"));
        return 1;
    }
    QObject::connect(&instance, &SingleInstance::raiseRequested, window, [window] {
        window->show();
        window->raise();
        window->requestActivate();
        logLine(QStringLiteral("app: another launch brought the window forward"));
    });
    QObject::connect(window, SIGNAL(quitRequested()), &app, SLOT(quit()));
    window->show();
    // From now on quitting can end the rave and unmute the speakers.
    quit.setController(&quitController);

    QObject::connect(&app, &QCoreApplication::aboutToQuit, &app, [&quit] { quit.willTerminate(); });
    quitOnSignals(app, window);

    logLine(QStringLiteral("app: window open; later launches reach it at ") +
            instance.socketPath());
    return app.exec();
}

}  // namespace zoranth
