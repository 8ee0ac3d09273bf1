// The broadcast controller without a rave: what the window reads of it at launch, the
// settings it keeps between launches and muting. The controller runs on the shared
// offscreen application.
#include "app/broadcast_controller.h"

#include <QMetaProperty>
#include <QSettings>

#include <gtest/gtest.h>

#include "app/controller_values.h"
#include "broadcast_controller_fixture.h"
#include "gui_application.h"
#include "host/host_log.h"
#include "platform/network/local_interfaces.h"

namespace zoranth {
namespace {

class BroadcastControllerTest : public ::testing::Test {
  protected:
    // The capture-permission probe logs its verdict; not into the user's own log file.
    static void SetUpTestSuite() {
        wroteFile_ = HostLog::writesFile();
        HostLog::setWritesFile(false);
    }
    static void TearDownTestSuite() { HostLog::setWritesFile(wroteFile_); }
    void SetUp() override { guiApplication(); }

    std::unique_ptr<BroadcastController> makeController() {
        return std::make_unique<BroadcastController>(world_.dependencies());
    }

    void storeRaw(const QString& key, const QVariant& value) const {
        QSettings(world_.preferencesPath(), QSettings::IniFormat).setValue(key, value);
    }
    QVariant storedRaw(const QString& key) const {
        return QSettings(world_.preferencesPath(), QSettings::IniFormat).value(key);
    }

