#include "app/join_code_provider.h"

#include <QUrl>

#include <algorithm>

#include "host/web/join_code.h"

namespace zoranth {

QImage JoinCodeProvider::render(const QString& text, int side) {
    const auto code = JoinCode::make(text.toStdString());
    if (!code) {
        return {};
    }
    const int modules = code->size() + 2 * JoinCode::defaultMargin;
    const int scale = std::max(1, side / modules);
    QImage image(modules * scale, modules * scale, QImage::Format_Grayscale8);
    image.fill(Qt::white);
    for (int y = 0; y < code->size(); ++y) {
        for (int x = 0; x < code->size(); ++x) {
            if (!code->isDark(x, y)) {
                continue;
            }
            for (int row = 0; row < scale; ++row) {
                uchar* line = image.scanLine((y + JoinCode::defaultMargin) * scale + row);
                std::fill_n(line + (x + JoinCode::defaultMargin) * scale, scale, uchar{0});
            }
        }
    }
    return image;
}

QImage JoinCodeProvider::requestImage(const QString& id, QSize* size, const QSize& requestedSize) {
    const int side = requestedSize.isValid()
                         ? std::min(requestedSize.width(), requestedSize.height())
                         : defaultSize;
    const QImage image = render(QUrl::fromPercentEncoding(id.toUtf8()), side);
    if (size != nullptr) {
        *size = image.size();
    }
    return image;
}

}  // namespace zoranth
