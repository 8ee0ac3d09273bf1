// Chooses the Opus quality tier for the room and for each guest from one network verdict
// per status refresh: the room steps down when the network is saturated and climbs back
// when it is healthy; each guest follows its own trouble but never rises above the room.
// A plain value with the time passed in; the rave session's main thread owns it.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "host/net/guest_connection.h"
#include "host/network_health.h"
#include "host/quality_controller.h"
#include "kit/quality_tier.h"

namespace zoranth {

class QualitySteering {
  public:
    using Id = GuestConnection::Id;

    // A connected guest as steering sees it.
    struct Guest {
        Id id = 0;
        std::string name;  // the reported device name, else the endpoint
    };

    // The outcome of one pass.
    struct Pass {
        QualityController::Decision room;
        std::vector<std::string> lines;       // one per guest whose tier changed
        std::map<Id, std::int32_t> bitrates;  // every steered guest's bitrate
        std::int32_t defaultBitrate = 0;      // the room's, for guests without their own
    };

    QualitySteering(QualityTier floor, bool automatic);

    // One pass over the guests connected now, in their order.
    Pass steer(double now, std::span<const Guest> guests, const NetworkHealth::Verdict& verdict);

    // The room set by hand: every guest's ceiling follows the room's new tier at once and
    // each guest moves to that tier within its own floor, so raising the room by hand
    // raises the guests too (automatic steering may step them down again as usual).
    QualityController::Decision setQuality(QualityTier tier, double now);

    // Every steered guest's bitrate, as the server takes them.
    std::map<Id, std::int32_t> bitrates() const;

    // Applied by the next pass.
    void setFloor(QualityTier floor);
    void setAutomatic(bool automatic);

    // A fresh room controller at the end of a rave. The guests' controllers stay until
    // a pass finds their guests gone.
    void restartRoom();

    const QualityController& room() const { return room_; }
    const std::map<Id, QualityController>& perClient() const { return perClient_; }
    const std::map<Id, QualityTier>& clientTiers() const { return clientTiers_; }

    // "room quality -> 128 kbps (network is congested)".
    static std::string roomLine(const QualityController::Decision& decision);
    // "Pixel -> 96 kbps (network is congested)".
    static std::string guestLine(const std::string& name,
                                 const QualityController::Decision& decision);

  private:
    QualityController freshController() const;

    QualityTier floor_;
    bool automatic_;
    QualityController room_;
    std::map<Id, QualityController> perClient_;
    std::map<Id, QualityTier> clientTiers_;
};

}  // namespace zoranth
