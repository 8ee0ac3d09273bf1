#include "app/window_models.h"

#include <cstdlib>

#include "app/root_view_text.h"
#include "host/net/broadcast_server.h"
#include "host/web/join_link.h"

namespace zoranth {

WindowModels::WindowModels(RaveControls& controls, AudioCapabilityModel::Dependencies audio,
                           QObject* parent)
    : QObject(parent),
      rave_(controls),
      quality_(controls),
      speakers_(controls),
      audio_(std::move(audio)) {
    for (QObject* model :
         std::initializer_list<QObject*>{&rave_, &guests_, &quality_, &speakers_, &network_,
                                         &diagnostics_, &trouble_, &levels_, &audio_}) {
        model->setParent(this);
    }
    levels_.show({0, 0}, {0, 0});
    trouble_.show(DroughtWatch::Stage::fine(), {}, RootViewText::address({}, {}, 0));
}

void WindowModels::show(const RaveSession& session, double now) {
    const bool live = session.state().kind == RaveSession::State::Case::broadcasting;
    rave_.showState(session.state());
    rave_.showSettings(session.settings());
    if (!live) {
        levels_.show({0, 0}, {0, 0});
    }

    facts_.tapFormat = QString::fromStdString(session.tapFormatDescription());
    facts_.ioBufferFrames = session.ioBufferFrames();
    if (live) {
        const CapturePipeline::Stats& stats = session.stats();
        facts_.chunksProduced = stats.chunksProduced;
        facts_.ringDepth = stats.ringDepth;
        facts_.ringOverruns = stats.ringOverruns;
        facts_.discontinuities = stats.discontinuities;
        facts_.diagnosis = stats.diagnosis;
        facts_.captureDeliveries = stats.ioProcDeliveries;
        rave_.showListening(session.listenPort(), session.advertisedName());
    }
    showJoinLink(live ? session.listenPort() : 0);
    facts_.headroom = session.health().headroom;
    facts_.advertisedName = rave_.advertisedName();
    facts_.addresses = rave_.addresses();
    facts_.listenPort = rave_.listenPort();
    facts_.guests = static_cast<int>(session.guests().size());
    facts_.isKeepingAwake = session.isKeepingAwake();
    facts_.admission =
        live ? QString::fromStdString(session.admissionText()) : QStringLiteral("—");
    diagnostics_.show(facts_);

    speakers_.show(session.isSpeakersMuted(), session.muteOwnership(), session.muteStrategy(),
                   session.settings().bufferDelayMs);
    guests_.show(session.guests(), session.health(), session.guestTiers(), now);
    quality_.show(session.tier(), session.settings().qualityFloor,
                  session.settings().isQualityAutomatic);
    network_.showHeadroom(session.health().headroom);
    trouble_.show(
        session.droughtStage(), session.troubleFindings(),
        RootViewText::address(rave_.advertisedName(), rave_.addresses(), rave_.listenPort()));
    rave_.showPermissionWarning(session.permissionWarning());
}

void WindowModels::showJoinLink(std::uint16_t port) {
    if (port == joinLinkPort_) {
        return;
    }
    joinLinkPort_ = port;
    QString link;
    if (port != 0) {
        const char* listening = std::getenv(BroadcastServer::listenAddressVariable);
        link = QString::fromStdString(JoinLink::forThisComputer(
            listening != nullptr && *listening != '\0' ? std::optional<std::string>(listening)
                                                       : std::nullopt,
            port));
    }
    rave_.showJoinLink(link);
}

void WindowModels::showAddresses(const QStringList& addresses) {
    rave_.showAddresses(addresses);
    facts_.addresses = addresses;
    diagnostics_.show(facts_);
}

void WindowModels::showLink(LinkCapacity::HostAttachment attachment,
                            const std::optional<LinkCapacity::Link>& link) {
    network_.showLink(attachment, link);
}

}  // namespace zoranth
