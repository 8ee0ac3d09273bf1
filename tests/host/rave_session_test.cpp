// The rave session without a live rave: quality steering with the network verdicts and
// the times given by the test (the room follows the whole network, each guest its own
// trouble, never rising above the room), the status refresh's bookkeeping and the
// text shown while the sound server is away.
#include <gtest/gtest.h>

#include "host/session/main_queue.h"
#include "host/session/rave_session.h"
#include "support/session_fakes.h"

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

// Everything a session under test needs that is not the real world's.
struct SessionWorld {
    MainQueue main;
    RecordedLines log;
    FakeOutputDevice output;
    ManualClock clock;
    std::shared_ptr<std::atomic<int>> inhibitions = std::make_shared<std::atomic<int>>(0);

    RaveSession::Dependencies dependencies() {
        RaveSession::Dependencies dependencies;
        dependencies.post = main.poster();
        dependencies.now = clock.function();
        dependencies.log = log.sink();
        dependencies.inhibit = countedInhibit(inhibitions);
        dependencies.outputDevice = output.device();
        dependencies.firewallFinding = firewallOff;
        return dependencies;
    }
};

class RaveSessionSteering : public ::testing::Test {
  protected:
    void SetUp() override { session_ = RaveSession::create({}, world_.dependencies()); }

    SessionWorld world_;
    std::shared_ptr<RaveSession> session_;
};

TEST_F(RaveSessionSteering, TheStatusLineIsWrittenEveryFortiethRefreshEvenWithoutGuests) {
    const CapturePipeline::Stats stats;
    for (int refresh = 1; refresh < 40; ++refresh) {
        session_->completeRefresh(1000 + refresh * 0.25, {}, stats, 4500);
    }
    EXPECT_FALSE(world_.log.contains("status  chunks"));
    EXPECT_EQ(session_->health().summary, "No guests connected.");
    EXPECT_EQ(session_->tier(), QualityTier::full) << "an empty room is steered too";

    session_->completeRefresh(1010, {}, stats, 4500);
    EXPECT_EQ(session_->statusTicks(), 40);
    ASSERT_TRUE(world_.log.contains("status  chunks"));
    EXPECT_TRUE(world_.log.lines().back().ends_with("  guests 0")) << world_.log.lines().back();
}

TEST(CaptureWarning, TellsApartCaptureThatDeliversNothingHearsOnlySilenceOrWasLost) {
    struct Row {
        SilenceWatchdog::Diagnosis diagnosis;
        bool hadAudio;
        std::optional<std::string> text;
    };
    const Row rows[] = {
        {SilenceWatchdog::Diagnosis::notCapturing(2), false,
         "Zoranth is not receiving any audio from this computer.\n\nThe capture stream started "
         "but the sound server has delivered nothing, not even silence. Press Stop and Start "
         "again."},
        {SilenceWatchdog::Diagnosis::likelyDenied(6), false,
         "Zoranth hears only silence although a program is playing on this computer's "
         "output.\n\nWhat it plays is silent: the program is playing silence, or its own volume "
         "is muted or at zero. Guests hear exactly what this computer plays."},
        {SilenceWatchdog::Diagnosis::likelyDenied(6), true,
         "Zoranth lost this computer's audio for a moment and is reconnecting to it.\n\nIf it "
         "doesn't come back within a minute, press Stop and Start again."},
        {SilenceWatchdog::Diagnosis::idle(30), true, std::nullopt},
        {SilenceWatchdog::Diagnosis::receivingAudio(), true, std::nullopt},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(AudioCapability::silenceWarning(row.diagnosis, row.hadAudio), row.text)
            << static_cast<int>(row.diagnosis.kind) << " " << row.hadAudio;
    }
}

TEST(CaptureLostWarning, SaysItIsReconnectingAndAfterAMinuteThatTheServerIsNotAnswering) {
    EXPECT_EQ(RaveSession::captureLostWarning(4, "Connection refused"),
              "Zoranth lost this computer's audio for a moment and is reconnecting to it.\n\n"
              "If it doesn't come back within a minute, press Stop and Start again.");
    EXPECT_EQ(RaveSession::captureLostWarning(150, "Connection refused"),
              "Zoranth has had no audio from this computer for 2 minute(s): the sound server is "
              "not answering (Connection refused). The guests stay connected and hear the rave "
              "again as soon as the sound server is back.");
    EXPECT_NE(RaveSession::captureLostWarning(61, "").find("(no answer)"), std::string::npos);
}

TEST_F(RaveSessionSteering, ASaturatedNetworkStepsTheRoomDownAndTheGuestsFollow) {
    const Snapshots guests{guest(1, "Pixel")};
    const auto saturated = verdict(NetworkHealth::Diagnosis::saturated("Pixel"));

    session_->steerQuality(1000, guests, saturated);
    session_->steerQuality(1002.9, guests, saturated);
    EXPECT_EQ(session_->tier(), QualityTier::full) << "three seconds of congestion first";

    session_->steerQuality(1003, guests, saturated);
    EXPECT_EQ(session_->tier(), QualityTier::high);
    EXPECT_EQ(session_->tierReason(), QualityController::Reason::measuredSaturation);
    EXPECT_EQ(session_->guestTiers(),
              (std::map<GuestConnection::Id, QualityTier>{{1, QualityTier::high}}));
    EXPECT_EQ(world_.log.lines(),
              (std::vector<std::string>{"room quality -> 192 kbps (network is congested)",
                                        "Pixel -> 192 kbps (following the room)"}));

    // A healthy network is not enough to climb straight back.
    session_->steerQuality(1020, guests, verdict(NetworkHealth::Diagnosis::healthy()));
    EXPECT_EQ(session_->tier(), QualityTier::high);
}

