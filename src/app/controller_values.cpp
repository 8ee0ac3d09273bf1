#include "app/controller_values.h"

namespace zoranth {
namespace {

QVariant optionalNumber(std::optional<double> value) {
    return value ? QVariant(*value) : QVariant();
}

QString text(const std::string& value) {
    return QString::fromStdString(value);
}

template <class Value>
QVariantMap byGuestId(const std::map<std::int64_t, Value>& map) {
    QVariantMap result;
    for (const auto& [id, value] : map) {
        result.insert(QString::number(id), value);
    }
    return result;
}

QVariantMap headroom(const NetworkHealth::Headroom& headroom) {
    return {
        {QStringLiteral("floorMs"), optionalNumber(headroom.floorMs)},
        {QStringLiteral("inflationMs"), optionalNumber(headroom.inflationMs)},
        {QStringLiteral("isClimbing"), headroom.isClimbing},
        {QStringLiteral("comfortableAt"), headroom.comfortableAt},
        {QStringLiteral("offeredMbps"), headroom.offeredMbps},
        {QStringLiteral("strain"), headroom.strain},
        {QStringLiteral("summary"), text(headroom.summary())},
    };
}

QString bandName(LinkCapacity::Band band) {
    switch (band) {
        case LinkCapacity::Band::twoPointFour:
            return QStringLiteral("twoPointFour");
        case LinkCapacity::Band::fiveGHz:
            return QStringLiteral("fiveGHz");
        case LinkCapacity::Band::sixGHz:
            return QStringLiteral("sixGHz");
        case LinkCapacity::Band::unknown:
            break;
    }
    return QStringLiteral("unknown");
}

QString phyName(LinkCapacity::PHYMode mode) {
    switch (mode) {
        case LinkCapacity::PHYMode::legacy11b:
            return QStringLiteral("legacy11b");
        case LinkCapacity::PHYMode::legacy11g:
            return QStringLiteral("legacy11g");
        case LinkCapacity::PHYMode::n:
            return QStringLiteral("n");
        case LinkCapacity::PHYMode::ac:
            return QStringLiteral("ac");
        case LinkCapacity::PHYMode::ax:
            return QStringLiteral("ax");
        case LinkCapacity::PHYMode::be:
            return QStringLiteral("be");
        case LinkCapacity::PHYMode::unknown:
            break;
    }
    return QStringLiteral("unknown");
}

}  // namespace

QList<qreal> ControllerValues::levels(std::span<const float> levels) {
    QList<qreal> result;
    result.reserve(static_cast<qsizetype>(levels.size()));
    for (const float level : levels) {
        result.append(level);
    }
    return result;
}

QString ControllerValues::diagnosisName(SilenceWatchdog::Diagnosis::Case kind) {
    using Case = SilenceWatchdog::Diagnosis::Case;
    switch (kind) {
        case Case::idle:
            break;
        case Case::notCapturing:
            return QStringLiteral("notCapturing");
        case Case::likelyDenied:
            return QStringLiteral("likelyDenied");
        case Case::receivingAudio:
            return QStringLiteral("receivingAudio");
    }
    return QStringLiteral("idle");
}

QVariantMap ControllerValues::diagnosis(const SilenceWatchdog::Diagnosis& diagnosis) {
    return {{QStringLiteral("kind"), diagnosisName(diagnosis.kind)},
            {QStringLiteral("silentFor"), diagnosis.seconds}};
}

QString ControllerValues::strategyName(MuteControl::Strategy strategy) {
    return QString::fromLatin1(MuteControl::text(strategy));
}

QVariantMap ControllerValues::muteOwnership(const MuteControl::Ownership& ownership) {
    return {{QStringLiteral("weMuted"), ownership.weMuted},
            {QStringLiteral("strategy"), strategyName(ownership.strategy)}};
}

QVariantMap ControllerValues::report(const ClientStat& report) {
    return {
        {QStringLiteral("rttNanos"), report.rttNanos},
        {QStringLiteral("minRttNanos"), report.minRttNanos},
        {QStringLiteral("offsetNanos"), static_cast<double>(report.offsetNanos)},
        {QStringLiteral("syncErrorMicros"), report.syncErrorMicros},
        {QStringLiteral("latencyMs"), report.latencyMs},
        {QStringLiteral("flags"), report.flags},
        {QStringLiteral("bufferDepthMs"), report.bufferDepthMs},
        {QStringLiteral("deviceName"), text(report.deviceName)},
        {QStringLiteral("hasMeasurement"), report.hasMeasurement()},
    };
}

QVariantMap ControllerValues::snapshot(const GuestConnection::Snapshot& snapshot) {
    return {
        {QStringLiteral("id"), static_cast<double>(snapshot.id)},
        {QStringLiteral("endpoint"), text(snapshot.endpoint)},
        {QStringLiteral("name"), text(snapshot.displayName())},
        {QStringLiteral("queuedBytes"), static_cast<double>(snapshot.queuedBytes)},
        {QStringLiteral("occupancy"), snapshot.occupancy},
        {QStringLiteral("droppedFrames"), static_cast<double>(snapshot.droppedFrames)},
        {QStringLiteral("expiredFrames"), static_cast<double>(snapshot.expiredFrames)},
        {QStringLiteral("framesSent"), static_cast<double>(snapshot.framesSent)},
        {QStringLiteral("bytesSent"), static_cast<double>(snapshot.bytesSent)},
        {QStringLiteral("stats"), snapshot.stats ? QVariant(report(*snapshot.stats)) : QVariant()},
        {QStringLiteral("statsAt"), optionalNumber(snapshot.statsAt)},
        {QStringLiteral("isOverBudget"), snapshot.isOverBudget},
    };
}

QVariantList ControllerValues::snapshots(std::span<const GuestConnection::Snapshot> snapshots) {
    QVariantList list;
    list.reserve(static_cast<qsizetype>(snapshots.size()));
    for (const auto& one : snapshots) {
        list.append(snapshot(one));
    }
    return list;
}

QString ControllerValues::tierName(QualityTier tier) {
    switch (tier.value()) {
        case QualityTier::full:
            return QStringLiteral("full");
        case QualityTier::high:
            return QStringLiteral("high");
        case QualityTier::medium:
            return QStringLiteral("medium");
        case QualityTier::low:
            return QStringLiteral("low");
        case QualityTier::minimum:
            break;
    }
    return QStringLiteral("minimum");
}

std::optional<QualityTier> ControllerValues::tier(const QString& name) {
    for (const QualityTier candidate : QualityTier::allCases) {
        if (tierName(candidate) == name) {
            return candidate;
        }
    }
    return std::nullopt;
}

QVariantMap ControllerValues::clientTiers(const std::map<GuestConnection::Id, QualityTier>& tiers) {
    QVariantMap result;
    for (const auto& [id, tier] : tiers) {
        result.insert(QString::number(id), tierName(tier));
    }
    return result;
}

QString ControllerValues::reasonName(std::optional<QualityController::Reason> reason) {
    if (!reason) {
        return {};
    }
    using Reason = QualityController::Reason;
    switch (*reason) {
        case Reason::initial:
            return QStringLiteral("initial");
        case Reason::measuredSaturation:
            return QStringLiteral("measuredSaturation");
        case Reason::headroomRecovered:
            return QStringLiteral("headroomRecovered");
        case Reason::followingRoom:
            return QStringLiteral("followingRoom");
        case Reason::manual:
            return QStringLiteral("manual");
    }
    return {};
}

QString ControllerValues::diagnosisName(NetworkHealth::Diagnosis::Case kind) {
    using Case = NetworkHealth::Diagnosis::Case;
    switch (kind) {
        case Case::weakClients:
            return QStringLiteral("weakClients");
        case Case::saturated:
            return QStringLiteral("saturated");
        case Case::idle:
            break;
        case Case::healthy:
            return QStringLiteral("healthy");
        case Case::captureBehind:
            return QStringLiteral("captureBehind");
    }
    return QStringLiteral("idle");
}

QVariantMap ControllerValues::verdict(const NetworkHealth::Verdict& verdict) {
    QStringList names;
    for (const std::string& name : verdict.diagnosis.names) {
        names.append(text(name));
    }
    return {
        {QStringLiteral("diagnosis"), diagnosisName(verdict.diagnosis.kind)},
        {QStringLiteral("diagnosisNames"), names},
        {QStringLiteral("firstToStruggle"), verdict.diagnosis.firstToStruggle
                                                ? QVariant(text(*verdict.diagnosis.firstToStruggle))
                                                : QVariant()},
        {QStringLiteral("guestCount"), verdict.guestCount},
        {QStringLiteral("strugglingCount"), verdict.strugglingCount},
        {QStringLiteral("summary"), text(verdict.summary)},
        {QStringLiteral("struggling"), byGuestId(verdict.struggling)},
        {QStringLiteral("linkStrain"), byGuestId(verdict.linkStrain)},
        {QStringLiteral("headroom"), headroom(verdict.headroom)},
    };
}

QVariant ControllerValues::link(const std::optional<LinkCapacity::Link>& link) {
    if (!link) {
        return {};
    }
    return QVariantMap{
        {QStringLiteral("band"), bandName(link->band)},
        {QStringLiteral("phyMode"), phyName(link->phyMode)},
        {QStringLiteral("txRateMbps"), link->txRateMbps},
        {QStringLiteral("rssi"), link->rssi ? QVariant(*link->rssi) : QVariant()},
        {QStringLiteral("noise"), link->noise ? QVariant(*link->noise) : QVariant()},
    };
}

QString ControllerValues::attachmentName(LinkCapacity::HostAttachment attachment) {
    switch (attachment) {
        case LinkCapacity::HostAttachment::ethernet:
            return QStringLiteral("ethernet");
        case LinkCapacity::HostAttachment::wifi:
            return QStringLiteral("wifi");
        case LinkCapacity::HostAttachment::unknown:
            break;
    }
    return QStringLiteral("unknown");
}

QString ControllerValues::stageName(const DroughtWatch::Stage& stage) {
    switch (stage.kind) {
        case DroughtWatch::Stage::Case::quiet:
            return QStringLiteral("quiet");
        case DroughtWatch::Stage::Case::investigate:
            return QStringLiteral("investigate");
        case DroughtWatch::Stage::Case::fine:
            break;
    }
    return QStringLiteral("fine");
}

QString ControllerValues::verdictName(SystemCheckup::Verdict verdict) {
    switch (verdict) {
        case SystemCheckup::Verdict::ok:
            return QStringLiteral("ok");
        case SystemCheckup::Verdict::warning:
            return QStringLiteral("warning");
        case SystemCheckup::Verdict::problem:
            return QStringLiteral("problem");
        case SystemCheckup::Verdict::unknown:
            break;
    }
    return QStringLiteral("unknown");
}

QString ControllerValues::reasonName(SystemCheckup::Reason reason) {
    using Reason = SystemCheckup::Reason;
    switch (reason) {
        case Reason::firewallOff:
            return QStringLiteral("firewallOff");
        case Reason::allowed:
            return QStringLiteral("allowed");
        case Reason::portBlocked:
            return QStringLiteral("portBlocked");
        case Reason::firewallUnreadable:
            return QStringLiteral("firewallUnreadable");
        case Reason::audioGranted:
            return QStringLiteral("audioGranted");
        case Reason::audioDenied:
            return QStringLiteral("audioDenied");
        case Reason::audioUndetermined:
            return QStringLiteral("audioUndetermined");
        case Reason::networkOK:
            return QStringLiteral("networkOK");
        case Reason::soundServerMissing:
            return QStringLiteral("soundServerMissing");
        case Reason::avahiMissing:
            return QStringLiteral("avahiMissing");
        case Reason::networkRefused:
            return QStringLiteral("networkRefused");
        case Reason::networkUnconfirmed:
            return QStringLiteral("networkUnconfirmed");
        case Reason::networkUntestable:
            return QStringLiteral("networkUntestable");
        case Reason::mdnsBlocked:
            return QStringLiteral("mdnsBlocked");
        case Reason::mdnsUnreadable:
            return QStringLiteral("mdnsUnreadable");
        case Reason::networkUnavailable:
            return QStringLiteral("networkUnavailable");
    }
    return {};
}

QVariantMap ControllerValues::finding(const SystemCheckup::Finding& finding) {
    return {
        {QStringLiteral("id"), text(finding.id)},
        {QStringLiteral("title"), text(finding.title)},
        {QStringLiteral("verdict"), verdictName(finding.verdict)},
        {QStringLiteral("detail"), text(finding.detail)},
        {QStringLiteral("fix"), text(finding.fix)},
        {QStringLiteral("reason"), reasonName(finding.reason)},
    };
}

QVariantList ControllerValues::findings(std::span<const SystemCheckup::Finding> findings) {
    QVariantList list;
    for (const auto& one : findings) {
        list.append(finding(one));
    }
    return list;
}

}  // namespace zoranth
