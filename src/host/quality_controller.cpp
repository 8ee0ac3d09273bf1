#include "host/quality_controller.h"

#include <algorithm>
#include <limits>

namespace zoranth {
namespace {

QualityTier worse(QualityTier tier) {
    return *QualityTier::fromRawValue(tier.rawValue() + 1);
}

QualityTier better(QualityTier tier) {
    return *QualityTier::fromRawValue(tier.rawValue() - 1);
}

}  // namespace

std::string_view QualityController::text(std::optional<Reason> reason) {
    if (!reason) {
        return "unknown";
    }
    switch (*reason) {
        case Reason::initial:
            return "starting quality";
        case Reason::measuredSaturation:
            return "network is congested";
        case Reason::headroomRecovered:
            return "network has room again";
        case Reason::followingRoom:
            return "following the room";
        case Reason::manual:
            return "set by hand";
    }
    return "unknown";
}

QualityTier QualityController::clamped(QualityTier candidate) const {
    return std::min(std::max(candidate, ceiling), floor);
}

void QualityController::setInitial(QualityTier start) {
    tier = clamped(start);
    lastReason = tier == QualityTier::full ? std::nullopt : std::optional(Reason::initial);
    lastChangeAt.reset();
    saturatedSince.reset();
    healthySince.reset();
}

QualityController::Decision QualityController::update(double now, bool inTrouble, bool isCalm) {
    if (inTrouble) {
        saturatedSince = saturatedSince.value_or(now);
        healthySince.reset();
    } else if (isCalm) {
        saturatedSince.reset();
        healthySince = healthySince.value_or(now);
    }
    // The runs are tracked even by hand, so switching back to automatic acts on what
    // the network has been doing all along.
    if (!isAutomatic) {
        return unchanged();
    }

    // A new ceiling or floor is obeyed at once, whatever the spacing.
    if (const QualityTier bounded = clamped(tier); bounded != tier) {
        return change(bounded, tier < ceiling ? Reason::followingRoom : Reason::manual, now);
    }

    const double sinceChange =
        lastChangeAt ? now - *lastChangeAt : std::numeric_limits<double>::infinity();
    if (sinceChange < minimumSpacingSeconds) {
        return unchanged();
    }
    if (saturatedSince && tier < floor && now - *saturatedSince >= stepDownAfterSeconds) {
        return change(worse(tier), Reason::measuredSaturation, now);
    }
    if (healthySince && tier > ceiling && now - *healthySince >= stepUpAfterSeconds) {
        return change(better(tier), Reason::headroomRecovered, now);
    }
    return unchanged();
}

QualityController::Decision QualityController::setManually(QualityTier picked, double now) {
    const QualityTier bounded = clamped(picked);
    if (bounded == tier) {
        return unchanged();
    }
    return change(bounded, Reason::manual, now);
}

QualityController::Decision QualityController::change(QualityTier to, Reason reason, double now) {
    tier = to;
    lastReason = reason;
    lastChangeAt = now;
    // Each change asks for a fresh run before the next one.
    saturatedSince.reset();
    healthySince.reset();
    return {to, true, reason};
}

}  // namespace zoranth
