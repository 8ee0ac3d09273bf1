#include "app/icon_provider.h"

#include <QColor>
#include <QFile>
#include <QPainter>
#include <QSvgRenderer>

namespace zoranth {

QString IconProvider::filePath(const QString& name) {
    return QStringLiteral(":/Zoranth/Host/brand/icons/") + name + QStringLiteral(".svg");
}

bool IconProvider::exists(const QString& name) {
    return !name.isEmpty() && !name.contains(QLatin1Char('/')) && QFile::exists(filePath(name));
}

QImage IconProvider::render(const QString& name, const QColor& color, const QSize& size) {
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    if (!exists(name)) {
        return image;
    }
    QSvgRenderer renderer(filePath(name));
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter);
    // Every symbol is drawn in one colour: keep its shape, take the colour asked for.
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(image.rect(), color);
    return image;
}

QImage IconProvider::requestImage(const QString& id, QSize* size, const QSize& requestedSize) {
    const auto slash = id.indexOf(QLatin1Char('/'));
    const QString name = slash < 0 ? id : id.left(slash);
    QColor color(Qt::black);
    if (slash >= 0) {
        const QColor asked(QLatin1Char('#') + id.mid(slash + 1));
        if (asked.isValid()) {
            color = asked;
        }
    }
    const QSize drawn(requestedSize.width() > 0 ? requestedSize.width() : defaultSize,
                      requestedSize.height() > 0 ? requestedSize.height() : defaultSize);
    if (size != nullptr) {
        *size = drawn;
    }
    return render(name, color, drawn);
}

}  // namespace zoranth
