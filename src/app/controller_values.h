// The broadcast controller's values as the window's QML reads them: case names for
// enumerations, maps named after the fields of the host's records, null for what is
// absent, 64-bit counts as doubles. Pure conversions: any thread.
#pragma once

#include <QList>
#include <QString>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>

#include <map>
#include <optional>
#include <span>
#include <vector>

#include "host/checks/system_checkup.h"
#include "host/link_capacity.h"
#include "host/mute_control.h"
#include "host/net/guest_connection.h"
#include "host/network_health.h"
#include "host/quality_controller.h"
#include "host/session/drought_watch.h"
#include "kit/quality_tier.h"
#include "kit/silence_watchdog.h"

namespace zoranth {

struct ControllerValues {
    ControllerValues() = delete;

    static QList<qreal> levels(std::span<const float> levels);

    // { kind: "likelyDenied", silentFor: 12.5 }.
    static QVariantMap diagnosis(const SilenceWatchdog::Diagnosis& diagnosis);
    static QString diagnosisName(SilenceWatchdog::Diagnosis::Case kind);

    // { weMuted, strategy: "device" / "tap" / "unavailable" }.
    static QVariantMap muteOwnership(const MuteControl::Ownership& ownership);
    static QString strategyName(MuteControl::Strategy strategy);

    // The snapshot's fields; its report under "stats" as a map of the report's fields or
    // null, "statsAt" null without one; "name" is the guest's shown name.
    static QVariantMap snapshot(const GuestConnection::Snapshot& snapshot);
    static QVariantList snapshots(std::span<const GuestConnection::Snapshot> snapshots);
    static QVariantMap report(const ClientStat& report);

    // "full" … "minimum".
    static QString tierName(QualityTier tier);
    static std::optional<QualityTier> tier(const QString& name);
    // Guest id in decimal → tier name.
    static QVariantMap clientTiers(const std::map<GuestConnection::Id, QualityTier>& tiers);
    // The reason's case name ("measuredSaturation"); empty for none.
    static QString reasonName(std::optional<QualityController::Reason> reason);

    // The verdict's fields: diagnosis as its case name (with the struggling guests'
    // names under "diagnosisNames" and "firstToStruggle"), the per-guest maps keyed by
    // the guest id in decimal, the headroom as a nested map with null for what is unknown.
    static QVariantMap verdict(const NetworkHealth::Verdict& verdict);
    static QString diagnosisName(NetworkHealth::Diagnosis::Case kind);

    // The link's fields with band and PHY mode by case name; null for none.
    static QVariant link(const std::optional<LinkCapacity::Link>& link);
    static QString attachmentName(LinkCapacity::HostAttachment attachment);

    // "fine", "quiet" or "investigate".
    static QString stageName(const DroughtWatch::Stage& stage);

    // The finding's fields with verdict and reason by case name.
    static QVariantMap finding(const SystemCheckup::Finding& finding);
    static QVariantList findings(std::span<const SystemCheckup::Finding> findings);
    static QString verdictName(SystemCheckup::Verdict verdict);
    static QString reasonName(SystemCheckup::Reason reason);
};

}  // namespace zoranth
