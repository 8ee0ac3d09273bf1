// Each of the window's models on its own: what it announces when the session's values
// change (and that the same values announce nothing), how it words them, and what its
// edits and operations ask of the rave.
#include <QSignalSpy>

#include <gtest/gtest.h>

#include "app/diagnostics_model.h"
#include "app/guest_list_model.h"
#include "app/network_model.h"
#include "app/quality_model.h"
#include "app/rave_model.h"
#include "app/speakers_model.h"
#include "app/trouble_model.h"
#include "gui_application.h"
#include "qt_printing.h"
#include "window_samples.h"

namespace zoranth {
namespace {

using namespace samples;
using State = RaveSession::State;

// The value of a role, by the name QML binds it under.
QVariant role(const QAbstractListModel& model, int row, const QByteArray& name) {
    const int key = model.roleNames().key(name, -1);
    EXPECT_NE(key, -1) << name.toStdString();
    return model.data(model.index(row), key);
}

class ModelTest : public ::testing::Test {
  protected:
    void SetUp() override { guiApplication(); }
    RecordedControls controls;
};

TEST_F(ModelTest, TheRaveAnnouncesItsStateAndSettingsAndHandsEditsOn) {
    RaveModel rave(controls);
    QSignalSpy state(&rave, &RaveModel::stateChanged);
    QSignalSpy name(&rave, &RaveModel::raveNameChanged);
    QSignalSpy buffer(&rave, &RaveModel::bufferDelayMsChanged);
    QSignalSpy port(&rave, &RaveModel::listenPortChanged);
    QSignalSpy advertised(&rave, &RaveModel::advertisedNameChanged);
    QSignalSpy warning(&rave, &RaveModel::permissionWarningChanged);
    EXPECT_EQ(rave.state(), RaveModel::State::Idle);
    EXPECT_EQ(rave.statusText(), QString("Ready to start"));

    rave.showState(State::failed("the sound server went away"));
    rave.showState(State::failed("the sound server went away"));
    EXPECT_EQ(state.count(), 1);
    EXPECT_EQ(rave.state(), RaveModel::State::Failed);
    EXPECT_FALSE(rave.isLive());
    EXPECT_EQ(rave.failureMessage(), QString("the sound server went away"));
    EXPECT_EQ(rave.statusText(), QString("Couldn't start: the sound server went away"));
    rave.showState(State::broadcasting());
    EXPECT_TRUE(rave.isLive());
    EXPECT_EQ(state.count(), 2);

    rave.showSettings({"Attic", 3200});
    rave.showSettings({"Attic", 3200});
    EXPECT_EQ(name.count(), 1);
    EXPECT_EQ(buffer.count(), 1);
    EXPECT_EQ(rave.bufferText(), QString("Buffer 3.2 s"));
    EXPECT_EQ(rave.bufferMillisecondsText(), QString("3200 ms"));

    rave.showListening(51234, std::nullopt);
    rave.showListening(51234, "Attic");
    EXPECT_EQ(port.count(), 1);
    EXPECT_EQ(advertised.count(), 1);
    EXPECT_EQ(rave.advertisedName(), QString("Attic"));

    rave.showPermissionWarning("Nothing heard.");
    rave.showPermissionWarning("Nothing heard.");
    rave.showPermissionWarning(std::nullopt);
    EXPECT_EQ(warning.count(), 2);
    EXPECT_EQ(rave.permissionWarning(), QString());

    // Edits show at once and go on to the rave, the same name again too (it is stored
    // on every assignment).
    rave.setRaveName("Roof");
    rave.setRaveName("Roof");
    rave.setBufferDelayMs(2000);
    rave.start();
    rave.stop();
    EXPECT_EQ(name.count(), 2);
    EXPECT_EQ(rave.raveName(), QString("Roof"));
    EXPECT_EQ(controls.calls, (QStringList{"setRaveName:Roof", "setRaveName:Roof",
                                           "setBufferDelayMs:2000", "start", "stop"}));
}

TEST_F(ModelTest, GuestsKeepTheirRowsWhileTheirValuesChange) {
    GuestListModel guests;
    QSignalSpy count(&guests, &GuestListModel::countChanged);
    QSignalSpy listening(&guests, &GuestListModel::listeningTextChanged);
    QSignalSpy summary(&guests, &GuestListModel::summaryChanged);
    QSignalSpy load(&guests, &GuestListModel::offeredLoadChanged);
    QSignalSpy inserted(&guests, &QAbstractItemModel::rowsInserted);
    QSignalSpy removed(&guests, &QAbstractItemModel::rowsRemoved);
    QSignalSpy changed(&guests, &QAbstractItemModel::dataChanged);
    EXPECT_EQ(guests.listeningText(), QString("Waiting for guests"));
    EXPECT_EQ(guests.summary(), QString("No guests connected."));

    Report pixel{"Pixel 8"};
    pixel.route = RouteKind::bluetooth;
    const auto two = verdict("2 guests · healthy", headroom(4, 2, false, 5, 0.61), {{1, 1.3}});
    const double now = WallClock::now();
    guests.show({guest(1, "10.0.0.2:5000", pixel), guest(3, "10.0.0.3:5000", std::nullopt)}, two,
                {{1, QualityTier::medium}}, now);
    ASSERT_EQ(guests.count(), 2);
    EXPECT_EQ(inserted.count(), 2);
    EXPECT_EQ(count.count(), 1);
    EXPECT_EQ(listening.count(), 1);
    EXPECT_EQ(guests.listeningText(), QString("2 listening  ·  1 of 2 in sync  ·  1 to calibrate"));
    EXPECT_EQ(guests.summary(), QString("2 guests · healthy"));
    EXPECT_EQ(guests.offeredLoad(), QString("0.61 Mbps"));
    EXPECT_EQ(role(guests, 0, "guestId").toDouble(), 1);
    EXPECT_EQ(role(guests, 0, "name").toString(), QString("Pixel 8"));
    EXPECT_EQ(role(guests, 0, "address").toString(), QString("10.0.0.2:5000"));
    EXPECT_EQ(role(guests, 0, "strain").toDouble(), 1.3);
    EXPECT_EQ(role(guests, 0, "strainWord").toString(), QString("struggling"));
    EXPECT_EQ(role(guests, 0, "tierLabel").toString(), QString("128 kbps"));
    EXPECT_EQ(role(guests, 0, "sync").value<GuestListModel::Sync>(),
              GuestListModel::Sync::InSyncNeedsCalibration);
    EXPECT_EQ(role(guests, 0, "syncText").toString(), QString("in sync"));
    EXPECT_TRUE(role(guests, 0, "needsCalibration").toBool());
    EXPECT_EQ(role(guests, 0, "tableCells").toStringList().size(), 10);
    EXPECT_TRUE(role(guests, 0, "diagnosticsLine").toString().startsWith("Pixel 8  ·  err"));
    EXPECT_EQ(role(guests, 1, "name").toString(), QString("10.0.0.3:5000"));
    EXPECT_EQ(role(guests, 1, "tierLabel").toString(), QString());
    EXPECT_EQ(role(guests, 1, "sync").value<GuestListModel::Sync>(),
              GuestListModel::Sync::NoReport);

    // Unchanged guests announce nothing; a changed one announces its own row.
    guests.show({guest(1, "10.0.0.2:5000", pixel), guest(3, "10.0.0.3:5000", std::nullopt)}, two,
                {{1, QualityTier::medium}}, now);
    EXPECT_EQ(changed.count(), 0);
    guests.show({guest(1, "10.0.0.2:5000", pixel), guest(3, "10.0.0.3:5000", std::nullopt, 0.5)},
                two, {{1, QualityTier::medium}}, now);
    ASSERT_EQ(changed.count(), 1);
    EXPECT_EQ(changed[0][0].toModelIndex().row(), 1);

    // One leaves, one joins between two that stay.
    guests.show({guest(1, "10.0.0.2:5000", pixel), guest(2, "10.0.0.9:5000", std::nullopt)}, two,
                {}, now);
    EXPECT_EQ(removed.count(), 1);
    EXPECT_EQ(inserted.count(), 3);
    EXPECT_EQ(role(guests, 1, "name").toString(), QString("10.0.0.9:5000"));
    EXPECT_EQ(count.count(), 1) << "still two guests";

    guests.show({}, NetworkHealth::Verdict::initial(), {}, now);
    EXPECT_EQ(guests.count(), 0);
    EXPECT_EQ(count.count(), 2);
    EXPECT_EQ(guests.offeredLoad(), QString());
    EXPECT_EQ(load.count(), 2);
    EXPECT_EQ(summary.count(), 2);
}

TEST_F(ModelTest, QualityShowsTheTiersAndHandsChoicesOn) {
    QualityModel quality(controls);
    QSignalSpy tier(&quality, &QualityModel::tierChanged);
    QSignalSpy floor(&quality, &QualityModel::qualityFloorChanged);
    QSignalSpy automatic(&quality, &QualityModel::isQualityAutomaticChanged);
    EXPECT_EQ(
        quality.tierTexts(),
        (QStringList{"256 kbps — transparent", "192 kbps — excellent", "128 kbps — very good",
                     "96 kbps — good — slightly softened", "64 kbps — compressed but musical"}));

    quality.show(QualityTier::high, QualityTier::low, false);
    quality.show(QualityTier::high, QualityTier::low, false);
    EXPECT_EQ(tier.count(), 1);
    EXPECT_EQ(floor.count(), 1);
    EXPECT_EQ(automatic.count(), 1);
    EXPECT_EQ(quality.tier(), QualityModel::Tier::High);
    EXPECT_EQ(quality.qualityFloor(), QualityModel::Tier::Low);

    quality.setQuality(QualityModel::Tier::Minimum);
    quality.setQualityFloor(QualityModel::Tier::Medium);
    quality.setQualityAutomatic(true);
    EXPECT_EQ(tier.count(), 2);
    EXPECT_EQ(quality.tier(), QualityModel::Tier::Minimum);
    EXPECT_EQ(controls.calls, (QStringList{"setQuality:64 kbps", "setQualityFloor:128 kbps",
                                           "setQualityAutomatic:1"}));
    for (const QualityTier each : QualityTier::allCases) {
        EXPECT_EQ(QualityModel::of(QualityModel::of(each)), each);
    }
}

TEST_F(ModelTest, TheSpeakersSayWhatTheyDoAndWhatTheButtonDoes) {
    using Strategy = MuteControl::Strategy;
    SpeakersModel speakers(controls);
    QSignalSpy changed(&speakers, &SpeakersModel::changed);
    speakers.show(false, MuteControl::Ownership::notMuted(), Strategy::device, 2300);
    speakers.show(false, MuteControl::Ownership::notMuted(), Strategy::device, 2300);
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(speakers.strategy(), SpeakersModel::Strategy::Device);
    EXPECT_EQ(speakers.symbol(), QString("speaker.wave.2.fill"));
    EXPECT_TRUE(speakers.detail().contains("2.3 seconds ahead"));
    EXPECT_TRUE(speakers.buttonMutes());

    speakers.show(true, {true, Strategy::tap}, Strategy::tap, 2300);
    EXPECT_EQ(changed.count(), 2);
    EXPECT_TRUE(speakers.isMuted());
    EXPECT_TRUE(speakers.weMuted());
    EXPECT_EQ(speakers.buttonText(), QString("Unmute"));
    EXPECT_FALSE(speakers.buttonMutes());

    speakers.show(false, MuteControl::Ownership::notMuted(), Strategy::unavailable, 2300);
    EXPECT_EQ(speakers.buttonText(), QString());
    EXPECT_FALSE(speakers.weMuted());

    EXPECT_TRUE(speakers.mute());
    EXPECT_TRUE(speakers.unmute());
    EXPECT_EQ(controls.calls, (QStringList{"mute", "unmute"}));
}

TEST_F(ModelTest, TheNetworkDescribesTheLinkAndWhatGuestsMeasure) {
    using Attachment = LinkCapacity::HostAttachment;
    NetworkModel network;
    QSignalSpy link(&network, &NetworkModel::linkChanged);
    QSignalSpy measurements(&network, &NetworkModel::measurementsChanged);
    EXPECT_EQ(network.linkDescription(), QString("checking…"));
    EXPECT_EQ(network.attachment(), NetworkModel::Attachment::Unknown);

    network.showLink(Attachment::ethernet, std::nullopt);
    network.showLink(Attachment::ethernet, std::nullopt);
    EXPECT_EQ(link.count(), 1);
    EXPECT_EQ(network.attachment(), NetworkModel::Attachment::Ethernet);
    EXPECT_EQ(network.linkDescription(),
              NetworkModel::describe(Attachment::ethernet, std::nullopt));
    EXPECT_TRUE(network.advice().isEmpty());

    LinkCapacity::Link slow;
    slow.band = LinkCapacity::Band::twoPointFour;
    slow.phyMode = LinkCapacity::PHYMode::n;
    slow.txRateMbps = 72;
    network.showLink(Attachment::wifi, slow);
    EXPECT_EQ(link.count(), 2);
    EXPECT_EQ(network.attachment(), NetworkModel::Attachment::WiFi);
    EXPECT_FALSE(network.advice().isEmpty());

    network.showHeadroom(headroom());
    EXPECT_EQ(measurements.count(), 0) << "still nothing measured";
    network.showHeadroom(headroom(12.6, 3, false));
    EXPECT_EQ(measurements.count(), 1);
    EXPECT_EQ(network.roundTrip(), QString("13 ms"));
    EXPECT_EQ(network.aboveThat(), QString("3 ms, steady"));
}

TEST_F(ModelTest, DiagnosticsAnnounceOnlyTheRowsThatChanged) {
    DiagnosticsModel diagnostics;
    QSignalSpy changed(&diagnostics, &QAbstractItemModel::dataChanged);
    ASSERT_EQ(diagnostics.rowCount(), 16);
    EXPECT_EQ(role(diagnostics, 0, "label").toString(), QString("Capture format"));
    EXPECT_EQ(role(diagnostics, 0, "value").toString(), QString("—"));
    EXPECT_EQ(role(diagnostics, 14, "label").toString(), QString("Capture deliveries"));

    DiagnosticsModel::Facts facts;
    diagnostics.show(facts);
    EXPECT_EQ(changed.count(), 0);
    facts.chunksProduced = 184233;
    facts.addresses = {"192.168.1.24"};
    facts.listenPort = 51234;
    diagnostics.show(facts);
    ASSERT_EQ(changed.count(), 2);
    EXPECT_EQ(changed[0][0].toModelIndex().row(), 2);
    EXPECT_EQ(changed[1][0].toModelIndex().row(), 11);
    EXPECT_EQ(role(diagnostics, 2, "value").toString(), QString("184233"));
    EXPECT_EQ(role(diagnostics, 11, "value").toString(), QString("192.168.1.24 : 51234"));
}

TEST_F(ModelTest, TheTroubleCardFollowsTheDrought) {
    TroubleModel trouble;
    QSignalSpy stage(&trouble, &TroubleModel::stageChanged);
    QSignalSpy address(&trouble, &TroubleModel::addressTextChanged);
    QSignalSpy findings(trouble.findings(), &FindingListModel::countChanged);
    trouble.show(DroughtWatch::Stage::quiet(61), {}, "a");
    trouble.show(DroughtWatch::Stage::quiet(62), {}, "a");
    EXPECT_EQ(stage.count(), 1) << "the seconds are not shown";
    EXPECT_EQ(trouble.stage(), TroubleModel::Stage::Quiet);
    trouble.show(DroughtWatch::Stage::investigate(),
                 {finding("firewall", "Letting guests connect", SystemCheckup::Verdict::warning,
                          SystemCheckup::Reason::portBlocked, "x")},
                 "b");
    EXPECT_EQ(stage.count(), 2);
    EXPECT_EQ(address.count(), 2);
    EXPECT_EQ(findings.count(), 1);
    EXPECT_EQ(role(*trouble.findings(), 0, "actionLabel").toString(),
              QString("Allow guests through the firewall"));
}

}  // namespace
}  // namespace zoranth
