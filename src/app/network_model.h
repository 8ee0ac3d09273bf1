// This computer's network and what the guests measure of it, as the settings' Network
// tab shows them: the connection in one line, whether it is wired, the advice for its
// Wi-Fi link, the guests' round trip and what lies above it. The broadcast controller
// shows the attachment when it changes and the verdict after each refresh. Main thread
// only.
#pragma once

#include <QtQml/qqmlregistration.h>
#include <QObject>
#include <QString>
#include <QStringList>

#include <optional>

#include "host/link_capacity.h"
#include "host/network_health.h"

namespace zoranth {

class NetworkModel : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("The network model belongs to the window's models.")
    // The link described in one line, with how this computer is attached.
    Q_PROPERTY(QString linkDescription READ linkDescription NOTIFY linkChanged)
    Q_PROPERTY(Attachment attachment READ attachment NOTIFY linkChanged)
    // One line per piece of advice for the link; none when nothing needs saying.
    Q_PROPERTY(QStringList advice READ advice NOTIFY linkChanged)
    // "Round trip": "13 ms", or an em dash before any report.
    Q_PROPERTY(QString roundTrip READ roundTrip NOTIFY measurementsChanged)
    // "Above that": "measuring…", or "3 ms, steady".
    Q_PROPERTY(QString aboveThat READ aboveThat NOTIFY measurementsChanged)

  public:
    enum class Attachment { Ethernet, WiFi, Unknown };
    Q_ENUM(Attachment)

    explicit NetworkModel(QObject* parent = nullptr);

    QString linkDescription() const { return linkDescription_; }
    Attachment attachment() const;
    QStringList advice() const { return advice_; }
    QString roundTrip() const { return roundTrip_; }
    QString aboveThat() const { return aboveThat_; }

    // How this computer is attached and its Wi-Fi link, if it has one.
    void showLink(LinkCapacity::HostAttachment attachment,
                  const std::optional<LinkCapacity::Link>& link);
    // What the guests measure, from the network verdict.
    void showHeadroom(const NetworkHealth::Headroom& headroom);

    // The link's description followed by how this computer is attached.
    static QString describe(LinkCapacity::HostAttachment attachment,
                            const std::optional<LinkCapacity::Link>& link);

  signals:
    void linkChanged();
    void measurementsChanged();

  private:
    QString linkDescription_ = QStringLiteral("checking…");
    LinkCapacity::HostAttachment attachment_ = LinkCapacity::HostAttachment::unknown;
    QStringList advice_;
    QString roundTrip_;
    QString aboveThat_;
};

}  // namespace zoranth
