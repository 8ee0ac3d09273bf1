// Every symbol the window names has a drawing in the bundled set, and every drawing draws.
#include "app/icon_provider.h"
#include "app/join_code_provider.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSet>

#include <gtest/gtest.h>

#include "app/finding_list_model.h"
#include "app/root_view_text.h"
#include "gui_application.h"

namespace zoranth {
namespace {

const QString qmlFolder = QStringLiteral(ZORANTH_SOURCE_DIR "/src/app/qml");

// The string literals of every `name:` inside an Icon { … } block and of every `symbol:`
// anywhere, across the window's QML.
QSet<QString> symbolsNamedInQml() {
    QSet<QString> names;
    const QRegularExpression literal(QStringLiteral("\"([^\"]*)\""));
    // Literals a value is compared with are conditions, not symbols.
    const QRegularExpression compared(QStringLiteral("[!=]==\\s*\"[^\"]*\""));
    const QRegularExpression iconOpens(QStringLiteral("^\\s*Icon\\s*\\{"));
    const QRegularExpression named(QStringLiteral("^\\s*name\\s*:"));
    const QRegularExpression symbol(QStringLiteral("\\bsymbol\\s*:"));
    const auto files = QDir(qmlFolder).entryList({QStringLiteral("*.qml")}, QDir::Files);
    EXPECT_FALSE(files.isEmpty()) << qmlFolder.toStdString();
    for (const QString& file : files) {
        QFile source(qmlFolder + "/" + file);
        EXPECT_TRUE(source.open(QIODevice::ReadOnly)) << file.toStdString();
        int iconDepth = -1;  // brace depth of the Icon block we are in; -1 when none
        int depth = 0;
        for (const QString& line : QString::fromUtf8(source.readAll()).split('\n')) {
            if (iconDepth < 0 && iconOpens.match(line).hasMatch()) {
                iconDepth = depth + 1;
            }
            const bool iconName =
                iconDepth >= 0 && depth == iconDepth && named.match(line).hasMatch();
            auto symbolAt = symbol.match(line);
            if (iconName || symbolAt.hasMatch()) {
                const qsizetype from = iconName ? 0 : symbolAt.capturedEnd();
                // A symbol's value may be a choice; every literal in it is a symbol.
                const QString value = line.mid(from).section(',', 0, 0).remove(compared);
                auto it = literal.globalMatch(value);
                while (it.hasNext()) {
                    const QString name = it.next().captured(1);
                    if (!name.isEmpty()) {
                        names.insert(name);
                    }
                }
            }
            depth += line.count('{') - line.count('}');
            if (iconDepth >= 0 && depth < iconDepth) {
                iconDepth = -1;
            }
        }
    }
    return names;
}

// The symbols the C++ side hands the views.
QSet<QString> symbolsNamedInCode() {
    QSet<QString> names;
    for (auto verdict : {SystemCheckup::Verdict::ok, SystemCheckup::Verdict::warning,
                         SystemCheckup::Verdict::problem, SystemCheckup::Verdict::unknown}) {
        names.insert(FindingListModel::verdictSymbol(verdict));
    }
    names.insert(RootViewText::silence(true, MuteControl::Strategy::device, 4500).symbol);
    names.insert(RootViewText::silence(false, MuteControl::Strategy::device, 4500).symbol);
    return names;
}

TEST(IconSet, EverySymbolTheWindowNamesHasADrawing) {
    guiApplication();
    const QSet<QString> named = symbolsNamedInQml() + symbolsNamedInCode();
    // The walk must have found the symbols the views are known to use.
    for (const char* expected :
         {"exclamationmark.triangle.fill", "person.badge.clock", "speaker.slash.fill",
          "speaker.wave.2.fill", "waveform", "wifi", "stethoscope", "checklist", "lightbulb",
          "headphones", "waveform.slash", "folder", "person.slash", "checkmark.circle.fill",
          "xmark.octagon.fill", "questionmark.circle.fill"}) {
        EXPECT_TRUE(named.contains(QString::fromLatin1(expected))) << expected;
    }
    for (const QString& name : named) {
        EXPECT_TRUE(IconProvider::exists(name)) << name.toStdString();
    }
}

TEST(JoinCode, TheLinkIsDrawnBlackOnWhiteInAQuietZone) {
    guiApplication();
    const QImage code = JoinCodeProvider::render("http://192.168.1.24:40311/", 180);
    ASSERT_FALSE(code.isNull());
    EXPECT_EQ(code.width(), code.height());
    EXPECT_LE(code.width(), 180);
    // A version-2 code is 25 modules; with 4 quiet modules each side, 33 to a side.
    ASSERT_EQ(code.width() % 33, 0);
    const int module = code.width() / 33;
    EXPECT_EQ(qGray(code.pixel(0, 0)), 255) << "the quiet zone is white";
    EXPECT_EQ(qGray(code.pixel(4 * module, 4 * module)), 0) << "the finder's corner is black";
    EXPECT_EQ(qGray(code.pixel(5 * module, 5 * module)), 255) << "its light ring";
    EXPECT_TRUE(JoinCodeProvider::render(QString(4000, QLatin1Char('x')), 180).isNull())
        << "too long for any code";
}

TEST(IconSet, EveryDrawingDrawsInTheColourAskedFor) {
    guiApplication();
    const auto files = QDir(QStringLiteral(":/Zoranth/Host/brand/icons"))
                           .entryList({QStringLiteral("*.svg")}, QDir::Files);
    ASSERT_FALSE(files.isEmpty());
    for (const QString& file : files) {
        const QString name = file.chopped(4);
        const QImage image = IconProvider::render(name, QColor("#E8890C"), QSize(32, 32));
        int inked = 0;
        bool onlyThatColour = true;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QColor pixel = image.pixelColor(x, y);
                if (pixel.alpha() == 255) {
                    ++inked;
                    onlyThatColour = onlyThatColour && pixel.rgb() == QColor("#E8890C").rgb();
                }
            }
        }
        EXPECT_GT(inked, 20) << name.toStdString() << " draws nothing";
        EXPECT_TRUE(onlyThatColour) << name.toStdString();
    }
    EXPECT_FALSE(IconProvider::exists(QStringLiteral("no.such.symbol")));
    EXPECT_FALSE(IconProvider::exists(QStringLiteral("../logo")));
}

}  // namespace
}  // namespace zoranth
