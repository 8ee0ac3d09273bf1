#include "app/network_model.h"

#include "app/settings_text.h"
#include "host/wifi_link.h"

namespace zoranth {

NetworkModel::NetworkModel(QObject* parent)
    : QObject(parent),
      roundTrip_(SettingsText::roundTrip({})),
      aboveThat_(SettingsText::aboveThat({})) {}

NetworkModel::Attachment NetworkModel::attachment() const {
    switch (attachment_) {
        case LinkCapacity::HostAttachment::ethernet:
            return Attachment::Ethernet;
        case LinkCapacity::HostAttachment::wifi:
            return Attachment::WiFi;
        case LinkCapacity::HostAttachment::unknown:
            break;
    }
    return Attachment::Unknown;
}

QString NetworkModel::describe(LinkCapacity::HostAttachment attachment,
                               const std::optional<LinkCapacity::Link>& link) {
    QString description = QString::fromStdString(WiFiLink::describe(link));
    if (attachment == LinkCapacity::HostAttachment::ethernet) {
        description += QStringLiteral(" · this computer is on Ethernet");
    } else if (attachment == LinkCapacity::HostAttachment::wifi) {
        description += QStringLiteral(" · this computer is on Wi-Fi");
    }
    return description;
}

void NetworkModel::showLink(LinkCapacity::HostAttachment attachment,
                            const std::optional<LinkCapacity::Link>& link) {
    const QString description = describe(attachment, link);
    const QStringList advice = SettingsText::advice(link, attachment);
    if (description == linkDescription_ && attachment == attachment_ && advice == advice_) {
        return;
    }
    linkDescription_ = description;
    attachment_ = attachment;
    advice_ = advice;
    emit linkChanged();
}

void NetworkModel::showHeadroom(const NetworkHealth::Headroom& headroom) {
    const QString roundTrip = SettingsText::roundTrip(headroom);
    const QString aboveThat = SettingsText::aboveThat(headroom);
    if (roundTrip == roundTrip_ && aboveThat == aboveThat_) {
        return;
    }
    roundTrip_ = roundTrip;
    aboveThat_ = aboveThat;
    emit measurementsChanged();
}

}  // namespace zoranth
