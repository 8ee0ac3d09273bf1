// Quality steering through the controller, with the network verdicts and the times
// given by the test: the room follows the whole network, each guest its own trouble,
// never rising above the room.
#include <gtest/gtest.h>

#include "app/broadcast_controller.h"
#include "broadcast_controller_fixture.h"
#include "gui_application.h"

namespace zoranth {
namespace {

using Snapshots = std::vector<GuestConnection::Snapshot>;

GuestConnection::Snapshot guest(GuestConnection::Id id, const std::string& deviceName) {
    GuestConnection::Snapshot snapshot;
    snapshot.id = id;
    snapshot.endpoint = "127.0.0.1:" + std::to_string(50000 + id);
    if (!deviceName.empty()) {
        snapshot.stats = ClientStat{};
        snapshot.stats->deviceName = deviceName;
    }
    return snapshot;
}

NetworkHealth::Verdict verdict(NetworkHealth::Diagnosis diagnosis,
                               std::map<NetworkHealth::Id, double> struggling = {}) {
    NetworkHealth::Verdict verdict = NetworkHealth::Verdict::initial();
    verdict.diagnosis = std::move(diagnosis);
    verdict.struggling = std::move(struggling);
    return verdict;
}

class QualitySteeringTest : public ::testing::Test {
  protected:
    void SetUp() override {
        guiApplication();
        controller_ = std::make_unique<BroadcastController>(world_.dependencies());
    }

    ControllerWorld world_;
    std::unique_ptr<BroadcastController> controller_;
};

TEST_F(QualitySteeringTest, ASaturatedNetworkStepsTheRoomDownAndTheGuestsFollow) {
    const Snapshots guests{guest(1, "Pixel")};
    const SignalCount tierChanges(*controller_, &BroadcastController::tierChanged);
    const auto saturated = verdict(NetworkHealth::Diagnosis::saturated("Pixel"));

    controller_->steerQuality(1000, guests, saturated);
    controller_->steerQuality(1002.9, guests, saturated);
    EXPECT_EQ(controller_->tier(), QualityTier::full) << "three seconds of congestion first";

    controller_->steerQuality(1003, guests, saturated);
    EXPECT_EQ(controller_->property("tier"), QStringLiteral("high"));
    EXPECT_EQ(controller_->property("tierReason"), QStringLiteral("measuredSaturation"));
    EXPECT_EQ(tierChanges(), 1);
    EXPECT_EQ(controller_->clientTiers(),
              (std::map<GuestConnection::Id, QualityTier>{{1, QualityTier::high}}));
    EXPECT_EQ(world_.log.lines(),
              (std::vector<std::string>{"room quality -> 192 kbps (network is congested)",
                                        "Pixel -> 192 kbps (following the room)"}));

    // A healthy network is not enough to climb straight back.
    controller_->steerQuality(1020, guests, verdict(NetworkHealth::Diagnosis::healthy()));
    EXPECT_EQ(controller_->tier(), QualityTier::high);
}

TEST_F(QualitySteeringTest, AStrugglingGuestStepsDownAloneAndIsLoggedByItsEndpointWithoutAName) {
    const Snapshots guests{guest(1, "Pixel"), guest(2, "")};
    const auto oneStruggles = verdict(NetworkHealth::Diagnosis::healthy(), {{2, 1000.0}});
    controller_->steerQuality(1000, guests, oneStruggles);
    controller_->steerQuality(1003, guests, oneStruggles);

    EXPECT_EQ(controller_->tier(), QualityTier::full);
    EXPECT_EQ(controller_->property("clientTiers"),
              (QVariantMap{{"1", QStringLiteral("full")}, {"2", QStringLiteral("high")}}));
    EXPECT_EQ(world_.log.lines(),
              (std::vector<std::string>{"127.0.0.1:50002 -> 192 kbps (network is congested)"}));
    const auto& perClient = controller_->steering().perClient();
    EXPECT_TRUE(perClient.at(1).healthySince.has_value()) << "the others stay calm";
    EXPECT_FALSE(perClient.at(2).healthySince.has_value());
}

TEST_F(QualitySteeringTest, AGuestThatLeavesLosesItsControllerAndItsTierAtTheNextPass) {
    const auto healthy = verdict(NetworkHealth::Diagnosis::healthy());
    controller_->steerQuality(1000, Snapshots{guest(1, "Pixel"), guest(2, "Moto")}, healthy);
    ASSERT_EQ(controller_->clientTiers().size(), 2u);

    const SignalCount tierChanges(*controller_, &BroadcastController::clientTiersChanged);
    controller_->steerQuality(1000.25, Snapshots{guest(1, "Pixel")}, healthy);
    EXPECT_EQ(tierChanges(), 1);
    EXPECT_EQ(controller_->property("clientTiers"), (QVariantMap{{"1", QStringLiteral("full")}}));
    EXPECT_FALSE(controller_->steering().perClient().contains(2));

    // Joining later starts at the room's tier.
    controller_->setQuality(QualityTier::low, 1001);
    controller_->steerQuality(1001.25, Snapshots{guest(1, "Pixel"), guest(3, "New")}, healthy);
    EXPECT_EQ(controller_->clientTiers().at(3), QualityTier::low);
}

TEST_F(QualitySteeringTest, AQualitySetByHandHoldsEachGuestAtItsCeilingAndFloor) {
    const Snapshots guests{guest(1, "Pixel")};
    const auto saturated = verdict(NetworkHealth::Diagnosis::saturated("Pixel"));
    for (const double at : {1000.0, 1003.0, 1013.0, 1016.0}) {
        controller_->steerQuality(at, guests, saturated);
    }
    ASSERT_EQ(controller_->tier(), QualityTier::medium);
    ASSERT_EQ(controller_->clientTiers().at(1), QualityTier::medium);

    world_.clock.set(1017);
    controller_->setQuality(QStringLiteral("full"));
    EXPECT_EQ(controller_->tier(), QualityTier::full);
    EXPECT_EQ(controller_->property("tierReason"), QStringLiteral("manual"));
    EXPECT_EQ(world_.log.lines().back(), "room quality -> 256 kbps (set by hand)");
    EXPECT_EQ(controller_->steering().perClient().at(1).tier, QualityTier::medium)
        << "held at the room tier of the last pass";

    controller_->setQuality(QualityTier::low, 1020);
    EXPECT_EQ(controller_->steering().perClient().at(1).tier, QualityTier::low);
    EXPECT_EQ(controller_->steering().perClient().at(1).lastReason,
              QualityController::Reason::manual);

    controller_->setQualityFloor(QualityTier::medium);
    controller_->setQuality(QualityTier::minimum, 1030);
    EXPECT_EQ(controller_->tier(), QualityTier::medium) << "never below the floor";
    EXPECT_EQ(controller_->steering().perClient().at(1).tier, QualityTier::medium);
}

}  // namespace
}  // namespace zoranth
