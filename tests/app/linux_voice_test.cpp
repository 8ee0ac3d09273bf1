// Everything the window says is true on Linux: none of its files — the QML views and
// the C++ that words their texts — names a macOS place, product or mechanism.
#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QStringList>

#include <gtest/gtest.h>

namespace zoranth {
namespace {

TEST(LinuxVoice, NoFileOfTheWindowNamesWhatOnlyAMacHas) {
    const QRegularExpression macOnly(
        QStringLiteral("\\bMac\\b|macOS|System Settings|Privacy & Security|Finder|Bonjour|"
                       "coreaudiod|IOProc|[Bb]undle|afplay|socketfilterfw|x-apple"));
    QStringList found;
    int files = 0;
    QDirIterator walk(QStringLiteral(ZORANTH_SOURCE_DIR "/src/app"),
                      {QStringLiteral("*.qml"), QStringLiteral("*.cpp"), QStringLiteral("*.h")},
                      QDir::Files, QDirIterator::Subdirectories);
    while (walk.hasNext()) {
        QFile file(walk.next());
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << file.fileName().toStdString();
        ++files;
        const QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
        for (qsizetype i = 0; i < lines.size(); ++i) {
            if (const auto match = macOnly.match(lines[i]); match.hasMatch()) {
                found << QStringLiteral("%1:%2: %3")
                             .arg(walk.fileName())
                             .arg(i + 1)
                             .arg(lines[i].trimmed());
            }
        }
    }
    EXPECT_GT(files, 40) << "the walk found the window's files";
    EXPECT_TRUE(found.isEmpty()) << found.join(QLatin1Char('\n')).toStdString();
}

}  // namespace
}  // namespace zoranth
