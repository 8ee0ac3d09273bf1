#include "host/guest_sync.h"

#include <gtest/gtest.h>

#include <vector>

namespace zoranth {
namespace {

using State = GuestSync::State;

ClientStat report(bool measured, bool locked, bool calibrated, RouteKind route) {
    ClientStat stat;
    stat.flags = ClientStat::composeFlags(measured, locked, calibrated, false, route);
    stat.deviceName = "Kitchen";
    return stat;
}

TEST(GuestSync, StateFromTheLatestReport) {
    const ClientStat locked = report(true, true, false, RouteKind::speaker);
    const struct {
        const char* name;
        std::optional<ClientStat> stats;
        std::optional<double> statsAt;
        State state;
    } rows[] = {
        {"never reported", std::nullopt, std::nullopt, State::noReport},
        {"report without a time", locked, std::nullopt, State::noReport},
        {"5 s old is still judged", locked, 95.0, State::inSync},
        {"5.01 s old is stale", locked, 94.99, State::noReport},
        {"no measurement yet", report(false, true, true, RouteKind::wired), 99.0, State::noReport},
        {"measuring, not locked", report(true, false, true, RouteKind::wired), 99.0,
         State::syncing},
        {"locked on the speaker", locked, 99.0, State::inSync},
        {"locked, wired", report(true, true, false, RouteKind::wired), 99.0, State::inSync},
        {"locked, unknown route", report(true, true, false, RouteKind::unknown), 99.0,
         State::inSync},
        {"locked on Bluetooth, uncalibrated", report(true, true, false, RouteKind::bluetooth), 99.0,
         State::inSyncNeedsCalibration},
        {"locked on AirPlay, uncalibrated", report(true, true, false, RouteKind::airPlay), 99.0,
         State::inSyncNeedsCalibration},
        {"locked on Bluetooth, calibrated", report(true, true, true, RouteKind::bluetooth), 99.0,
         State::inSync},
        {"syncing on Bluetooth", report(true, false, false, RouteKind::bluetooth), 99.0,
         State::syncing},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(GuestSync::state(100.0, row.stats, row.statsAt), row.state) << row.name;
    }
}

TEST(GuestSync, SummaryAndCalibrationNote) {
    const struct {
        std::vector<State> states;
        std::optional<std::string> summary;
        std::optional<std::string> calibration;
    } rows[] = {
        {{}, std::nullopt, std::nullopt},
        {{State::noReport, State::noReport}, std::nullopt, std::nullopt},
        {{State::inSync}, "all in sync", std::nullopt},
        {{State::inSync, State::inSyncNeedsCalibration}, "all in sync", "1 to calibrate"},
        {{State::inSync, State::syncing, State::noReport}, "1 of 3 in sync", std::nullopt},
        {{State::syncing, State::noReport}, "0 of 2 in sync", std::nullopt},
        {{State::inSyncNeedsCalibration, State::inSync, State::inSyncNeedsCalibration,
          State::syncing, State::inSyncNeedsCalibration},
         "4 of 5 in sync",
         "3 to calibrate"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.states.size());
        EXPECT_EQ(GuestSync::summary(row.states), row.summary);
        EXPECT_EQ(GuestSync::calibrationNote(row.states), row.calibration);
    }
}

}  // namespace
}  // namespace zoranth
