// Chooses the Opus quality tier for the room or for one guest: down a tier after 3 s
// of congestion, up a tier after 3 min of calm, at most one change per 10 s, always
// between a floor and a ceiling. A plain value: main thread only; the caller passes the time.
#pragma once

#include <optional>
#include <string_view>

#include "kit/quality_tier.h"

namespace zoranth {

class QualityController {
  public:
    // Why the tier last changed.
    enum class Reason { initial, measuredSaturation, headroomRecovered, followingRoom, manual };

    struct Decision {
        QualityTier tier = QualityTier::full;
        bool changed = false;
        std::optional<Reason> reason;  // when nothing changed, the reason of the last change

        friend bool operator==(const Decision&, const Decision&) = default;
    };

    static constexpr double stepDownAfterSeconds = 3.0;
    static constexpr double stepUpAfterSeconds = 180.0;
    static constexpr double minimumSpacingSeconds = 10.0;

    // "network is congested", …; "unknown" when there is no reason.
    static std::string_view text(std::optional<Reason> reason);

    // Starts over at the given tier (kept between ceiling and floor) with no history.
    // Starting at full needs no explanation, so the reason then stays absent.
    void setInitial(QualityTier start);

    // One steering pass. inTrouble and isCalm describe the network as seen now; a pass
    // with neither leaves both runs going.
    Decision update(double now, bool inTrouble, bool isCalm);

    // A tier picked by hand, kept between ceiling and floor; applies even when automatic
    // adjustment is off.
    Decision setManually(QualityTier picked, double now);

    // The tier kept between ceiling and floor. Should the floor ever be better than the
    // ceiling, the floor wins: it is the user's own lower bound.
    QualityTier clamped(QualityTier tier) const;

    QualityTier floor = QualityTier::minimum;  // lowest quality allowed
    QualityTier ceiling = QualityTier::full;   // highest quality allowed
    bool isAutomatic = true;
    QualityTier tier = QualityTier::full;
    std::optional<Reason> lastReason;
    std::optional<double> lastChangeAt;
    std::optional<double> saturatedSince;  // start of the current run of congestion
    std::optional<double> healthySince;    // start of the current run of calm

  private:
    Decision unchanged() const { return {tier, false, lastReason}; }
    Decision change(QualityTier to, Reason reason, double now);
};

}  // namespace zoranth
