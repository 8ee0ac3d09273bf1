#include "app/contract_values.h"

#include "app/controller_values.h"

#include <array>
#include <utility>

namespace zoranth {
namespace {

std::optional<double> optionalNumber(const QVariant& value) {
    if (!value.isValid() || value.isNull()) {
        return std::nullopt;
    }
    bool ok = false;
    const double number = value.toDouble(&ok);
    return ok ? std::optional<double>(number) : std::nullopt;
}

std::optional<int> optionalInt(const QVariant& value) {
    const auto number = optionalNumber(value);
    return number ? std::optional<int>(static_cast<int>(*number)) : std::nullopt;
}

template <class Enum, std::size_t N>
std::optional<Enum> byName(const std::array<std::pair<const char*, Enum>, N>& names,
                           const QString& name) {
    for (const auto& [text, value] : names) {
        if (name == QLatin1String(text)) {
            return value;
        }
    }
    return std::nullopt;
}

// The case whose name, as the controller writes it, is `name`: enumerations numbered
// from 0 to `last`.
template <class Enum, class Namer>
std::optional<Enum> caseNamed(const QString& name, Enum last, Namer nameOf) {
    for (int raw = 0; raw <= static_cast<int>(last); ++raw) {
        if (nameOf(static_cast<Enum>(raw)) == name) {
            return static_cast<Enum>(raw);
        }
    }
    return std::nullopt;
}

using Reason = SystemCheckup::Reason;
using Verdict = SystemCheckup::Verdict;
using DiagnosisCase = SilenceWatchdog::Diagnosis::Case;
using StageCase = DroughtWatch::Stage::Case;

// Band and PHY mode names travel only inside the link's map.
using Band = LinkCapacity::Band;
constexpr std::array<std::pair<const char*, Band>, 4> bandNames{{
    {"twoPointFour", Band::twoPointFour},
    {"fiveGHz", Band::fiveGHz},
    {"sixGHz", Band::sixGHz},
    {"unknown", Band::unknown},
}};

using PHYMode = LinkCapacity::PHYMode;
constexpr std::array<std::pair<const char*, PHYMode>, 7> phyNames{{
    {"legacy11b", PHYMode::legacy11b},
    {"legacy11g", PHYMode::legacy11g},
    {"n", PHYMode::n},
    {"ac", PHYMode::ac},
    {"ax", PHYMode::ax},
    {"be", PHYMode::be},
    {"unknown", PHYMode::unknown},
}};

std::optional<StageCase> stageNamed(const QString& name) {
    return caseNamed(name, StageCase::investigate, [](StageCase kind) {
        return ControllerValues::stageName(DroughtWatch::Stage{kind, 0.0});
    });
}

ClientStat report(const QVariantMap& map) {
    ClientStat stat;
    stat.rttNanos = map.value(QStringLiteral("rttNanos")).toUInt();
    stat.minRttNanos = map.value(QStringLiteral("minRttNanos")).toUInt();
    stat.offsetNanos = map.value(QStringLiteral("offsetNanos")).toLongLong();
    stat.syncErrorMicros = map.value(QStringLiteral("syncErrorMicros")).toInt();
    stat.latencyMs = static_cast<std::uint16_t>(map.value(QStringLiteral("latencyMs")).toUInt());
    stat.flags = static_cast<std::uint16_t>(map.value(QStringLiteral("flags")).toUInt());
    stat.bufferDepthMs =
        static_cast<std::uint16_t>(map.value(QStringLiteral("bufferDepthMs")).toUInt());
    stat.deviceName = map.value(QStringLiteral("deviceName")).toString().toStdString();
    return stat;
}

}  // namespace

GuestConnection::Snapshot ContractValues::snapshot(const QVariantMap& map) {
    GuestConnection::Snapshot snapshot;
    snapshot.id = map.value(QStringLiteral("id")).toLongLong();
    snapshot.endpoint = map.value(QStringLiteral("endpoint")).toString().toStdString();
    snapshot.queuedBytes = map.value(QStringLiteral("queuedBytes")).toLongLong();
    snapshot.occupancy = map.value(QStringLiteral("occupancy")).toDouble();
    snapshot.droppedFrames = map.value(QStringLiteral("droppedFrames")).toLongLong();
    snapshot.expiredFrames = map.value(QStringLiteral("expiredFrames")).toLongLong();
    snapshot.framesSent = map.value(QStringLiteral("framesSent")).toLongLong();
    snapshot.bytesSent = map.value(QStringLiteral("bytesSent")).toLongLong();
    const QVariant stats = map.value(QStringLiteral("stats"));
    if (stats.isValid() && !stats.isNull()) {
        snapshot.stats = report(stats.toMap());
    }
    snapshot.statsAt = optionalNumber(map.value(QStringLiteral("statsAt")));
    snapshot.isOverBudget = map.value(QStringLiteral("isOverBudget")).toBool();
    return snapshot;
}

std::vector<GuestConnection::Snapshot> ContractValues::snapshots(const QVariantList& list) {
    std::vector<GuestConnection::Snapshot> result;
    result.reserve(static_cast<std::size_t>(list.size()));
    for (const QVariant& item : list) {
        result.push_back(snapshot(item.toMap()));
    }
    return result;
}

NetworkHealth::Headroom ContractValues::headroom(const QVariantMap& verdict) {
    const QVariantMap map = verdict.value(QStringLiteral("headroom")).toMap();
    NetworkHealth::Headroom headroom;
    headroom.floorMs = optionalNumber(map.value(QStringLiteral("floorMs")));
    headroom.inflationMs = optionalNumber(map.value(QStringLiteral("inflationMs")));
    headroom.isClimbing = map.value(QStringLiteral("isClimbing")).toBool();
    headroom.comfortableAt = map.value(QStringLiteral("comfortableAt")).toInt();
    headroom.offeredMbps = map.value(QStringLiteral("offeredMbps")).toDouble();
    headroom.strain = map.value(QStringLiteral("strain")).toDouble();
    return headroom;
}

std::map<NetworkHealth::Id, double> ContractValues::linkStrain(const QVariantMap& verdict) {
    std::map<NetworkHealth::Id, double> strains;
    const QVariantMap map = verdict.value(QStringLiteral("linkStrain")).toMap();
    for (auto it = map.constBegin(); it != map.constEnd(); ++it) {
        bool ok = false;
        const auto id = it.key().toLongLong(&ok);
        if (ok) {
            strains[id] = it.value().toDouble();
        }
    }
    return strains;
}

std::optional<LinkCapacity::Link> ContractValues::link(const QVariant& value) {
    if (!value.isValid() || value.isNull()) {
        return std::nullopt;
    }
    const QVariantMap map = value.toMap();
    LinkCapacity::Link link;
    link.band =
        byName(bandNames, map.value(QStringLiteral("band")).toString()).value_or(Band::unknown);
    link.phyMode = byName(phyNames, map.value(QStringLiteral("phyMode")).toString())
                       .value_or(PHYMode::unknown);
    link.txRateMbps = map.value(QStringLiteral("txRateMbps")).toDouble();
    link.rssi = optionalInt(map.value(QStringLiteral("rssi")));
    link.noise = optionalInt(map.value(QStringLiteral("noise")));
    return link;
}

LinkCapacity::HostAttachment ContractValues::attachment(const QString& name) {
    if (name == QLatin1String("ethernet")) {
        return LinkCapacity::HostAttachment::ethernet;
    }
    if (name == QLatin1String("wifi")) {
        return LinkCapacity::HostAttachment::wifi;
    }
    return LinkCapacity::HostAttachment::unknown;
}

SilenceWatchdog::Diagnosis ContractValues::diagnosis(const QVariantMap& map) {
    const auto kind =
        caseNamed(map.value(QStringLiteral("kind")).toString(), DiagnosisCase::receivingAudio,
                  [](DiagnosisCase one) { return ControllerValues::diagnosisName(one); })
            .value_or(DiagnosisCase::idle);
    return {kind, map.value(QStringLiteral("silentFor")).toDouble()};
}

DroughtWatch::Stage ContractValues::droughtStage(const QVariant& value) {
    if (value.typeId() == QMetaType::QVariantMap) {
        const QVariantMap map = value.toMap();
        const auto kind =
            stageNamed(map.value(QStringLiteral("kind")).toString()).value_or(StageCase::fine);
        return {kind, map.value(QStringLiteral("seconds")).toDouble()};
    }
    return {stageNamed(value.toString()).value_or(StageCase::fine), 0.0};
}

SystemCheckup::Finding ContractValues::finding(const QVariantMap& map) {
    SystemCheckup::Finding finding;
    finding.id = map.value(QStringLiteral("id")).toString().toStdString();
    finding.title = map.value(QStringLiteral("title")).toString().toStdString();
    finding.verdict = caseNamed(map.value(QStringLiteral("verdict")).toString(), Verdict::unknown,
                                [](Verdict one) { return ControllerValues::verdictName(one); })
                          .value_or(Verdict::unknown);
    finding.detail = map.value(QStringLiteral("detail")).toString().toStdString();
    finding.fix = map.value(QStringLiteral("fix")).toString().toStdString();
    finding.reason =
        reason(map.value(QStringLiteral("reason")).toString()).value_or(Reason::audioUndetermined);
    return finding;
}

std::optional<SystemCheckup::Reason> ContractValues::reason(const QString& name) {
    return caseNamed(name, Reason::networkUnavailable,
                     [](Reason one) { return ControllerValues::reasonName(one); });
}

}  // namespace zoranth
