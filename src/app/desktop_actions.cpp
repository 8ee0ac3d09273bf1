#include "app/desktop_actions.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QFileInfo>
#include <QGuiApplication>

#include "app/contract_values.h"
#include "host/host_log.h"

namespace zoranth {

QString DesktopActions::applicationPath() const {
    return QCoreApplication::applicationFilePath();
}

bool DesktopActions::openUrl(const QString& url) {
    if (QDesktopServices::openUrl(QUrl(url))) {
        return true;
    }
    HostLog::line("app: nothing on this desktop opens " + url.toStdString());
    return false;
}

bool DesktopActions::reveal(const QString& path) {
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

bool DesktopActions::revealApplication() {
    return reveal(applicationPath());
}

bool DesktopActions::revealFinding(const SystemCheckup::Finding&) {
    return revealApplication();
}

bool DesktopActions::revealFinding(const QVariantMap& finding) {
    return revealFinding(ContractValues::finding(finding));
}

void DesktopActions::copyText(const QString& text) {
    QGuiApplication::clipboard()->setText(text);
}

}  // namespace zoranth
