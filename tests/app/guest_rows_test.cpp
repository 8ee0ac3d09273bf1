// What each guest's row shows in the guest list, the guest table and the diagnostics.
#include "app/guest_rows.h"

#include <gtest/gtest.h>

#include "host/wall_clock.h"
#include "qt_printing.h"
#include "window_samples.h"

namespace zoranth {
namespace {

using samples::Report;

GuestConnection::Snapshot snapshot(std::optional<Report> report, double occupancy = 0.25,
                                   std::int64_t dropped = 3, std::int64_t expired = 1) {
    return samples::guest(7, "192.168.1.40:61002", report, occupancy, dropped, expired);
}

TEST(GuestRows, StrainWordsSplitAtHalfAndAtTheThreshold) {
    const std::vector<GuestConnection::Snapshot> clients{
        samples::guest(1, "a", std::nullopt), samples::guest(2, "b", std::nullopt),
        samples::guest(3, "c", std::nullopt), samples::guest(4, "d", std::nullopt),
        samples::guest(5, "e", std::nullopt),
    };
    const std::map<GuestRows::Id, double> strain{{1, 0.0}, {2, 0.49}, {3, 0.7}, {4, 1.0}, {5, 2.5}};
    const auto rows = GuestRows::list(clients, strain, {}, WallClock::now());
    ASSERT_EQ(rows.size(), 5U);
    EXPECT_EQ(rows[0].strainWord, QString("comfortable"));
    EXPECT_EQ(rows[1].strainWord, QString("comfortable"));
    EXPECT_EQ(rows[2].strainWord, QString("busy"));
    EXPECT_EQ(rows[3].strainWord, QString("struggling"));
    EXPECT_EQ(rows[4].strainWord, QString("struggling"));
}

TEST(GuestRows, ListRowShowsNameTierAndSync) {
    Report bluetooth{"Pixel 8"};
    bluetooth.route = RouteKind::bluetooth;
    Report syncing{"Tablet"};
    syncing.locked = false;
    const std::vector<GuestConnection::Snapshot> clients{
        samples::guest(1, "10.0.0.2:5000", std::nullopt),
        samples::guest(2, "10.0.0.3:5000", bluetooth),
        samples::guest(3, "10.0.0.4:5000", syncing),
    };
    const auto rows = GuestRows::list(clients, {}, {{2, QualityTier::medium}}, WallClock::now());
    ASSERT_EQ(rows.size(), 3U);
    // Without a report the guest is known by its address.
    EXPECT_EQ(rows[0].name, QString("10.0.0.2:5000"));
    EXPECT_EQ(rows[0].syncText, QString());
    EXPECT_EQ(rows[0].tierLabel, QString());
    EXPECT_EQ(rows[1].name, QString("Pixel 8"));
    EXPECT_EQ(rows[1].address, QString("10.0.0.3:5000"));
    EXPECT_EQ(rows[1].tierLabel, QString("128 kbps"));
    EXPECT_EQ(rows[1].sync, GuestSync::State::inSyncNeedsCalibration);
    EXPECT_EQ(rows[1].syncText, QString("in sync"));
    EXPECT_EQ(rows[2].syncText, QString("syncing…"));
}

TEST(GuestRows, TableFormatsEachMeasurement) {
    Report report{"Maya's iPhone", 4.26, 3.1, -12.5, 0.44, 40};
    const auto row = GuestRows::tableRow(snapshot(report, 0.62, 14, 3));
    EXPECT_EQ(row.device, QString("Maya's iPhone"));
    EXPECT_EQ(row.address, QString("192.168.1.40:61002"));
    EXPECT_EQ(row.rtt, QString("4.3 ms"));
    EXPECT_EQ(row.minRtt, QString("3.1 ms"));
    EXPECT_EQ(row.offset, QString("-12.5 ms"));
    EXPECT_EQ(row.queue, QString("62%"));
    EXPECT_EQ(row.dropped, QString("14"));
    EXPECT_EQ(row.stale, QString("3"));
    EXPECT_EQ(row.error, QString("+0.4 ms"));
    EXPECT_EQ(row.latency, QString("40 ms"));
}

TEST(GuestRows, TableShowsDashesForWhatIsNotReportedYet) {
    const auto row = GuestRows::tableRow(snapshot(std::nullopt, 0.0, 0, 0));
    EXPECT_EQ(row.device, QString("192.168.1.40:61002"));
    for (const QString& cell : {row.rtt, row.minRtt, row.offset, row.error, row.latency}) {
        EXPECT_EQ(cell, QString("—"));
    }
    EXPECT_EQ(row.queue, QString("0%"));
    EXPECT_EQ(row.dropped, QString("0"));
}

TEST(GuestRows, DiagnosticsLineSaysSyncAndCalibration) {
    Report bluetooth{"Buds", 5, 4, 0, -1.26, 180, true, true, RouteKind::bluetooth};
    Report speaker{"Phone", 5, 4, 0, 2.0, 35, false};
    EXPECT_EQ(GuestRows::diagnosticsLine(snapshot(bluetooth)),
              QString("Buds  ·  err -1.3 ms  ·  L 180 ms  ·  in sync, calibrated"));
    bluetooth.calibrated = false;
    EXPECT_EQ(GuestRows::diagnosticsLine(snapshot(bluetooth)),
              QString("Buds  ·  err -1.3 ms  ·  L 180 ms  ·  in sync, not calibrated"));
    EXPECT_EQ(GuestRows::diagnosticsLine(snapshot(speaker)),
              QString("Phone  ·  err +2.0 ms  ·  L 35 ms  ·  syncing…"));
    EXPECT_EQ(GuestRows::diagnosticsLine(snapshot(std::nullopt)),
              QString("192.168.1.40:61002  ·  err +0.0 ms  ·  L 0 ms  ·  no sync report"));
}

}  // namespace
}  // namespace zoranth
