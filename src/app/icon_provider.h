// Draws the window's symbols from its own SVG set, in the colour and size asked for:
// "image://icon/<symbol name>/<rrggbb or aarrggbb>". Called by the QML engine, possibly
// from its image-loading threads: holds no state.
#pragma once

#include <QImage>
#include <QQuickImageProvider>
#include <QString>

namespace zoranth {

class IconProvider : public QQuickImageProvider {
  public:
    static constexpr const char* providerName = "icon";
    static constexpr int defaultSize = 24;

    IconProvider() : QQuickImageProvider(QQuickImageProvider::Image) {}

    QImage requestImage(const QString& id, QSize* size, const QSize& requestedSize) override;

    // Where a symbol's drawing lives in the application's resources.
    static QString filePath(const QString& name);
    static bool exists(const QString& name);

    // The symbol drawn in one colour at a size; a transparent image for an unknown name.
    static QImage render(const QString& name, const QColor& color, const QSize& size);
};

}  // namespace zoranth
