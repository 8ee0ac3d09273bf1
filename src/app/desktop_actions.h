// What the window asks of the desktop: open a web page, open the desktop's sound
// settings where one is installed, show a file in the file manager, put text on the
// clipboard. Main thread only.
#pragma once

#include <QtQml/qqmlregistration.h>
#include <QObject>
#include <QString>
#include <QUrl>

#include <QStringList>

namespace zoranth {

class DesktopActions : public QObject {
    Q_OBJECT
    QML_NAMED_ELEMENT(Desktop)
    QML_SINGLETON
    Q_PROPERTY(QString helpUrl READ helpUrl CONSTANT)
    // A sound settings program is installed: pavucontrol, or the desktop's own panel.
    Q_PROPERTY(bool hasSoundSettings READ hasSoundSettings CONSTANT)

  public:
    // The product's web page, opened by "Zoranth Help".
    static constexpr const char* helpPage = "https://zoranth.app/help";

    using QObject::QObject;

    QString helpUrl() const { return QString::fromLatin1(helpPage); }
    bool hasSoundSettings() const { return !soundSettingsCommand().isEmpty(); }

    // In the default handler for the address; false (and a log line) when none takes it.
    Q_INVOKABLE bool openUrl(const QString& url);
    Q_INVOKABLE bool openHelp() { return openUrl(helpUrl()); }

    // Starts the sound settings program; false (and a log line) when there is none or
    // it would not start.
    Q_INVOKABLE bool openSoundSettings();
    // The first installed of pavucontrol, GNOME's and KDE's sound panels, with the
    // arguments that open it on sound; empty when none is.
    static QStringList soundSettingsCommand();

    // Asks the file manager to show the file selected (org.freedesktop.FileManager1);
    // where none answers, opens the folder.
    Q_INVOKABLE bool showInFiles(const QString& path);

    // Plain text on the clipboard.
    Q_INVOKABLE void copyText(const QString& text);
};

}  // namespace zoranth
