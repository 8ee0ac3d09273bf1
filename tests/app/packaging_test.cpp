// What the install puts where desktops look: the launcher names this program and its
// icon, and the bitmap icon is the mark as drawn.
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QSettings>
#include <QSvgRenderer>

#include <algorithm>
#include <cstdlib>

#include <gtest/gtest.h>

#include "app/host_app.h"
#include "gui_application.h"
#include "qt_printing.h"

namespace zoranth {
namespace {

const QString packaging = QStringLiteral(ZORANTH_SOURCE_DIR "/packaging/");

TEST(Packaging, TheLauncherStartsThisProgramUnderItsIcon) {
    const QString path = packaging + QString::fromLatin1(HostApp::desktopFileName) + ".desktop";
    ASSERT_TRUE(QFile::exists(path)) << path.toStdString();
    QSettings entry(path, QSettings::IniFormat);
    entry.beginGroup("Desktop Entry");
    EXPECT_EQ(entry.value("Type").toString(), QString("Application"));
    EXPECT_EQ(entry.value("Name").toString(), QString(HostApp::windowTitle));
    EXPECT_EQ(entry.value("Exec").toString(), QString("zoranth-host"));
    EXPECT_EQ(entry.value("Icon").toString(), QString(HostApp::desktopFileName));
    EXPECT_EQ(entry.value("Terminal").toString(), QString("false"));
}

TEST(Packaging, TheBitmapIconIsTheMark) {
    guiApplication();
    const QImage shipped(packaging + QString::fromLatin1(HostApp::desktopFileName) + ".png");
    ASSERT_EQ(shipped.size(), QSize(256, 256));
    QImage drawn(256, 256, QImage::Format_ARGB32_Premultiplied);
    drawn.fill(Qt::transparent);
    {
        QSvgRenderer mark(HostApp::iconPath());
        QPainter painter(&drawn);
        mark.render(&painter);
    }
    const QImage expected = drawn.convertToFormat(QImage::Format_ARGB32);
    const QImage actual = shipped.convertToFormat(QImage::Format_ARGB32);
    int worst = 0;
    for (int y = 0; y < 256; ++y) {
        for (int x = 0; x < 256; ++x) {
            const QRgb a = expected.pixel(x, y);
            const QRgb b = actual.pixel(x, y);
            worst = std::max({worst, std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)),
                              std::abs(qBlue(a) - qBlue(b)), std::abs(qAlpha(a) - qAlpha(b))});
        }
    }
    EXPECT_LE(worst, 8) << "packaging/com.zoranth.host.png is out of date: render the mark again "
                           "(Screens.ApplicationIcon writes app-icon-256.png)";
}

}  // namespace
}  // namespace zoranth
