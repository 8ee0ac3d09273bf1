// Draws the join link as a QR code for the window's "Scan to join":
// "image://joincode/<the link, percent-encoded>", black modules on white in a quiet zone,
// as large as asked for. Called by the QML engine, possibly from its image-loading
// threads: holds no state.
#pragma once

#include <QImage>
#include <QQuickImageProvider>
#include <QString>

namespace zoranth {

class JoinCodeProvider : public QQuickImageProvider {
  public:
    static constexpr const char* providerName = "joincode";
    static constexpr int defaultSize = 180;

    JoinCodeProvider() : QQuickImageProvider(QQuickImageProvider::Image) {}

    QImage requestImage(const QString& id, QSize* size, const QSize& requestedSize) override;

    // The code for `text`, whole pixels per module, at most `side` pixels square; a null
    // image when the text makes no code.
    static QImage render(const QString& text, int side);
};

}  // namespace zoranth
