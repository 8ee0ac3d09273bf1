#include "host/quality_controller.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <ostream>
#include <random>
#include <vector>

namespace zoranth {
namespace {

using Reason = QualityController::Reason;
using Decision = QualityController::Decision;
using Tier = QualityTier;

enum class Network { congested, calm, neither };

struct Change {
    double at;
    QualityTier tier;
    std::optional<Reason> reason;
    friend bool operator==(const Change&, const Change&) = default;
};

void PrintTo(const Change& change, std::ostream* out) {
    *out << "{" << change.at << ", " << change.tier.label() << ", "
         << QualityController::text(change.reason) << "}";
}

// Steering passes every 0.25 s from `from` up to but not including `to`, the network
// at each pass given by `network`. Returns every change the controller made.
std::vector<Change> run(QualityController& controller, double from, double to,
                        const std::function<Network(double)>& network) {
    std::vector<Change> changes;
    for (int pass = 0;; ++pass) {
        const double now = from + 0.25 * pass;
        if (now >= to) {
            break;
        }
        const Network state = network(now);
        const Decision decision =
            controller.update(now, state == Network::congested, state == Network::calm);
        EXPECT_EQ(decision.tier, controller.tier);
        EXPECT_EQ(decision.reason, controller.lastReason);
        if (decision.changed) {
            changes.push_back({now, decision.tier, decision.reason});
        }
    }
    return changes;
}

std::vector<Change> run(QualityController& controller, double from, double to, Network network) {
    return run(controller, from, to, [network](double) { return network; });
}

TEST(QualityController, StartsAtFullWithNothingRecorded) {
    const QualityController controller;
    EXPECT_EQ(controller.floor, Tier::minimum);
    EXPECT_EQ(controller.ceiling, Tier::full);
    EXPECT_TRUE(controller.isAutomatic);
    EXPECT_EQ(controller.tier, Tier::full);
    EXPECT_EQ(controller.lastReason, std::nullopt);
    EXPECT_EQ(controller.lastChangeAt, std::nullopt);
    EXPECT_EQ(controller.saturatedSince, std::nullopt);
    EXPECT_EQ(controller.healthySince, std::nullopt);
}

TEST(QualityController, ContinuousCongestionStepsDownAfter3sThenEvery10s) {
    QualityController controller;
    const std::vector<Change> expected = {
        {1003, Tier::high, Reason::measuredSaturation},
        {1013, Tier::medium, Reason::measuredSaturation},
        {1023, Tier::low, Reason::measuredSaturation},
        {1033, Tier::minimum, Reason::measuredSaturation},
    };
    EXPECT_EQ(run(controller, 1000, 1120, Network::congested), expected);
    EXPECT_EQ(controller.tier, Tier::minimum);
}

TEST(QualityController, CongestionStopsAtTheFloor) {
    QualityController controller;
    controller.floor = Tier::medium;
    const std::vector<Change> expected = {
        {1003, Tier::high, Reason::measuredSaturation},
        {1013, Tier::medium, Reason::measuredSaturation},
    };
    EXPECT_EQ(run(controller, 1000, 1120, Network::congested), expected);
}

TEST(QualityController, RecoveryNeeds180sOfCalmPerStep) {
    QualityController controller;
    controller.setInitial(Tier::minimum);
    // Each change clears the run; the next pass, 0.25 s later, starts a new one.
    const std::vector<Change> expected = {
        {1180, Tier::low, Reason::headroomRecovered},
        {1360.25, Tier::medium, Reason::headroomRecovered},
        {1540.5, Tier::high, Reason::headroomRecovered},
        {1720.75, Tier::full, Reason::headroomRecovered},
    };
    EXPECT_EQ(run(controller, 1000, 1000 + 20 * 60, Network::calm), expected);
}

TEST(QualityController, CongestionThenCalmRoundTrip) {
    QualityController controller;
    ASSERT_EQ(run(controller, 0, 5, Network::congested),
              (std::vector<Change>{{3, Tier::high, Reason::measuredSaturation}}));
    // Calm from 5 s; the step up needs 180 s of it, not 180 s since the change.
    const std::vector<Change> expected = {{185, Tier::full, Reason::headroomRecovered}};
    EXPECT_EQ(run(controller, 5, 600, Network::calm), expected);
}

TEST(QualityController, AlternatingConditionsNeverReachAThreshold) {
    const struct {
        const char* name;
        Tier start;
        std::function<Network(double)> network;
    } rows[] = {
        {"2.75 s congested, 0.25 s calm", Tier::full,
         [](double t) { return std::fmod(t, 3.0) < 2.75 ? Network::congested : Network::calm; }},
        {"179.75 s calm, 0.25 s congested", Tier::minimum,
         [](double t) {
             return std::fmod(t, 180.0) < 179.75 ? Network::calm : Network::congested;
         }},
        {"every other pass", Tier::medium,
         [](double t) { return std::fmod(t, 0.5) == 0 ? Network::congested : Network::calm; }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        QualityController controller;
        controller.setInitial(row.start);
        EXPECT_EQ(run(controller, 0, 30 * 60, row.network), std::vector<Change>{});
        EXPECT_EQ(controller.tier, row.start);
    }
}

TEST(QualityController, PassesWithNeitherConditionKeepBothRunsGoing) {
    // Congested for 2 s, then a room that is only idle or has weak guests: the run of
    // congestion still reaches 3 s.
    QualityController controller;
    const std::vector<Change> down = {{3, Tier::high, Reason::measuredSaturation}};
    EXPECT_EQ(run(controller, 0, 10,
                  [](double t) { return t < 2 ? Network::congested : Network::neither; }),
              down);

    QualityController recovering;
    recovering.setInitial(Tier::low);
    const std::vector<Change> up = {{180, Tier::medium, Reason::headroomRecovered}};
    EXPECT_EQ(run(recovering, 0, 200,
                  [](double t) { return t < 100 ? Network::calm : Network::neither; }),
              up);
}

TEST(QualityController, ManualModeNeverChangesTheTierInUpdate) {
    QualityController controller;
    controller.isAutomatic = false;
    EXPECT_EQ(controller.setManually(Tier::minimum, 0),
              (Decision{Tier::minimum, true, Reason::manual}));
    controller.floor = Tier::high;  // now better than the tier
    controller.ceiling = Tier::high;
    EXPECT_EQ(run(controller, 0, 300, Network::congested), std::vector<Change>{});
    EXPECT_EQ(run(controller, 300, 600, Network::calm), std::vector<Change>{});
    EXPECT_EQ(controller.tier, Tier::minimum);
    EXPECT_EQ(controller.update(600, false, false),
              (Decision{Tier::minimum, false, Reason::manual}));

    // By hand still works, inside the bounds.
    EXPECT_EQ(controller.setManually(Tier::low, 601), (Decision{Tier::high, true, Reason::manual}));
}

TEST(QualityController, RunsAreTrackedWhileManual) {
    QualityController controller;
    controller.isAutomatic = false;
    controller.setManually(Tier::low, 0);
    EXPECT_EQ(run(controller, 0.25, 200, Network::calm), std::vector<Change>{});
    ASSERT_EQ(controller.healthySince, 0.25);
    // Back to automatic, 200 s of calm are already on record.
    controller.isAutomatic = true;
    EXPECT_EQ(controller.update(200, false, true),
              (Decision{Tier::medium, true, Reason::headroomRecovered}));
}

TEST(QualityController, ARaisedFloorMovesTheTierAtOnceWithReasonManual) {
    QualityController controller;
    ASSERT_EQ(run(controller, 1000, 1034, Network::congested).size(), 4u);
    ASSERT_EQ(controller.tier, Tier::minimum);
    // One second after the last change, whatever the network says.
    controller.floor = Tier::high;
    EXPECT_EQ(controller.update(1034, true, false), (Decision{Tier::high, true, Reason::manual}));
    EXPECT_EQ(controller.lastChangeAt, 1034);
    // The floor is where congestion stops now.
    EXPECT_EQ(run(controller, 1034.25, 1200, Network::congested), std::vector<Change>{});
}

TEST(QualityController, AGuestAboveANewRoomTierDropsAtOnceFollowingTheRoom) {
    QualityController room;
    QualityController guest;
    guest.setInitial(room.tier);
    // Each pass as the steering runs it: the room first, then the guest under the room's
    // new tier. The room is saturated; the guest itself is not struggling.
    std::vector<Change> guestChanges;
    for (double now = 0; now < 60; now += 0.25) {
        room.update(now, true, false);
        guest.ceiling = room.tier;
        const Decision decision = guest.update(now, false, false);
        if (decision.changed) {
            guestChanges.push_back({now, decision.tier, decision.reason});
        }
    }
    const std::vector<Change> expected = {
        {3, Tier::high, Reason::followingRoom},
        {13, Tier::medium, Reason::followingRoom},
        {23, Tier::low, Reason::followingRoom},
        {33, Tier::minimum, Reason::followingRoom},
    };
    EXPECT_EQ(guestChanges, expected);
}

TEST(QualityController, FollowingTheRoomIgnoresTheSpacing) {
    QualityController guest;
    guest.setInitial(Tier::full);
    // The guest struggles alone and steps down...
    ASSERT_EQ(run(guest, 0, 3.25, Network::congested),
              (std::vector<Change>{{3, Tier::high, Reason::measuredSaturation}}));
    // ...and a second later the room is put to low by hand.
    guest.ceiling = Tier::low;
    EXPECT_EQ(guest.update(4, false, true), (Decision{Tier::low, true, Reason::followingRoom}));
}

TEST(QualityController, AGuestNeverClimbsAboveTheRoom) {
    QualityController guest;
    guest.ceiling = Tier::medium;
    guest.setInitial(Tier::medium);
    EXPECT_EQ(run(guest, 0, 20 * 60, Network::calm), std::vector<Change>{});
    EXPECT_EQ(guest.tier, Tier::medium);
}

TEST(QualityController, SetInitialStartsOverInsideTheBounds) {
    const struct {
        Tier ceiling;
        Tier floor;
        Tier start;
        Tier tier;
        std::optional<Reason> reason;
    } rows[] = {
        {Tier::full, Tier::minimum, Tier::full, Tier::full, std::nullopt},
        {Tier::full, Tier::minimum, Tier::high, Tier::high, Reason::initial},
        {Tier::full, Tier::minimum, Tier::minimum, Tier::minimum, Reason::initial},
        {Tier::full, Tier::medium, Tier::minimum, Tier::medium, Reason::initial},
        {Tier::medium, Tier::minimum, Tier::full, Tier::medium, Reason::initial},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.start.label());
        QualityController controller;
        // History from an earlier life that setInitial must clear.
        run(controller, 0, 3.25, Network::congested);
        controller.healthySince = 3.0;
        controller.ceiling = row.ceiling;
        controller.floor = row.floor;
        controller.setInitial(row.start);
        EXPECT_EQ(controller.tier, row.tier);
        EXPECT_EQ(controller.lastReason, row.reason);
        EXPECT_EQ(controller.lastChangeAt, std::nullopt);
        EXPECT_EQ(controller.saturatedSince, std::nullopt);
        EXPECT_EQ(controller.healthySince, std::nullopt);
    }
}

TEST(QualityController, SetManuallyClampsAndRestartsTheRuns) {
    QualityController controller;
    controller.floor = Tier::low;
    controller.update(0, true, false);
    ASSERT_EQ(controller.saturatedSince, 0);

    EXPECT_EQ(controller.setManually(Tier::minimum, 1),
              (Decision{Tier::low, true, Reason::manual}));
    EXPECT_EQ(controller.saturatedSince, std::nullopt);
    EXPECT_EQ(controller.lastChangeAt, 1);
    // The same tier again changes nothing, and repeats the last reason.
    EXPECT_EQ(controller.setManually(Tier::low, 2), (Decision{Tier::low, false, Reason::manual}));
    EXPECT_EQ(controller.lastChangeAt, 1);

    // A change by hand counts for the 10-second spacing.
    EXPECT_EQ(controller.setManually(Tier::full, 5), (Decision{Tier::full, true, Reason::manual}));
    const std::vector<Change> expected = {{15, Tier::high, Reason::measuredSaturation}};
    EXPECT_EQ(run(controller, 5.25, 16, Network::congested), expected);
}

TEST(QualityController, ReasonTexts) {
    const std::pair<std::optional<Reason>, const char*> rows[] = {
        {Reason::initial, "starting quality"},
        {Reason::measuredSaturation, "network is congested"},
        {Reason::headroomRecovered, "network has room again"},
        {Reason::followingRoom, "following the room"},
        {Reason::manual, "set by hand"},
        {std::nullopt, "unknown"},
    };
    for (const auto& [reason, text] : rows) {
        EXPECT_EQ(QualityController::text(reason), text);
    }
}

TEST(QualityController, TierStaysBetweenCeilingAndFloorWhateverHappens) {
    // A long deterministic run of everything the steering may do.
    std::mt19937 random(7);
    auto anyTier = [&random] { return QualityTier::allCases[random() % 5]; };
    QualityController controller;
    for (int pass = 0; pass < 20000; ++pass) {
        const double now = 0.25 * pass;
        switch (random() % 40) {
            case 0:
                controller.floor = std::max(anyTier(), controller.ceiling);
                break;
            case 1:
                controller.ceiling = std::min(anyTier(), controller.floor);
                break;
            case 2:
                controller.setManually(anyTier(), now);
                break;
            case 3:
                controller.isAutomatic = !controller.isAutomatic;
                break;
            default:
                break;
        }
        const auto network = static_cast<Network>(random() % 3);
        const Decision decision =
            controller.update(now, network == Network::congested, network == Network::calm);
        if (decision.changed || controller.isAutomatic) {
            ASSERT_LE(controller.ceiling, controller.tier) << "pass " << pass;
            ASSERT_LE(controller.tier, controller.floor) << "pass " << pass;
        }
    }
}

}  // namespace
}  // namespace zoranth
