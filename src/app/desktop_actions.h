// What the window asks of the desktop: open a web page or a settings page, show a file
// in the file manager, put text on the clipboard. Main thread only.
#pragma once

#include <QObject>
#include <QString>
#include <QUrl>
#include <QVariantMap>

#include "host/checks/system_checkup.h"

namespace zoranth {

class DesktopActions : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString helpUrl READ helpUrl CONSTANT)
    // Where this program runs from.
    Q_PROPERTY(QString applicationPath READ applicationPath CONSTANT)

  public:
    // The product's web page, opened by "Zoranth Help".
    static constexpr const char* helpPage = "https://zoranth.app/help";

    using QObject::QObject;

    QString helpUrl() const { return QString::fromLatin1(helpPage); }
    QString applicationPath() const;

    // In the default handler for the address; false (and a log line) when none takes it.
    Q_INVOKABLE bool openUrl(const QString& url);
    Q_INVOKABLE bool openHelp() { return openUrl(helpUrl()); }

    // Asks the file manager to show the file selected; where it cannot, opens the folder.
    Q_INVOKABLE bool reveal(const QString& path);
    // Reveals this program's own executable.
    Q_INVOKABLE bool revealApplication();
    // Reveals the copy a checkup finding is about: another installed copy, else this one.
    bool revealFinding(const SystemCheckup::Finding& finding);
    Q_INVOKABLE bool revealFinding(const QVariantMap& finding);

    // Plain text on the clipboard.
    Q_INVOKABLE void copyText(const QString& text);
};

}  // namespace zoranth
