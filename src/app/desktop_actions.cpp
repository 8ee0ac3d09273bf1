#include "app/desktop_actions.h"

#include <QClipboard>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QFileInfo>
#include <QGuiApplication>
#include <QProcess>
#include <QStandardPaths>

#include "host/host_log.h"

namespace zoranth {

bool DesktopActions::openUrl(const QString& url) {
    if (QDesktopServices::openUrl(QUrl(url))) {
        return true;
    }
    HostLog::line("app: nothing on this desktop opens " + url.toStdString());
    return false;
}

bool DesktopActions::showInFiles(const QString& path) {
    const QString uri = QUrl::fromLocalFile(path).toString();
    auto message = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.FileManager1"),
                                                  QStringLiteral("/org/freedesktop/FileManager1"),
                                                  QStringLiteral("org.freedesktop.FileManager1"),
                                                  QStringLiteral("ShowItems"));
    message << QStringList{uri} << QString();
    const auto reply = QDBusConnection::sessionBus().call(message, QDBus::Block, 3000);
    if (reply.type() == QDBusMessage::ReplyMessage) {
        return true;
    }
    return openUrl(QUrl::fromLocalFile(QFileInfo(path).absolutePath()).toString());
}

QStringList DesktopActions::soundSettingsCommand() {
    const QList<QStringList> candidates{
        {QStringLiteral("pavucontrol")},
        {QStringLiteral("gnome-control-center"), QStringLiteral("sound")},
        {QStringLiteral("systemsettings"), QStringLiteral("kcm_pulseaudio")},
    };
    for (const QStringList& candidate : candidates) {
        const QString program = QStandardPaths::findExecutable(candidate.front());
        if (!program.isEmpty()) {
            return QStringList{program} + candidate.mid(1);
        }
    }
    return {};
}

bool DesktopActions::openSoundSettings() {
    const QStringList command = soundSettingsCommand();
    if (!command.isEmpty() && QProcess::startDetached(command.front(), command.mid(1))) {
        return true;
    }
    HostLog::line("app: no sound settings program could be started");
    return false;
}

void DesktopActions::copyText(const QString& text) {
    QGuiApplication::clipboard()->setText(text);
}

}  // namespace zoranth
