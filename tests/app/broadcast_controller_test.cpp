// The broadcast controller without a rave: what its models show at launch, the settings
// it keeps between launches and muting, each as the window's models announce it. The
// controller runs on the shared offscreen application.
#include "app/broadcast_controller.h"

#include <QSettings>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include "broadcast_controller_fixture.h"
#include "gui_application.h"
#include "host/host_log.h"
#include "platform/network/local_interfaces.h"
#include "qt_printing.h"
#include "support/server_fixtures.h"

namespace zoranth {
namespace {

// Keeps the suite out of the user's host log.
class BroadcastControllerTest : public QuietHostLog {
  protected:
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
};

TEST_F(BroadcastControllerTest, TheModelsShowAnIdleRaveAtLaunch) {
    const auto controller = makeController();
    WindowModels& models = controller->models();
    EXPECT_EQ(models.rave()->state(), RaveModel::State::Idle);
    EXPECT_EQ(models.rave()->statusText(), QString("Ready to start"));
    EXPECT_EQ(models.rave()->failureMessage(), QString());
    EXPECT_EQ(models.rave()->raveName(), QString());
    EXPECT_EQ(models.rave()->bufferDelayMs(), 4500);
    EXPECT_EQ(models.rave()->listenPort(), 0);
    EXPECT_EQ(models.rave()->advertisedName(), QString());
    EXPECT_EQ(models.rave()->permissionWarning(), QString());
    EXPECT_EQ(models.rave()->addresses().size(),
              static_cast<qsizetype>(LocalInterfaces::guestAddresses().size()));
    EXPECT_EQ(models.levels()->rowCount(), 2) << "two silent meters";
    EXPECT_EQ(models.levels()->data(models.levels()->index(0), LevelMeterModel::LevelRole), 0.0);
    EXPECT_EQ(models.guests()->count(), 0);
    EXPECT_EQ(models.guests()->summary(), QString("No guests connected."));
    EXPECT_EQ(models.guests()->listeningText(), QString("Waiting for guests"));
    EXPECT_EQ(models.quality()->tier(), QualityModel::Tier::Full);
    EXPECT_EQ(models.quality()->qualityFloor(), QualityModel::Tier::Minimum);
    EXPECT_TRUE(models.quality()->isQualityAutomatic());
    EXPECT_FALSE(models.speakers()->isMuted());
    EXPECT_FALSE(models.speakers()->weMuted());
    EXPECT_EQ(models.speakers()->strategy(), SpeakersModel::Strategy::Device);
    EXPECT_NE(models.network()->linkDescription(), QString("checking…"));
    EXPECT_EQ(models.network()->roundTrip(), QString("—"));
    EXPECT_EQ(models.trouble()->stage(), TroubleModel::Stage::Fine);
    EXPECT_EQ(models.trouble()->findings()->count(), 0);
    const QStringList values = DiagnosticsModel::values(DiagnosticsModel::Facts{});
    for (int row = 0; row < models.diagnostics()->rowCount(); ++row) {
        const QString label = DiagnosticsModel::labels()[row];
        const QString value =
            models.diagnostics()
                ->data(models.diagnostics()->index(row), DiagnosticsModel::ValueRole)
                .toString();
        if (label != "Address") {
            EXPECT_EQ(value, values[row]) << label.toStdString();
        }
    }
    EXPECT_EQ(models.audio()->verdict(), AudioCapabilityModel::Verdict::Unknown);
    EXPECT_FALSE(controller->timersRunning());
}

TEST_F(BroadcastControllerTest, SettingsComeFromThePreferencesAndGoBackToThem) {
    storeRaw("qualityFloor", 7);
    storeRaw("raveName", QStringLiteral("  Garden Rave  "));
    storeRaw("bufferDelayMs", 0.0);
    storeRaw("isQualityAutomatic", false);
    {
        const auto controller = makeController();
        RaveModel& rave = *controller->models().rave();
        QualityModel& quality = *controller->models().quality();
        EXPECT_EQ(quality.qualityFloor(), QualityModel::Tier::Minimum);
        EXPECT_EQ(rave.raveName(), QStringLiteral("Garden Rave"));
        EXPECT_EQ(rave.bufferDelayMs(), 4500);
        EXPECT_FALSE(quality.isQualityAutomatic());
        EXPECT_EQ(controller->rave().steering().room().floor, QualityTier::minimum);
        EXPECT_FALSE(controller->rave().steering().room().isAutomatic);

        QSignalSpy floorChanges(&quality, &QualityModel::qualityFloorChanged);
        QSignalSpy nameChanges(&rave, &RaveModel::raveNameChanged);
        QSignalSpy bufferChanges(&rave, &RaveModel::bufferDelayMsChanged);
        EXPECT_TRUE(
            quality.setProperty("qualityFloor", QVariant::fromValue(QualityModel::Tier::Low)));
        quality.setProperty("isQualityAutomatic", true);
        rave.setProperty("bufferDelayMs", 3200.0);
        rave.setProperty("raveName", QStringLiteral(" Attic\t"));
        EXPECT_EQ(floorChanges.count(), 1);
        EXPECT_EQ(bufferChanges.count(), 1);
        EXPECT_EQ(controller->rave().steering().room().floor, QualityTier::low);
        EXPECT_TRUE(controller->rave().steering().room().isAutomatic);
        EXPECT_EQ(controller->rave().settings().bufferDelayMs, 3200);
        // The name in memory is the one typed; the stored one has no surrounding spaces.
        EXPECT_EQ(rave.raveName(), QStringLiteral(" Attic\t"));
        EXPECT_EQ(controller->rave().settings().raveName, " Attic\t");
        EXPECT_EQ(storedRaw("raveName"), QStringLiteral("Attic"));

        // The same name again changes nothing the window sees, yet is stored again.
        storeRaw("raveName", QStringLiteral("edited elsewhere"));
        rave.setRaveName(QStringLiteral(" Attic\t"));
        EXPECT_EQ(nameChanges.count(), 1);
        EXPECT_EQ(storedRaw("raveName"), QStringLiteral("Attic"));
    }
    const auto relaunched = makeController();
    EXPECT_EQ(relaunched->models().quality()->qualityFloor(), QualityModel::Tier::Low);
    EXPECT_EQ(storedRaw("qualityFloor"), 3);
    EXPECT_TRUE(relaunched->models().quality()->isQualityAutomatic());
    EXPECT_EQ(relaunched->models().rave()->bufferDelayMs(), 3200);
    EXPECT_EQ(relaunched->models().rave()->raveName(), QStringLiteral("Attic"));
}

TEST_F(BroadcastControllerTest, TheGuestLimitIsKeptForTheNextRaveWithinOneTo4096) {
    storeRaw("maxGuests", 9000);
    {
        const auto controller = makeController();
        RaveModel& rave = *controller->models().rave();
        EXPECT_EQ(rave.maxGuests(), 256) << "a stored limit out of range reads as the default";
        EXPECT_EQ(controller->rave().settings().maxGuests, 256U);

        QSignalSpy changes(&rave, &RaveModel::maxGuestsChanged);
        EXPECT_TRUE(rave.setProperty("maxGuests", 12));
        EXPECT_EQ(changes.count(), 1);
        EXPECT_EQ(controller->rave().settings().maxGuests, 12U);
        EXPECT_EQ(storedRaw("maxGuests"), 12);

        struct Row {
            int given;
            int kept;
        };
        for (const Row row : {Row{0, 1}, Row{-40, 1}, Row{4097, 4096}, Row{1 << 30, 4096}}) {
            rave.setMaxGuests(row.given);
            EXPECT_EQ(rave.maxGuests(), row.kept) << row.given;
            EXPECT_EQ(controller->rave().settings().maxGuests, static_cast<std::size_t>(row.kept))
                << row.given;
            EXPECT_EQ(storedRaw("maxGuests"), row.kept) << row.given;
        }
        rave.setMaxGuests(30);
    }
    const auto relaunched = makeController();
    EXPECT_EQ(relaunched->models().rave()->maxGuests(), 30);
    EXPECT_EQ(relaunched->rave().settings().maxGuests, 30U) << "what the next rave starts with";
}

TEST_F(BroadcastControllerTest, WithoutASessionOrAMuteControlMutingFailsAndSaysSo) {
    world_.output.shared->canMute = false;
    const auto controller = makeController();
    SpeakersModel& speakers = *controller->models().speakers();
    EXPECT_EQ(speakers.strategy(), SpeakersModel::Strategy::Unavailable);
    EXPECT_EQ(speakers.buttonText(), QString()) << "no button that cannot work";
    EXPECT_FALSE(speakers.mute());
    EXPECT_FALSE(speakers.weMuted());
    EXPECT_FALSE(speakers.isMuted());
    EXPECT_EQ(world_.log.lines().back(), "mute via unavailable: FAILED");
}

TEST_F(BroadcastControllerTest, MutingThroughTheDeviceIsOwnedUntilUnmuted) {
    const auto controller = makeController();
    SpeakersModel& speakers = *controller->models().speakers();
    QSignalSpy changes(&speakers, &SpeakersModel::changed);
    ASSERT_TRUE(speakers.mute());
    EXPECT_TRUE(world_.output.shared->muted);
    EXPECT_TRUE(speakers.isMuted());
    EXPECT_TRUE(speakers.weMuted());
    EXPECT_EQ(controller->rave().muteOwnership(),
              (MuteControl::Ownership{true, MuteControl::Strategy::device}));
    EXPECT_EQ(world_.log.lines().back(), "mute via device: ok");

    ASSERT_TRUE(speakers.unmute());
    EXPECT_FALSE(world_.output.shared->muted);
    EXPECT_FALSE(speakers.isMuted());
    EXPECT_FALSE(speakers.weMuted());
    EXPECT_EQ(world_.log.lines().back(), "unmute via device: ok");
    EXPECT_EQ(changes.count(), 2);

    // Muted by someone else: shown as muted, but not ours to undo on the way out.
    world_.output.shared->muted = true;
    controller->refreshMuteState();
    EXPECT_TRUE(speakers.isMuted());
    EXPECT_FALSE(speakers.weMuted());
}

TEST_F(BroadcastControllerTest, BecomingActiveOutsideARaveProbesTheCapturePermissionAgain) {
    const auto controller = makeController();
    AudioCapabilityModel& audio = *controller->models().audio();
    QSignalSpy changes(&audio, &AudioCapabilityModel::changed);
    controller->applicationBecameActive();
    ASSERT_TRUE(eventuallyInEventLoop([&] { return !audio.isProbing(); }));
    EXPECT_EQ(*world_.probes, 1);
    EXPECT_EQ(audio.verdict(), AudioCapabilityModel::Verdict::Granted);
    EXPECT_GE(changes.count(), 2) << "the probe's start and its end";
}

}  // namespace
}  // namespace zoranth