    ControllerWorld world_;
    static inline bool wroteFile_ = true;
};

TEST_F(BroadcastControllerTest, TheWindowReadsEveryPropertyWithItsStartingValue) {
    const auto controller = makeController();
    const QList<qreal> silence{0, 0};
    const std::vector<std::pair<const char*, QVariant>> expected{
        {"state", QStringLiteral("idle")},
        {"failureMessage", QString()},
        {"peak", QVariant::fromValue(silence)},
        {"rms", QVariant::fromValue(silence)},
        {"tapFormatDescription", QStringLiteral("—")},
        {"ioBufferFrames", 0},
        {"chunksProduced", 0.0},
        {"ringDepth", 0},
        {"ringOverruns", 0.0},
        {"discontinuities", 0.0},
        {"diagnosis", QVariantMap{{"kind", "idle"}, {"silentFor", 0.0}}},
        {"ioProcDeliveries", 0.0},
        {"isMacMuted", false},
        {"muteOwnership", QVariantMap{{"weMuted", false}, {"strategy", "unavailable"}}},
        {"muteStrategy", QStringLiteral("device")},
        {"hogOwner", QString()},
        {"clients", QVariantList()},
        {"tier", QStringLiteral("full")},
        {"tierReason", QString()},
        {"clientTiers", QVariantMap()},
        {"qualityFloor", QStringLiteral("minimum")},
        {"isQualityAutomatic", true},
        {"listenPort", 0},
        {"advertisedName", QString()},
        {"localNetworkDenied", false},
        {"raveName", QString()},
        {"bufferDelayMs", 4500.0},
        {"droughtStage", QStringLiteral("fine")},
        {"troubleFindings", QVariantList()},
        {"isKeepingAwake", false},
        {"permissionWarning", QString()},
    };
    for (const auto& [name, value] : expected) {
        EXPECT_EQ(controller->property(name), value) << name;
    }
    const QVariantMap health = controller->property("health").toMap();
    EXPECT_EQ(health.value("diagnosis"), QStringLiteral("idle"));
    EXPECT_EQ(health.value("summary"), QStringLiteral("No guests connected."));
    EXPECT_EQ(health.value("guestCount"), 0);
    EXPECT_TRUE(health.value("headroom").toMap().value("floorMs").isNull());
    EXPECT_EQ(controller->property("addresses").toStringList().size(),
              static_cast<qsizetype>(LocalInterfaces::guestAddresses().size()));
    EXPECT_NE(controller->property("linkDescription").toString(), QString());
    EXPECT_NE(controller->property("audio").value<QObject*>(), nullptr);
}

TEST_F(BroadcastControllerTest, EveryPropertyAnnouncesItsChangesUnderItsOwnName) {
    const auto controller = makeController();
    const QMetaObject* meta = controller->metaObject();
    for (int index = meta->propertyOffset(); index < meta->propertyCount(); ++index) {
        const QMetaProperty property = meta->property(index);
        if (property.isConstant()) {
            continue;
        }
        ASSERT_TRUE(property.hasNotifySignal()) << property.name();
        EXPECT_EQ(property.notifySignal().name(), QByteArray(property.name()) + "Changed");
    }
}

TEST_F(BroadcastControllerTest, SettingsComeFromThePreferencesAndGoBackToThem) {
    storeRaw("qualityFloor", 7);
    storeRaw("raveName", QStringLiteral("  Garden Rave  "));
    storeRaw("bufferDelayMs", 0.0);
    storeRaw("isQualityAutomatic", false);
    {
        const auto controller = makeController();
        EXPECT_EQ(controller->qualityFloor(), QualityTier::minimum);
        EXPECT_EQ(controller->raveName(), QStringLiteral("Garden Rave"));
        EXPECT_EQ(controller->bufferDelayMs(), 4500);
        EXPECT_FALSE(controller->isQualityAutomatic());
        EXPECT_EQ(controller->rave().steering().room().floor, QualityTier::minimum);
        EXPECT_FALSE(controller->rave().steering().room().isAutomatic);

        const SignalCount floorChanges(*controller, &BroadcastController::qualityFloorChanged);
        const SignalCount nameChanges(*controller, &BroadcastController::raveNameChanged);
        EXPECT_TRUE(controller->setProperty("qualityFloor", QStringLiteral("low")));
        controller->setProperty("qualityFloor", QStringLiteral("not a tier"));
        controller->setProperty("isQualityAutomatic", true);
        controller->setProperty("bufferDelayMs", 3200.0);
        controller->setProperty("raveName", QStringLiteral(" Attic\t"));
        EXPECT_EQ(floorChanges(), 1);
        EXPECT_EQ(controller->rave().steering().room().floor, QualityTier::low);
        EXPECT_TRUE(controller->rave().steering().room().isAutomatic);
        // The name in memory is the one typed; the stored one has no surrounding spaces.
        EXPECT_EQ(controller->raveName(), QStringLiteral(" Attic\t"));
        EXPECT_EQ(storedRaw("raveName"), QStringLiteral("Attic"));

        // The same name again changes nothing the window sees, yet is stored again.
        storeRaw("raveName", QStringLiteral("edited elsewhere"));
        controller->setRaveName(QStringLiteral(" Attic\t"));
        EXPECT_EQ(nameChanges(), 1);
        EXPECT_EQ(storedRaw("raveName"), QStringLiteral("Attic"));
    }
    const auto relaunched = makeController();
    EXPECT_EQ(relaunched->qualityFloor(), QualityTier::low);
    EXPECT_EQ(storedRaw("qualityFloor"), 3);
    EXPECT_TRUE(relaunched->isQualityAutomatic());
    EXPECT_EQ(relaunched->bufferDelayMs(), 3200);
    EXPECT_EQ(relaunched->raveName(), QStringLiteral("Attic"));
}

TEST_F(BroadcastControllerTest, WithoutASessionOrAMuteControlMutingFailsAndSaysSo) {
    world_.output.shared->canMute = false;
    const auto controller = makeController();
    EXPECT_EQ(controller->property("muteStrategy"), QStringLiteral("unavailable"));
    EXPECT_FALSE(controller->muteMac());
    EXPECT_EQ(controller->muteOwnership(), MuteControl::Ownership::notMuted());
    EXPECT_FALSE(controller->isMacMuted());
    EXPECT_EQ(world_.log.lines().back(), "mute via unavailable: FAILED");
}

TEST_F(BroadcastControllerTest, MutingThroughTheDeviceIsOwnedUntilUnmuted) {
    const auto controller = makeController();
    const SignalCount mutedChanges(*controller, &BroadcastController::isMacMutedChanged);
    ASSERT_TRUE(controller->muteMac());
    EXPECT_TRUE(world_.output.shared->muted);
    EXPECT_TRUE(controller->isMacMuted());
    EXPECT_EQ(controller->property("muteOwnership"),
              (QVariantMap{{"weMuted", true}, {"strategy", "device"}}));
    EXPECT_EQ(world_.log.lines().back(), "mute via device: ok");

    ASSERT_TRUE(controller->unmuteMac());
    EXPECT_FALSE(world_.output.shared->muted);
    EXPECT_FALSE(controller->isMacMuted());
    EXPECT_EQ(controller->muteOwnership(), MuteControl::Ownership::notMuted());
    EXPECT_EQ(world_.log.lines().back(), "unmute via device: ok");
    EXPECT_EQ(mutedChanges(), 2);

    // Muted by someone else: shown as muted, but not ours to undo on the way out.
    world_.output.shared->muted = true;
    controller->refreshMuteState();
    EXPECT_TRUE(controller->isMacMuted());
    EXPECT_FALSE(controller->muteOwnership().weMuted);
}

TEST_F(BroadcastControllerTest, BecomingActiveOutsideARaveProbesTheCapturePermissionAgain) {
    const auto controller = makeController();
    controller->applicationBecameActive();
    ASSERT_TRUE(eventuallyInEventLoop([&] { return !controller->audioModel().isProbing(); }));
    EXPECT_EQ(*world_.probes, 1);
    EXPECT_EQ(controller->audio()->property("verdict"), QStringLiteral("granted"));
}

TEST(ControllerValues, GuestsAndTheVerdictReachTheWindowUnderTheirFieldNames) {
    GuestConnection::Snapshot reported;
    reported.id = 7;
    reported.endpoint = "127.0.0.1:50000";
    reported.framesSent = 12;
    reported.stats = ClientStat{};
    reported.stats->deviceName = "Pixel";
    reported.stats->bufferDepthMs = 4500;
    reported.statsAt = 99.5;
    GuestConnection::Snapshot quiet;
    quiet.id = 8;
    quiet.endpoint = "127.0.0.1:50001";

    const QVariantMap first = ControllerValues::snapshot(reported);
    EXPECT_EQ(first.value("id").toLongLong(), 7);
    EXPECT_EQ(first.value("endpoint"), QStringLiteral("127.0.0.1:50000"));
    EXPECT_EQ(first.value("name"), QStringLiteral("Pixel"));
    EXPECT_EQ(first.value("framesSent").toLongLong(), 12);
    EXPECT_EQ(first.value("stats").toMap().value("deviceName"), QStringLiteral("Pixel"));
    EXPECT_EQ(first.value("stats").toMap().value("bufferDepthMs").toInt(), 4500);
    EXPECT_EQ(first.value("statsAt").toDouble(), 99.5);
    const QVariantMap second = ControllerValues::snapshot(quiet);
    EXPECT_TRUE(second.value("stats").isNull());
    EXPECT_TRUE(second.value("statsAt").isNull());
    EXPECT_EQ(second.value("name"), QStringLiteral("127.0.0.1:50001"));

    NetworkHealth::Verdict verdict = NetworkHealth::Verdict::initial();
    verdict.diagnosis = NetworkHealth::Diagnosis::weakClients({"Pixel"});
    verdict.struggling = {{7, 12.0}};
    verdict.linkStrain = {{7, 1.5}, {8, 0.2}};
    verdict.headroom.floorMs = 4.0;
    const QVariantMap health = ControllerValues::verdict(verdict);
    EXPECT_EQ(health.value("diagnosis"), QStringLiteral("weakClients"));
    EXPECT_EQ(health.value("diagnosisNames").toStringList(), QStringList{"Pixel"});
    EXPECT_EQ(health.value("struggling").toMap().value("7").toDouble(), 12.0);
    EXPECT_EQ(health.value("linkStrain").toMap().value("8").toDouble(), 0.2);
    EXPECT_EQ(health.value("headroom").toMap().value("floorMs").toDouble(), 4.0);
    EXPECT_TRUE(health.value("headroom").toMap().value("inflationMs").isNull());

    EXPECT_TRUE(ControllerValues::link(std::nullopt).isNull());
    EXPECT_EQ(ControllerValues::clientTiers({{7, QualityTier::low}}),
              (QVariantMap{{"7", QStringLiteral("low")}}));
    for (const QualityTier tier : QualityTier::allCases) {
        EXPECT_EQ(ControllerValues::tier(ControllerValues::tierName(tier)), tier);
    }
    EXPECT_EQ(ControllerValues::tier(QStringLiteral("loud")), std::nullopt);
}

}  // namespace
}  // namespace zoranth
