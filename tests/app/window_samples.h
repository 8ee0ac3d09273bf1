// Values as a rave session hands them to the window's models (guest snapshots, network
// verdicts, checkup findings), for tests to show, and a stand-in for the rave that
// records what the models ask of it.
#pragma once

#include <QString>
#include <QStringList>

#include <map>
#include <optional>
#include <string>

#include "app/rave_controls.h"
#include "host/checks/system_checkup.h"
#include "host/net/guest_connection.h"
#include "host/network_health.h"
#include "host/wall_clock.h"
#include "protocol/wire_format.h"

namespace zoranth {

// Every request the models make, in order: "start", "stop", "mute", "unmute",
// "setQuality:<label>", "setQualityFloor:<label>", "setQualityAutomatic:<0|1>",
// "setRaveName:<name>", "setBufferDelayMs:<ms>".
class RecordedControls : public RaveControls {
  public:
    QStringList calls;

    void start() override { calls << "start"; }
    void stop() override { calls << "stop"; }
    bool muteSpeakers() override {
        calls << "mute";
        return true;
    }
    bool unmuteSpeakers() override {
        calls << "unmute";
        return true;
    }
    void setQuality(QualityTier tier) override { calls << "setQuality:" + label(tier); }
    void setQualityFloor(QualityTier floor) override { calls << "setQualityFloor:" + label(floor); }
    void setQualityAutomatic(bool automatic) override {
        calls << "setQualityAutomatic:" + QString::number(automatic ? 1 : 0);
    }
    void setRaveName(const QString& name) override { calls << "setRaveName:" + name; }
    void setBufferDelayMs(double milliseconds) override {
        calls << "setBufferDelayMs:" + QString::number(milliseconds);
    }
    void setMaxGuests(std::size_t guests) override {
        calls << "setMaxGuests:" + QString::number(guests);
    }

  private:
    static QString label(QualityTier tier) { return QString::fromStdString(tier.label()); }
};

namespace samples {

// A guest's report: round trip, its minimum, clock offset and sync error in ms.
struct Report {
    std::string deviceName;
    double rttMs = 4.2;
    double minRttMs = 3.1;
    double offsetMs = 12.5;
    double syncErrorMs = 0.4;
    int latencyMs = 40;
    bool locked = true;
    bool calibrated = false;
    RouteKind route = RouteKind::speaker;
    double ageSeconds = 1;  // how long ago it arrived
};

inline GuestConnection::Snapshot guest(GuestConnection::Id id, const std::string& endpoint,
                                       std::optional<Report> report, double occupancy = 0.1,
                                       std::int64_t dropped = 0, std::int64_t expired = 0) {
    GuestConnection::Snapshot snapshot;
    snapshot.id = id;
    snapshot.endpoint = endpoint;
    snapshot.queuedBytes = 1200;
    snapshot.occupancy = occupancy;
    snapshot.droppedFrames = dropped;
    snapshot.expiredFrames = expired;
    snapshot.framesSent = 4000;
    snapshot.bytesSent = 640000;
    if (report) {
        ClientStat stat;
        stat.rttNanos = static_cast<std::uint32_t>(report->rttMs * 1e6);
        stat.minRttNanos = static_cast<std::uint32_t>(report->minRttMs * 1e6);
        stat.offsetNanos = static_cast<std::int64_t>(report->offsetMs * 1e6);
        stat.syncErrorMicros = static_cast<std::int32_t>(report->syncErrorMs * 1000);
        stat.latencyMs = static_cast<std::uint16_t>(report->latencyMs);
        stat.flags = ClientStat::composeFlags(true, report->locked, report->calibrated, false,
                                              report->route);
        stat.bufferDepthMs = 4400;
        stat.deviceName = report->deviceName;
        snapshot.stats = stat;
        snapshot.statsAt = WallClock::now() - report->ageSeconds;
    }
    return snapshot;
}

inline NetworkHealth::Headroom headroom(std::optional<double> floorMs = std::nullopt,
                                        std::optional<double> inflationMs = std::nullopt,
                                        bool climbing = false, int comfortableAt = 0,
                                        double offeredMbps = 0, double strain = 0) {
    NetworkHealth::Headroom room;
    room.floorMs = floorMs;
    room.inflationMs = inflationMs;
    room.isClimbing = climbing;
    room.comfortableAt = comfortableAt;
    room.offeredMbps = offeredMbps;
    room.strain = strain;
    return room;
}

inline NetworkHealth::Verdict verdict(const std::string& summary,
                                      const NetworkHealth::Headroom& room = headroom(),
                                      std::map<NetworkHealth::Id, double> linkStrain = {}) {
    NetworkHealth::Verdict verdict = NetworkHealth::Verdict::initial();
    verdict.summary = summary;
    verdict.headroom = room;
    verdict.linkStrain = std::move(linkStrain);
    return verdict;
}

inline SystemCheckup::Finding finding(const std::string& id, const std::string& title,
                                      SystemCheckup::Verdict verdict, SystemCheckup::Reason reason,
                                      const std::string& detail, const std::string& fix = {}) {
    return {id, title, verdict, detail, fix, reason};
}

}  // namespace samples
}  // namespace zoranth