TEST_F(RaveSessionSteering, AStrugglingGuestStepsDownAloneAndIsLoggedByItsEndpointWithoutAName) {
    const Snapshots guests{guest(1, "Pixel"), guest(2, "")};
    const auto oneStruggles = verdict(NetworkHealth::Diagnosis::healthy(), {{2, 1000.0}});
    session_->steerQuality(1000, guests, oneStruggles);
    session_->steerQuality(1003, guests, oneStruggles);

    EXPECT_EQ(session_->tier(), QualityTier::full);
    EXPECT_EQ(session_->guestTiers(), (std::map<GuestConnection::Id, QualityTier>{
                                          {1, QualityTier::full}, {2, QualityTier::high}}));
    EXPECT_EQ(world_.log.lines(),
              (std::vector<std::string>{"127.0.0.1:50002 -> 192 kbps (network is congested)"}));
    const auto& perClient = session_->steering().perClient();
    EXPECT_TRUE(perClient.at(1).healthySince.has_value()) << "the others stay calm";
    EXPECT_FALSE(perClient.at(2).healthySince.has_value());
}

TEST_F(RaveSessionSteering, AGuestThatLeavesLosesItsControllerAndItsTierAtTheNextPass) {
    const auto healthy = verdict(NetworkHealth::Diagnosis::healthy());
    session_->steerQuality(1000, Snapshots{guest(1, "Pixel"), guest(2, "Moto")}, healthy);
    ASSERT_EQ(session_->guestTiers().size(), 2u);

    session_->steerQuality(1000.25, Snapshots{guest(1, "Pixel")}, healthy);
    EXPECT_EQ(session_->guestTiers(),
              (std::map<GuestConnection::Id, QualityTier>{{1, QualityTier::full}}));
    EXPECT_FALSE(session_->steering().perClient().contains(2));

    // Joining later starts at the room's tier.
    session_->setQuality(QualityTier::low, 1001);
    session_->steerQuality(1001.25, Snapshots{guest(1, "Pixel"), guest(3, "New")}, healthy);
    EXPECT_EQ(session_->guestTiers().at(3), QualityTier::low);
}

TEST_F(RaveSessionSteering, AQualitySetByHandMovesEveryGuestWithTheRoomWithinItsFloor) {
    const Snapshots guests{guest(1, "Pixel")};
    const auto saturated = verdict(NetworkHealth::Diagnosis::saturated("Pixel"));
    for (const double at : {1000.0, 1003.0, 1013.0, 1016.0}) {
        session_->steerQuality(at, guests, saturated);
    }
    ASSERT_EQ(session_->tier(), QualityTier::medium);
    ASSERT_EQ(session_->guestTiers().at(1), QualityTier::medium);

    // Raising the room by hand raises the guests it held down, at once.
    session_->setQuality(QualityTier::full, 1017);
    EXPECT_EQ(session_->tier(), QualityTier::full);
    EXPECT_EQ(session_->tierReason(), QualityController::Reason::manual);
    EXPECT_EQ(world_.log.lines().back(), "room quality -> 256 kbps (set by hand)");
    EXPECT_EQ(session_->steering().perClient().at(1).tier, QualityTier::full);
    EXPECT_EQ(session_->steering().perClient().at(1).ceiling, QualityTier::full);
    EXPECT_EQ(session_->guestTiers().at(1), QualityTier::full);
    // The next pass keeps it there while the network is calm.
    session_->steerQuality(1017.25, guests, verdict(NetworkHealth::Diagnosis::healthy()));
    EXPECT_EQ(session_->guestTiers().at(1), QualityTier::full);

    session_->setQuality(QualityTier::low, 1020);
    EXPECT_EQ(session_->steering().perClient().at(1).tier, QualityTier::low);
    EXPECT_EQ(session_->steering().perClient().at(1).lastReason, QualityController::Reason::manual);

    session_->setQualityFloor(QualityTier::medium);
    session_->setQuality(QualityTier::minimum, 1030);
    EXPECT_EQ(session_->tier(), QualityTier::medium) << "never below the floor";
    EXPECT_EQ(session_->steering().perClient().at(1).tier, QualityTier::medium);
}

TEST_F(RaveSessionSteering, AGuestSteppedDownClimbsBackAfterCalmOneTierAtATime) {
    const Snapshots guests{guest(1, "Pixel"), guest(2, "Moto")};
    const auto weak = verdict(NetworkHealth::Diagnosis::weakClients({"Moto"}), {{2, 3.0}});
    for (const double at : {1000.0, 1003.0, 1013.0, 1016.0}) {
        session_->steerQuality(at, guests, weak);
    }
    ASSERT_EQ(session_->guestTiers().at(2), QualityTier::medium);
    ASSERT_EQ(session_->guestTiers().at(1), QualityTier::full) << "the others stay";

    // Calm from 1016.25: each step back up waits three minutes of calm.
    const auto calm = verdict(NetworkHealth::Diagnosis::healthy());
    std::vector<std::pair<double, QualityTier>> seen;
    for (double at = 1016.25; at < 1016.25 + 400; at += 0.25) {
        session_->steerQuality(at, guests, calm);
        const QualityTier now = session_->guestTiers().at(2);
        if (seen.empty() || seen.back().second != now) {
            seen.emplace_back(at, now);
        }
    }
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[1].second, QualityTier::high);
    EXPECT_NEAR(seen[1].first - 1016.25, 180, 0.5);
    EXPECT_EQ(seen[2].second, QualityTier::full);
    EXPECT_NEAR(seen[2].first - seen[1].first, 180, 0.5);
    EXPECT_TRUE(world_.log.contains("Moto -> 192 kbps (network has room again)"));
}

}  // namespace
}  // namespace zoranth
