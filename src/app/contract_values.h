// Reads the values the broadcast controller hands the window as QML values (maps, lists,
// case names; see ControllerValues, which writes them) back into the host's own types, so
// the window's texts are computed by the same code the rest of the host uses. Pure
// conversions: any thread.
#pragma once

#include <QString>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>

#include <map>
#include <optional>
#include <vector>

#include "host/checks/system_checkup.h"
#include "host/link_capacity.h"
#include "host/net/guest_connection.h"
#include "host/network_health.h"
#include "host/session/drought_watch.h"
#include "kit/quality_tier.h"
#include "kit/silence_watchdog.h"

namespace zoranth {

struct ContractValues {
    ContractValues() = delete;

    // One guest snapshot: the snapshot's own field names; the guest's report under
    // "stats" as a map of ClientStat's fields, or null before the first one.
    static GuestConnection::Snapshot snapshot(const QVariantMap& map);
    static std::vector<GuestConnection::Snapshot> snapshots(const QVariantList& list);

    // The network verdict: its fields, with the headroom as a nested map and the per-guest
    // link strain keyed by the guest id written in decimal.
    static NetworkHealth::Headroom headroom(const QVariantMap& verdict);
    static std::map<NetworkHealth::Id, double> linkStrain(const QVariantMap& verdict);

    // This computer's link, or none for a null value; enums by their case names.
    static std::optional<LinkCapacity::Link> link(const QVariant& value);
    static LinkCapacity::HostAttachment attachment(const QString& name);

    // { kind: case name, silentFor: seconds }.
    static SilenceWatchdog::Diagnosis diagnosis(const QVariantMap& map);

    // Case name, optionally with the seconds: "quiet", or a map { kind, seconds }.
    static DroughtWatch::Stage droughtStage(const QVariant& value);

    // A checkup finding with verdict and reason by their case names.
    static SystemCheckup::Finding finding(const QVariantMap& map);
    static std::optional<SystemCheckup::Reason> reason(const QString& name);
};

}  // namespace zoranth
