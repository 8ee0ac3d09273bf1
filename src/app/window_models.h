// The window's models, one per screen concern: the rave (header, name, buffer, warning),
// the guests, the quality, the speakers, the network, the diagnostics, the trouble card,
// the level meters and the capture-permission monitor. QML gets this object as `models`
// and binds each view to its own model. show() copies what a rave session knows into
// them; every edit and operation the views make goes to the RaveControls given here.
// Main thread only.
#pragma once

#include <QtQml/qqmlregistration.h>
#include <QObject>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <vector>

#include "app/audio_capability_model.h"
#include "app/diagnostics_model.h"
#include "app/guest_list_model.h"
#include "app/level_meter_model.h"
#include "app/network_model.h"
#include "app/quality_model.h"
#include "app/rave_controls.h"
#include "app/rave_model.h"
#include "app/speakers_model.h"
#include "app/trouble_model.h"
#include "host/link_capacity.h"
#include "host/session/rave_session.h"

namespace zoranth {

class WindowModels : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("The window's models come from the broadcast controller.")
    Q_PROPERTY(RaveModel* rave READ rave CONSTANT)
    Q_PROPERTY(GuestListModel* guests READ guests CONSTANT)
    Q_PROPERTY(QualityModel* quality READ quality CONSTANT)
    Q_PROPERTY(SpeakersModel* speakers READ speakers CONSTANT)
    Q_PROPERTY(NetworkModel* network READ network CONSTANT)
    Q_PROPERTY(DiagnosticsModel* diagnostics READ diagnostics CONSTANT)
    Q_PROPERTY(TroubleModel* trouble READ trouble CONSTANT)
    Q_PROPERTY(LevelMeterModel* levels READ levels CONSTANT)
    Q_PROPERTY(AudioCapabilityModel* audio READ audio CONSTANT)

  public:
    WindowModels(RaveControls& controls, AudioCapabilityModel::Dependencies audio,
                 QObject* parent = nullptr);

    RaveModel* rave() { return &rave_; }
    GuestListModel* guests() { return &guests_; }
    QualityModel* quality() { return &quality_; }
    SpeakersModel* speakers() { return &speakers_; }
    NetworkModel* network() { return &network_; }
    DiagnosticsModel* diagnostics() { return &diagnostics_; }
    TroubleModel* trouble() { return &trouble_; }
    LevelMeterModel* levels() { return &levels_; }
    AudioCapabilityModel* audio() { return &audio_; }

    // Everything the session shows, read afresh; `now` on the clock of the guests'
    // reports. Counters and where the rave listens keep their last live values.
    void show(const RaveSession& session, double now);
    // This computer's addresses guests can reach.
    void showAddresses(const QStringList& addresses);
    void showLink(LinkCapacity::HostAttachment attachment,
                  const std::optional<LinkCapacity::Link>& link);

  private:
    // The link for the port guests reach the rave on; none for 0. Looked up again only
    // when the port changes.
    void showJoinLink(std::uint16_t port);

    RaveModel rave_;
    GuestListModel guests_;
    QualityModel quality_;
    SpeakersModel speakers_;
    NetworkModel network_;
    DiagnosticsModel diagnostics_;
    TroubleModel trouble_;
    LevelMeterModel levels_;
    AudioCapabilityModel audio_;
    DiagnosticsModel::Facts facts_;
    std::uint16_t joinLinkPort_ = 0;
};

}  // namespace zoranth
