#include "app/contract_values.h"

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

template <class Enum, std::size_t N>
QString nameOf(const std::array<std::pair<const char*, Enum>, N>& names, Enum value) {
    for (const auto& [text, candidate] : names) {
        if (candidate == value) {
            return QString::fromLatin1(text);
        }
    }
    return {};
}

using Reason = MacCheckup::Reason;
constexpr std::array<std::pair<const char*, Reason>, 16> reasonNames{{
    {"firewallOff", Reason::firewallOff},
    {"allowed", Reason::allowed},
    {"blockAllIncoming", Reason::blockAllIncoming},
    {"appBlocked", Reason::appBlocked},
    {"notInList", Reason::notInList},
    {"stateUnreadable", Reason::stateUnreadable},
    {"firewallUnreadable", Reason::firewallUnreadable},
    {"audioGranted", Reason::audioGranted},
    {"audioDenied", Reason::audioDenied},
    {"audioUndetermined", Reason::audioUndetermined},
    {"networkOK", Reason::networkOK},
    {"networkDenied", Reason::networkDenied},
    {"networkUnconfirmed", Reason::networkUnconfirmed},
    {"networkUntestable", Reason::networkUntestable},
    {"translocated", Reason::translocated},
    {"duplicateInstall", Reason::duplicateInstall},
}};

using Verdict = MacCheckup::Verdict;
constexpr std::array<std::pair<const char*, Verdict>, 4> verdictNames{{
    {"ok", Verdict::ok},
    {"warning", Verdict::warning},
    {"problem", Verdict::problem},
    {"unknown", Verdict::unknown},
}};

constexpr std::array<std::pair<const char*, QualityTier::Value>, 5> tierNames{{
    {"full", QualityTier::full},
    {"high", QualityTier::high},
    {"medium", QualityTier::medium},
    {"low", QualityTier::low},
    {"minimum", QualityTier::minimum},
}};

using DiagnosisCase = SilenceWatchdog::Diagnosis::Case;
constexpr std::array<std::pair<const char*, DiagnosisCase>, 4> diagnosisNames{{
    {"idle", DiagnosisCase::idle},
    {"notCapturing", DiagnosisCase::notCapturing},
    {"likelyDenied", DiagnosisCase::likelyDenied},
    {"receivingAudio", DiagnosisCase::receivingAudio},
}};

using StageCase = DroughtWatch::Stage::Case;
constexpr std::array<std::pair<const char*, StageCase>, 3> stageNames{{
    {"fine", StageCase::fine},
    {"quiet", StageCase::quiet},
    {"investigate", StageCase::investigate},
}};

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

ClientConnection::Snapshot ContractValues::snapshot(const QVariantMap& map) {
    ClientConnection::Snapshot snapshot;
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

std::vector<ClientConnection::Snapshot> ContractValues::snapshots(const QVariantList& list) {
    std::vector<ClientConnection::Snapshot> result;
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
    link.band = byName(bandNames, map.value(QStringLiteral("band")).toString()).value_or(Band::unknown);
    link.phyMode =
        byName(phyNames, map.value(QStringLiteral("phyMode")).toString()).value_or(PHYMode::unknown);
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

std::optional<QualityTier> ContractValues::tier(const QString& name) {
    if (const auto value = byName(tierNames, name)) {
        return QualityTier(*value);
    }
    return std::nullopt;
}

QString ContractValues::tierName(QualityTier tier) {
    return nameOf(tierNames, tier.value());
}

SilenceWatchdog::Diagnosis ContractValues::diagnosis(const QVariantMap& map) {
    const auto kind =
        byName(diagnosisNames, map.value(QStringLiteral("kind")).toString()).value_or(DiagnosisCase::idle);
    return {kind, map.value(QStringLiteral("silentFor")).toDouble()};
}

DroughtWatch::Stage ContractValues::droughtStage(const QVariant& value) {
    if (value.typeId() == QMetaType::QVariantMap) {
        const QVariantMap map = value.toMap();
        const auto kind =
            byName(stageNames, map.value(QStringLiteral("kind")).toString()).value_or(StageCase::fine);
        return {kind, map.value(QStringLiteral("seconds")).toDouble()};
    }
    return {byName(stageNames, value.toString()).value_or(StageCase::fine), 0.0};
}

MacCheckup::Finding ContractValues::finding(const QVariantMap& map) {
    MacCheckup::Finding finding;
    finding.id = map.value(QStringLiteral("id")).toString().toStdString();
    finding.title = map.value(QStringLiteral("title")).toString().toStdString();
    finding.verdict = byName(verdictNames, map.value(QStringLiteral("verdict")).toString())
                          .value_or(Verdict::unknown);
    finding.detail = map.value(QStringLiteral("detail")).toString().toStdString();
    finding.fix = map.value(QStringLiteral("fix")).toString().toStdString();
    finding.reason = reason(map.value(QStringLiteral("reason")).toString())
                         .value_or(Reason::audioUndetermined);
    const QVariant url = map.value(QStringLiteral("settingsURL"));
    if (url.isValid() && !url.isNull() && !url.toString().isEmpty()) {
        finding.settingsURL = url.toString().toStdString();
    }
    return finding;
}

QVariantMap ContractValues::findingMap(const MacCheckup::Finding& finding) {
    return {
        {QStringLiteral("id"), QString::fromStdString(finding.id)},
        {QStringLiteral("title"), QString::fromStdString(finding.title)},
        {QStringLiteral("verdict"), verdictName(finding.verdict)},
        {QStringLiteral("detail"), QString::fromStdString(finding.detail)},
        {QStringLiteral("fix"), QString::fromStdString(finding.fix)},
        {QStringLiteral("reason"), reasonName(finding.reason)},
        {QStringLiteral("settingsURL"), finding.settingsURL
                                            ? QVariant(QString::fromStdString(*finding.settingsURL))
                                            : QVariant()},
    };
}

QString ContractValues::reasonName(MacCheckup::Reason reason) {
    return nameOf(reasonNames, reason);
}

std::optional<MacCheckup::Reason> ContractValues::reason(const QString& name) {
    return byName(reasonNames, name);
}

QString ContractValues::verdictName(MacCheckup::Verdict verdict) {
    return nameOf(verdictNames, verdict);
}

}  // namespace zoranth
