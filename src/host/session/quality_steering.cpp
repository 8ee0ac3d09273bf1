#include "host/session/quality_steering.h"

#include <set>

namespace zoranth {

QualitySteering::QualitySteering(QualityTier floor, bool automatic)
    : floor_(floor), automatic_(automatic), room_(freshController()) {}

QualityController QualitySteering::freshController() const {
    QualityController controller;
    controller.floor = floor_;
    controller.ceiling = QualityTier::full;
    controller.isAutomatic = automatic_;
    return controller;
}

QualitySteering::Pass QualitySteering::steer(double now, std::span<const Guest> guests,
                                             const NetworkHealth::Verdict& verdict) {
    using Case = NetworkHealth::Diagnosis::Case;
    const bool roomCalm = verdict.diagnosis.kind == Case::healthy;
    Pass pass;
    pass.room = room_.update(now, verdict.diagnosis.kind == Case::saturated, roomCalm);
    const QualityTier roomTier = pass.room.tier;

    std::set<Id> present;
    for (const Guest& guest : guests) {
        present.insert(guest.id);
    }
    std::erase_if(perClient_, [&](const auto& entry) { return !present.contains(entry.first); });
    std::erase_if(clientTiers_, [&](const auto& entry) { return !present.contains(entry.first); });

    for (const Guest& guest : guests) {
        auto [entry, joined] = perClient_.try_emplace(guest.id, freshController());
        QualityController& controller = entry->second;
        if (joined) {
            controller.setInitial(roomTier);
        }
        // No guest is given better quality than the room.
        controller.ceiling = roomTier;
        const bool inTrouble = verdict.struggling.contains(guest.id);
        const QualityController::Decision decision =
            controller.update(now, inTrouble, roomCalm && !inTrouble);
        clientTiers_.insert_or_assign(guest.id, decision.tier);
        if (decision.changed) {
            pass.lines.push_back(guestLine(guest.name, decision));
        }
    }

    pass.bitrates = bitrates();
    pass.defaultBitrate = roomTier.bitrate();
    return pass;
}

QualityController::Decision QualitySteering::setQuality(QualityTier tier, double now) {
    const QualityController::Decision decision = room_.setManually(tier, now);
    for (auto& [id, controller] : perClient_) {
        controller.ceiling = decision.tier;
        const QualityTier bounded = controller.clamped(decision.tier);
        if (bounded == controller.tier) {
            continue;
        }
        controller.tier = bounded;
        clientTiers_.insert_or_assign(id, bounded);
        controller.lastReason = QualityController::Reason::manual;
        controller.lastChangeAt = now;
        controller.saturatedSince.reset();
        controller.healthySince.reset();
    }
    return decision;
}

std::map<QualitySteering::Id, std::int32_t> QualitySteering::bitrates() const {
    std::map<Id, std::int32_t> bitrates;
    for (const auto& [id, tier] : clientTiers_) {
        bitrates[id] = tier.bitrate();
    }
    return bitrates;
}

void QualitySteering::setFloor(QualityTier floor) {
    floor_ = floor;
    room_.floor = floor;
    for (auto& [id, controller] : perClient_) {
        controller.floor = floor;
    }
}

void QualitySteering::setAutomatic(bool automatic) {
    automatic_ = automatic;
    room_.isAutomatic = automatic;
    for (auto& [id, controller] : perClient_) {
        controller.isAutomatic = automatic;
    }
}

void QualitySteering::restartRoom() {
    room_ = freshController();
}

std::string QualitySteering::roomLine(const QualityController::Decision& decision) {
    return "room quality -> " + decision.tier.label() + " (" +
           std::string(QualityController::text(decision.reason)) + ")";
}

std::string QualitySteering::guestLine(const std::string& name,
                                       const QualityController::Decision& decision) {
    return name + " -> " + decision.tier.label() + " (" +
           std::string(QualityController::text(decision.reason)) + ")";
}

}  // namespace zoranth
