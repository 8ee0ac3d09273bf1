// The main window and the settings window as QML draws them, over the window's models:
// what each shows for the values a rave session hands the models, and what each control
// asks of the rave.
#include <QKeyEvent>
#include <QQuickItem>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include "app/checkup_model.h"
#include "app/desktop_actions.h"
#include "app/firewall_fix_model.h"
#include "app/quit_prompt.h"
#include "qt_printing.h"
#include "window_harness.h"

namespace zoranth {
namespace {

using namespace samples;
using State = RaveSession::State;
using Reason = SystemCheckup::Reason;
using Verdict = SystemCheckup::Verdict;

// ---- Main window -------------------------------------------------------------------

TEST(MainWindow, HeaderFollowsTheRaveState) {
    struct Row {
        State state;
        std::vector<GuestConnection::Snapshot> guests;
        const char* button;
        bool enabled;
        bool live;
        const char* text;
    };
    const Row rows[] = {
        {State::idle(), {}, "Start Rave", true, false, "Ready to start"},
        {State::starting(),
         {},
         "Start Rave",
         false,
         false,
         "Starting — connecting to the sound server…"},
        {State::failed("no sound server is running"),
         {},
         "Start Rave",
         true,
         false,
         "Couldn't start: no sound server is running"},
        {State::broadcasting(), {}, "End Rave", true, true, "Waiting for guests"},
        {State::broadcasting(),
         {guest(1, "10.0.0.2:5000", std::nullopt)},
         "End Rave",
         true,
         true,
         "1 listening"},
    };
    WindowHarness window;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        window.showGuests(row.guests);
        window.showState(row.state);
        EXPECT_EQ(window.text("mainButton"), QString(row.button));
        EXPECT_EQ(window.enabled("mainButton"), row.enabled);
        EXPECT_EQ(window.shows("liveBadge"), row.live);
        EXPECT_EQ(window.shows("listeningText"), row.live);
        EXPECT_EQ(window.shows("statusText"), !row.live);
        EXPECT_EQ(window.text(row.live ? "listeningText" : "statusText"), QString(row.text));
    }
}

TEST(MainWindow, TheMainButtonStartsAndEndsTheRave) {
    WindowHarness window;
    window.click("mainButton");
    window.showState(State::broadcasting());
    window.click("mainButton");
    EXPECT_EQ(window.calls().filter(QRegularExpression("^(start|stop)$")),
              (QStringList{"start", "stop"}));
}

TEST(MainWindow, ALiveRaveShowsTheCodeAndTheLinkToJoin) {
    WindowHarness window;
    const QString link = "http://192.168.1.24:40311/";
    window.show([&](WindowModels& models) { models.rave()->showJoinLink(link); });
    EXPECT_FALSE(window.shows("joinCard")) << "not before the rave is live";

    window.showState(State::broadcasting());
    ASSERT_TRUE(window.shows("joinCard"));
    EXPECT_EQ(window.text("joinLink"), link);
    auto* code = qobject_cast<QQuickItem*>(window.find("joinCode"));
    ASSERT_NE(code, nullptr);
    EXPECT_EQ(code->property("source").toUrl(),
              QUrl("image://joincode/" + QString::fromLatin1(QUrl::toPercentEncoding(link))));
    EXPECT_TRUE(window.settlesInto([&] { return code->property("status").toInt() == 1; }))
        << "the code is drawn";
    EXPECT_GT(code->property("implicitWidth").toDouble(), 0);

    window.showState(State::idle());
    EXPECT_FALSE(window.shows("joinCard"));
}

TEST(MainWindow, TheLiveBadgeTakesTheButtonsSize) {
    WindowHarness window;
    window.showState(State::broadcasting());
    auto* button = qobject_cast<QQuickItem*>(window.find("mainButton"));
    auto* badge = qobject_cast<QQuickItem*>(window.find("liveBadge"));
    ASSERT_TRUE(button && badge);
    EXPECT_GT(button->width(), 0);
    EXPECT_EQ(badge->size(), button->size());
    EXPECT_GE(badge->x(), button->x() + button->width()) << "beside the button, not under it";
}

TEST(MainWindow, TheRaveNameIsEditedIntoTheRaveUntilItStarts) {
    WindowHarness window;
    QObject* field = window.find("raveNameField");
    ASSERT_NE(field, nullptr);
    EXPECT_EQ(field->property("placeholderText").toString(), QString("Rave name"));
    EXPECT_EQ(window.text("raveNameLabel"), QString("Rave name"));
    EXPECT_EQ(field->property("helpText").toString(),
              QString("What guests see when they look for your rave."));

    QMetaObject::invokeMethod(field, "forceActiveFocus");
    for (const char key : {'A', 'B'}) {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, QString(QChar(key)));
        QCoreApplication::sendEvent(field, &press);
    }
    EXPECT_EQ(window.models().rave()->raveName(), QString("AB"));
    EXPECT_EQ(window.calls().filter("setRaveName"),
              (QStringList{"setRaveName:A", "setRaveName:AB"}));

    window.showState(State::broadcasting());
    EXPECT_FALSE(window.enabled("raveNameField"));
    EXPECT_EQ(field->property("helpText").toString(),
              QString("End the rave to rename it — guests are connected to this name."));
}

TEST(MainWindow, TheBufferReadsInSecondsAndSaysWhereToChangeIt) {
    WindowHarness window;
    window.show([](WindowModels& models) { models.rave()->showSettings({"", 4500}); });
    EXPECT_EQ(window.text("bufferText"), QString("Buffer 4.5 s"));
    EXPECT_EQ(window.find("bufferText")->property("helpText").toString(),
              QString("How far ahead guests buffer. Change it in Settings."));
    window.showState(State::broadcasting());
    EXPECT_EQ(window.find("bufferText")->property("helpText").toString(),
              QString("How far ahead guests buffer. End the rave to change it in Settings."));
}

TEST(MainWindow, TheCaptureWarningShowsOnlyWhileThereIsOne) {
    WindowHarness window;
    EXPECT_FALSE(window.shows("permissionWarning"));
    window.show([](WindowModels& models) {
        models.rave()->showPermissionWarning("Zoranth is not receiving any audio.");
    });
    EXPECT_TRUE(window.shows("permissionWarning"));
    EXPECT_EQ(window.text("permissionWarningText"), QString("Zoranth is not receiving any audio."));
    // A button only where a sound settings program is installed to open.
    EXPECT_EQ(window.shows("openSoundSettingsButton"),
              !DesktopActions::soundSettingsCommand().isEmpty());
    EXPECT_EQ(window.text("openSoundSettingsButton"), QString("Open Settings"));

    window.show([](WindowModels& models) { models.rave()->showPermissionWarning(std::nullopt); });
    EXPECT_FALSE(window.shows("permissionWarning"));
}

TEST(MainWindow, TheSpeakersSectionOutlivesTheRaveWhileWeKeepThemMuted) {
    using Strategy = MuteControl::Strategy;
    const MuteControl::Ownership ours{true, Strategy::device};
    WindowHarness window;
    EXPECT_FALSE(window.shows("silenceSection"));

    window.showState(State::broadcasting());
    window.show([](WindowModels& models) {
        models.speakers()->show(false, MuteControl::Ownership::notMuted(), Strategy::device, 4500);
    });
    EXPECT_TRUE(window.shows("silenceSection"));
    EXPECT_EQ(window.text("silenceHeadline"),
              QString("This computer's speakers are still playing out loud"));
    EXPECT_EQ(window.text("silenceButton"), QString("Mute the speakers"));
    window.click("silenceButton");
    EXPECT_TRUE(window.calls().contains("mute"));

    window.show(
        [&](WindowModels& models) { models.speakers()->show(true, ours, Strategy::device, 4500); });
    window.showState(State::idle());
    EXPECT_TRUE(window.shows("silenceSection"));
    EXPECT_EQ(window.text("silenceHeadline"),
              QString("This computer is silent. The rave is still being broadcast."));
    EXPECT_FALSE(window.shows("silenceDetail"));
    EXPECT_EQ(window.text("silenceButton"), QString("Unmute"));
    window.click("silenceButton");
    EXPECT_TRUE(window.calls().contains("unmute"));

    window.show([](WindowModels& models) {
        models.speakers()->show(false, MuteControl::Ownership::notMuted(), Strategy::unavailable,
                                4500);
    });
    EXPECT_FALSE(window.shows("silenceSection"));
}

TEST(MainWindow, SpeakersWithoutAVolumeControlOfferNoButton) {
    WindowHarness window;
    window.showState(State::broadcasting());
    window.show([](WindowModels& models) {
        models.speakers()->show(false, MuteControl::Ownership::notMuted(),
                                MuteControl::Strategy::unavailable, 4500);
    });
    EXPECT_EQ(window.text("silenceHeadline"),
              QString("This computer's speakers can't be muted from here"));
    EXPECT_TRUE(window.shows("silenceDetail"));
    EXPECT_FALSE(window.shows("silenceButton"));
}

TEST(MainWindow, TheTroubleCardGrowsWithTheDrought) {
    WindowHarness window;
    window.showState(State::broadcasting());
    const QString address = "\"registering…\"  ·  — : 51234";
    const auto drought = [&](const DroughtWatch::Stage& stage,
                             std::vector<SystemCheckup::Finding> findings = {}) {
        window.show([&](WindowModels& models) {
            models.trouble()->show(stage, std::move(findings), address);
        });
    };

    EXPECT_FALSE(window.shows("troubleCard"));
    drought(DroughtWatch::Stage::quiet(61));
    EXPECT_TRUE(window.shows("troubleQuiet"));
    EXPECT_FALSE(window.shows("troubleCardFull"));

    drought(DroughtWatch::Stage::investigate());
    EXPECT_TRUE(window.shows("troubleCardFull"));
    EXPECT_TRUE(window.shows("troubleAllRight"));
    EXPECT_EQ(window.text("troubleAddress"),
              QString("They can also join by typing \"registering…\"  ·  — : 51234 by hand."));

    drought(
        DroughtWatch::Stage::investigate(),
        {finding("firewall", "Letting guests connect", Verdict::problem, Reason::portBlocked, "x"),
         finding("network", "Guests finding this computer", Verdict::problem, Reason::mdnsBlocked,
                 "y"),
         finding("network", "Guests finding this computer", Verdict::problem, Reason::avahiMissing,
                 "z", "sudo systemctl start avahi-daemon")});
    EXPECT_FALSE(window.shows("troubleAllRight"));
    QStringList labels;
    for (QQuickItem* button : window.visibleItems("troubleAction")) {
        labels << button->property("text").toString();
    }
    // Only the firewall can be fixed from here; the other finding names its own fix.
    EXPECT_EQ(labels, (QStringList{"Allow guests through the firewall",
                                   "Allow guests through the firewall", ""}));

    // Not while the rave is off, whatever the drought says.
    window.showState(State::idle());
    EXPECT_FALSE(window.shows("troubleCard"));
}

TEST(MainWindow, AFailedFirewallFixEndsInTheFirewallAlert) {
    WindowHarness window;
    window.showState(State::broadcasting());
    window.show([](WindowModels& models) {
        models.trouble()->show(DroughtWatch::Stage::investigate(),
                               {finding("firewall", "Letting guests connect", Verdict::warning,
                                        Reason::portBlocked, "x")},
                               "");
    });
    auto* model =
        window.find("rootFirewallSheet")->findChild<FirewallFixModel*>("firewallFixModel");
    ASSERT_NE(model, nullptr);
    model->setApplier([](std::function<void(FirewallFix::Outcome)> done) {
        done(FirewallFix::Outcome::failed("The firewall did not accept the change."));
    });

    window.click("troubleAction");
    EXPECT_TRUE(window.find("rootFirewallSheet")->property("opened").toBool() ||
                window.find("rootFirewallSheet")->property("visible").toBool());
    EXPECT_EQ(window.text("firewallTitle"), QString("Allow Zoranth through the firewall"));
    window.click("firewallContinueButton");
    for (int i = 0; i < 20; ++i) {
        window.settle();
    }
    EXPECT_FALSE(window.find("rootFirewallSheet")->property("visible").toBool());
    QObject* alert = window.find("rootFirewallAlert");
    EXPECT_TRUE(alert->property("visible").toBool());
    EXPECT_EQ(alert->property("title").toString(), QString("Firewall"));
    EXPECT_EQ(alert->property("message").toString(),
              QString("The firewall did not accept the change.\n\nYou can also run the command "
                      "from the sheet yourself in a terminal."));
    window.click("alertOkButton");
    for (int i = 0; i < 20; ++i) {
        window.settle();
    }
    EXPECT_EQ(window.find("hostRootView")->property("fixFailure"), QVariant::fromValue(nullptr));
}

TEST(MainWindow, TheBlockedCardSaysWhatKeepsZoranthFromHearingThisComputer) {
    WindowHarness window;
    AudioCapabilityModel* audio = window.models().audio();
    ASSERT_TRUE(window.settlesInto([&] { return !audio->isProbing(); }));
    EXPECT_FALSE(window.shows("blockedCard"));

    window.probe().hold();
    audio->check(AudioCapabilityModel::Trigger::UserRequest);
    window.settle();
    EXPECT_EQ(window.text("blockedCardTitle"),
              QString("Checking whether Zoranth can hear this computer…"));
    EXPECT_FALSE(window.shows("checkAgainButton"));

    // A sandbox's refusal: the checkup's own words and the sandbox's fix.
    const auto refused =
        AudioCapability::Verdict::denied("Access denied", {Sandbox::Kind::snap, "zoranth-host"});
    window.probe().answer(refused);
    ASSERT_TRUE(window.settlesInto([&] { return !audio->isProbing(); }));
    EXPECT_EQ(window.text("blockedCardTitle"), QString("Zoranth can't hear this computer"));
    const auto finding = SystemCheckup::audioFinding(refused);
    EXPECT_EQ(window.text("blockedCardText"), QString::fromStdString(finding.detail));
    EXPECT_EQ(window.text("blockedCardFix"), QString::fromStdString(finding.fix));
    EXPECT_TRUE(window.text("blockedCardFix").contains("snap connect zoranth-host:audio-record"));

    // No sound server at all.
    window.probe().answer(AudioCapability::Verdict::unreachable("Connection refused"));
    const int probes = window.probe().calls();
    window.click("checkAgainButton");
    EXPECT_TRUE(window.settlesInto([&] { return window.probe().calls() == probes + 1; }));
    ASSERT_TRUE(window.settlesInto(
        [&] { return audio->verdict() == AudioCapabilityModel::Verdict::Unreachable; }));
    EXPECT_EQ(window.text("blockedCardTitle"), QString("Zoranth can't hear this computer"));
    EXPECT_TRUE(window.text("blockedCardText").contains("Connection refused"));

    window.probe().answer(AudioCapability::Verdict::granted());
    window.click("checkAgainButton");
    ASSERT_TRUE(window.settlesInto(
        [&] { return audio->verdict() == AudioCapabilityModel::Verdict::Granted; }));
    EXPECT_FALSE(window.shows("blockedCard"));
}

TEST(MainWindow, OpeningAskedWhetherCaptureIsAllowed) {
    WindowHarness window;
    EXPECT_TRUE(window.settlesInto([&] { return window.probe().calls() == 1; }));
    EXPECT_TRUE(window.settlesInto([&] { return !window.models().audio()->isProbing(); }));
    EXPECT_EQ(window.probe().calls(), 1);
}

TEST(MainWindow, GuestListShowsEachGuestsLinkTierAndSync) {
    WindowHarness window;
    EXPECT_EQ(window.text("guestListSummary"), QString("No guests connected."));
    EXPECT_TRUE(window.shows("guestListEmpty"));
    EXPECT_EQ(window.text("guestListEmpty"), QString("Nobody has joined yet."));
    EXPECT_FALSE(window.shows("guestListLoad"));

    Report buds{"Buds"};
    buds.route = RouteKind::bluetooth;
    window.showGuests(
        {guest(1, "10.0.0.2:5000", Report{"Maya"}), guest(2, "10.0.0.3:5000", buds)},
        verdict("2 guests · healthy", headroom(4, 10, false, 5, 0.5123, 0.3), {{1, 0.7}, {2, 1.0}}),
        {{1, QualityTier::full}, {2, QualityTier::low}});
    EXPECT_FALSE(window.shows("guestListEmpty"));
    EXPECT_EQ(window.text("guestListSummary"), QString("2 guests · healthy"));
    EXPECT_EQ(window.text("guestListLoad"), QString("0.51 Mbps"));

    const auto rows = window.visibleItems("guestRow");
    ASSERT_EQ(rows.size(), 2U);
    EXPECT_EQ(rows[0]->property("name").toString(), QString("Maya"));
    EXPECT_EQ(rows[0]->property("strainWord").toString(), QString("busy"));
    EXPECT_EQ(rows[0]->property("tierLabel").toString(), QString("256 kbps"));
    EXPECT_EQ(rows[0]->property("syncText").toString(), QString("in sync"));
    EXPECT_FALSE(rows[0]->property("needsCalibration").toBool());
    EXPECT_EQ(rows[1]->property("strainWord").toString(), QString("struggling"));
    EXPECT_EQ(rows[1]->property("tierLabel").toString(), QString("96 kbps"));
    EXPECT_TRUE(rows[1]->property("needsCalibration").toBool());
    const auto headphones = window.visibleItems("calibrationSymbol");
    ASSERT_EQ(headphones.size(), 1U);
    EXPECT_EQ(headphones[0]->property("helpText").toString(), QString("Headphones not calibrated"));
    EXPECT_EQ(window.find("strainIndicator")->property("helpText").toString(),
              QString("This guest's Wi-Fi link over the last 30 seconds"));

    // A guest leaving takes its row; the other row stays the same item.
    QQuickItem* second = rows[1];
    window.showGuests({guest(2, "10.0.0.3:5000", buds)});
    const auto left = window.visibleItems("guestRow");
    ASSERT_EQ(left.size(), 1U);
    EXPECT_EQ(left[0], second);
    EXPECT_EQ(left[0]->property("name").toString(), QString("Buds"));
}

TEST(MainWindow, MetersDrawOnTheirScale) {
    WindowHarness window;
    window.show([](WindowModels& models) { models.levels()->show({0.0F, 1.0F}, {0.0F, 1.0F}); });
    const auto tracks = window.visibleItems("meterTrack");
    const auto bars = window.findAll("meterBar");
    ASSERT_EQ(tracks.size(), 2U);
    ASSERT_EQ(bars.size(), 2U);
    EXPECT_EQ(qobject_cast<QQuickItem*>(bars[0])->width(), 0);
    EXPECT_EQ(qobject_cast<QQuickItem*>(bars[1])->width(), tracks[1]->width());
    const auto channels = window.findAll("meterChannel");
    EXPECT_EQ(channels[0]->property("heldText").toString(), QString("-60.0"));
    EXPECT_EQ(channels[1]->property("heldText").toString(), QString("  0.0"));

    // The scale's marks sit under the bar at their place on the -60…0 dB scale.
    const auto marks = window.visibleItems("meterScaleMark");
    ASSERT_EQ(marks.size(), 7U);
    QStringList texts;
    for (QQuickItem* mark : marks) {
        texts << mark->property("text").toString();
        const QPointF centre = mark->mapToItem(tracks[0], QPointF(mark->width() / 2, 0));
        EXPECT_NEAR(centre.x(), tracks[0]->width() * mark->property("position").toDouble(), 1.0)
            << mark->property("text").toString().toStdString();
    }
    EXPECT_EQ(texts, (QStringList{"-60", "-50", "-40", "-30", "-20", "-10", "0"}));
}

// ---- Settings window ---------------------------------------------------------------

TEST(SettingsWindow, TheBufferCanOnlyChangeBetweenRaves) {
    WindowHarness window;
    window.openSettings(0);
    const QString idleCaption =
        "How far ahead guests buffer. Higher rides out Wi-Fi hiccups — including a phone "
        "roaming between access points — at the cost of a longer wait when someone joins.";
    EXPECT_EQ(window.text("bufferSectionCaption"), idleCaption);
    EXPECT_TRUE(window.enabled("bufferSlider"));

    window.showState(State::broadcasting());
    EXPECT_EQ(window.text("bufferSectionCaption"), QString("End the rave to change the buffer."));
    EXPECT_FALSE(window.enabled("bufferSlider"));

    window.showState(State::idle());
    EXPECT_EQ(window.text("bufferSectionCaption"), idleCaption);
    EXPECT_TRUE(window.enabled("bufferSlider"));
}

TEST(SettingsWindow, TheBufferSliderMovesInTenthsOfASecondFromOneToFive) {
    WindowHarness window;
    window.show([](WindowModels& models) { models.rave()->showSettings({"", 4500}); });
    window.openSettings(0);
    QObject* slider = window.find("bufferSlider");
    EXPECT_EQ(slider->property("from").toDouble(), 1000);
    EXPECT_EQ(slider->property("to").toDouble(), 5000);
    EXPECT_EQ(slider->property("stepSize").toDouble(), 100);
    EXPECT_EQ(window.text("bufferValue"), QString("4500 ms"));

    const auto press = [&](Qt::Key key, int times) {
        QMetaObject::invokeMethod(slider, "forceActiveFocus");
        for (int i = 0; i < times; ++i) {
            QKeyEvent event(QEvent::KeyPress, key, Qt::NoModifier);
            QCoreApplication::sendEvent(slider, &event);
        }
        window.settle();
    };
    RaveModel& rave = *window.models().rave();
    press(Qt::Key_Right, 1);
    EXPECT_EQ(rave.bufferDelayMs(), 4600);
    EXPECT_EQ(window.text("bufferValue"), QString("4600 ms"));
    EXPECT_EQ(window.calls().filter("setBufferDelayMs"), QStringList{"setBufferDelayMs:4600"});
    press(Qt::Key_Right, 10);
    EXPECT_EQ(rave.bufferDelayMs(), 5000);
    press(Qt::Key_Left, 60);
    EXPECT_EQ(rave.bufferDelayMs(), 1000);
}

TEST(SettingsWindow, ManualQualityAddsThePickerForTheRoomsTier) {
    WindowHarness window;
    window.show([](WindowModels& models) {
        models.quality()->show(QualityTier::medium, QualityTier::minimum, true);
    });
    window.openSettings(0);
    QObject* floor = window.find("floorPicker");
    EXPECT_EQ(floor->property("count").toInt(), 5);
    EXPECT_EQ(floor->property("currentText").toString(),
              QString("64 kbps — compressed but musical"));
    EXPECT_FALSE(window.shows("qualityPicker"));

    window.show([](WindowModels& models) {
        models.quality()->show(QualityTier::medium, QualityTier::minimum, false);
    });
    ASSERT_TRUE(window.shows("qualityPicker"));
    QObject* quality = window.find("qualityPicker");
    EXPECT_EQ(quality->property("currentText").toString(), QString("128 kbps — very good"));
    quality->setProperty("currentIndex", 4);
    QMetaObject::invokeMethod(quality, "activated", Q_ARG(int, 4));
    window.settle();
    EXPECT_TRUE(window.calls().contains("setQuality:64 kbps"));
    EXPECT_EQ(window.models().quality()->tier(), QualityModel::Tier::Minimum);

    floor->setProperty("currentIndex", 2);
    QMetaObject::invokeMethod(floor, "activated", Q_ARG(int, 2));
    EXPECT_EQ(window.models().quality()->qualityFloor(), QualityModel::Tier::Medium);
    EXPECT_TRUE(window.calls().contains("setQualityFloor:128 kbps"));

    // Turned back on the way a click does: checked, then toggled.
    window.find("automaticSwitch")->setProperty("checked", true);
    QMetaObject::invokeMethod(window.find("automaticSwitch"), "toggled");
    window.settle();
    EXPECT_FALSE(window.shows("qualityPicker"));
    EXPECT_TRUE(window.calls().contains("setQualityAutomatic:1"));
}

TEST(SettingsWindow, NetworkTabAdvisesFromTheLink) {
    using Attachment = LinkCapacity::HostAttachment;
    WindowHarness window;
    window.openSettings(1);
    EXPECT_EQ(window.text("connectionValue"), QString("checking…"));
    EXPECT_EQ(window.text("roundTripValue"), QString("—"));
    EXPECT_EQ(window.text("aboveThatValue"), QString("measuring…"));

    window.show([](WindowModels& models) { models.showLink(Attachment::ethernet, std::nullopt); });
    EXPECT_TRUE(window.shows("ethernetNote"));
    EXPECT_TRUE(window.visibleItems("adviceRow").empty());
    EXPECT_TRUE(window.text("connectionValue").endsWith(" · this computer is on Ethernet"));

    LinkCapacity::Link link;
    link.band = LinkCapacity::Band::twoPointFour;
    link.phyMode = LinkCapacity::PHYMode::n;
    link.txRateMbps = 72;
    window.show([&](WindowModels& models) { models.showLink(Attachment::wifi, link); });
    EXPECT_FALSE(window.shows("ethernetNote"));
    const auto advice = window.visibleItems("adviceRow");
    ASSERT_EQ(advice.size(), 2U);
    EXPECT_TRUE(advice[0]->property("text").toString().startsWith("You're on 2.4 GHz."));
    EXPECT_TRUE(window.text("connectionValue").endsWith(" · this computer is on Wi-Fi"));

    window.show(
        [](WindowModels& models) { models.network()->showHeadroom(headroom(12.6, 3, false)); });
    EXPECT_EQ(window.text("roundTripValue"), QString("13 ms"));
    EXPECT_EQ(window.text("aboveThatValue"), QString("3 ms, steady"));
}

TEST(SettingsWindow, TheGuestLimitBoxShowsTheLimitAndKeepsWithinOneTo4096) {
    WindowHarness window;
    RaveSession::Settings settings;
    settings.maxGuests = 40;
    window.show([&](WindowModels& models) { models.rave()->showSettings(settings); });
    window.openSettings(1);
    ASSERT_TRUE(window.shows("guestLimitBox"));
    QObject* box = window.find("guestLimitBox");
    EXPECT_EQ(box->property("value").toInt(), 40);
    EXPECT_EQ(box->property("from").toInt(), 1);
    EXPECT_EQ(box->property("to").toInt(), 4096);
    EXPECT_EQ(window.text("guestLimitSectionCaption"),
              QString("Connections beyond this number are turned away. A change applies at "
                      "once; nobody already listening is dropped."));

    // Pressed and let go, as a key stroke is: the box takes a typed number on Return's
    // release.
    const auto press = [&](QObject* target, Qt::Key key, int times = 1) {
        for (int i = 0; i < times; ++i) {
            QKeyEvent down(QEvent::KeyPress, key, Qt::NoModifier);
            QCoreApplication::sendEvent(target, &down);
            QKeyEvent up(QEvent::KeyRelease, key, Qt::NoModifier);
            QCoreApplication::sendEvent(target, &up);
        }
        window.settle();
    };
    RaveModel& rave = *window.models().rave();
    QMetaObject::invokeMethod(box, "forceActiveFocus");
    press(box, Qt::Key_Up);
    EXPECT_EQ(rave.maxGuests(), 41);
    EXPECT_EQ(window.calls().filter("setMaxGuests"), QStringList{"setMaxGuests:41"});

    // Typed values: a number out of range ends at the nearest end of the range, anything
    // else leaves the limit as it was.
    auto* field = box->property("contentItem").value<QObject*>();
    ASSERT_NE(field, nullptr);
    const auto type = [&](const QString& text) {
        QMetaObject::invokeMethod(field, "forceActiveFocus");
        field->setProperty("text", text);
        press(box, Qt::Key_Return);
    };
    struct Row {
        QString typed;
        int kept;
    };
    const Row rows[] = {{"300", 300},   {"", 300}, {"many", 300},         {"2.5", 300},
                        {"9000", 4096}, {"0", 1},  {"99999999999", 4096}, {"-5", 1}};
    for (const Row& row : rows) {
        type(row.typed);
        EXPECT_EQ(box->property("value").toInt(), row.kept) << row.typed.toStdString();
        EXPECT_EQ(rave.maxGuests(), row.kept) << row.typed.toStdString();
        EXPECT_EQ(field->property("text").toString(), QString::number(row.kept))
            << row.typed.toStdString();
    }
    EXPECT_EQ(window.calls().filter("setMaxGuests").back(), QString("setMaxGuests:1"));
    press(box, Qt::Key_Down, 3);
    EXPECT_EQ(rave.maxGuests(), 1) << "the box stops at one";

    // A limit the session shows later (another launch's) moves the box with it.
    settings.maxGuests = 4096;
    window.show([&](WindowModels& models) { models.rave()->showSettings(settings); });
    EXPECT_EQ(box->property("value").toInt(), 4096);
    press(box, Qt::Key_Up, 2);
    EXPECT_EQ(rave.maxGuests(), 4096) << "the box stops at 4096";
}

TEST(SettingsWindow, DiagnosticsWithoutGuests) {
    WindowHarness window;
    window.openSettings(2);
    EXPECT_EQ(window.text("clientTableHeader"), QString("Guests (0)"));
    EXPECT_TRUE(window.shows("clientTableEmpty"));
    EXPECT_EQ(window.text("clientTableEmpty"), QString("Nobody has joined yet."));

    std::map<QString, QString> rows;
    QStringList order;
    for (QQuickItem* value : window.visibleItems("diagnosticsValue")) {
        rows[value->property("label").toString()] = value->property("text").toString();
        order << value->property("label").toString();
    }
    EXPECT_EQ(order, (QStringList{"Capture format", "IO buffer", "Chunks produced", "Ring depth",
                                  "Ring overruns", "Discontinuities", "Capture state",
                                  "Comfortable at", "Offered load", "Strain", "Rave name",
                                  "Address", "Guests", "Sleep", "Capture deliveries",
                                  "Admission"}));
    EXPECT_EQ(window.text("hostLogPath"), QString::fromStdString(HostLog::logPath()));
    EXPECT_EQ(window.text("showLogButton"), QString("Show in Files"));
    EXPECT_EQ(rows["Comfortable at"], QString("not measured yet"));
    EXPECT_EQ(rows["Sleep"], QString("not held"));
    EXPECT_EQ(rows["Capture state"], QString("silent 0s (nothing is playing)"));
    EXPECT_EQ(rows["Address"], QString("no address yet"));

    DiagnosticsModel::Facts awake;
    awake.isKeepingAwake = true;
    window.show([&](WindowModels& models) { models.diagnostics()->show(awake); });
    EXPECT_EQ(window.visibleItems("diagnosticsValue")[13]->property("text").toString(),
              QString("held off — don't close the lid"));

    window.click("diagnosticsDisclosure");
    EXPECT_TRUE(window.visibleItems("diagnosticsValue").empty()) << "folded away";
}

TEST(SettingsWindow, DiagnosticsListEveryGuest) {
    WindowHarness window;
    window.showGuests(
        {guest(1, "10.0.0.2:5000", Report{"Maya"}), guest(2, "10.0.0.3:5000", std::nullopt)});
    window.openSettings(2);
    EXPECT_EQ(window.text("clientTableHeader"), QString("Guests (2)"));
    EXPECT_FALSE(window.shows("clientTableEmpty"));
    const auto cells = window.findAll("clientTableCell");
    ASSERT_EQ(cells.size(), 20U);
    EXPECT_EQ(cells[0]->property("text").toString(), QString("Maya"));
    EXPECT_EQ(cells[2]->property("text").toString(), QString("4.2 ms"));
    const auto lines = window.visibleItems("guestDiagnosticsLine");
    ASSERT_EQ(lines.size(), 2U);
    EXPECT_TRUE(lines[0]->property("text").toString().startsWith("Maya  ·  err +0.4 ms"));
    EXPECT_TRUE(lines[1]->property("text").toString().endsWith("no sync report"));
}

class CheckupTab : public ::testing::Test {
  protected:
    void SetUp() override {
        model = qobject_cast<CheckupModel*>(window.find("checkupModel"));
        ASSERT_NE(model, nullptr);
        model->setRunner([this](auto, SystemCheckup::FindingsHandler done) {
            ++runs;
            pending = std::move(done);
        });
        window.openSettings(3);
    }

    void answer(std::vector<SystemCheckup::Finding> findings) {
        pending(std::move(findings));
        for (int i = 0; i < 10 && model->isRunning(); ++i) {
            window.settle();
        }
    }

    WindowHarness window;
    CheckupModel* model = nullptr;
    SystemCheckup::FindingsHandler pending;
    int runs = 0;
};

TEST_F(CheckupTab, RunsWhenShownAndSaysWhileItChecks) {
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(window.text("checkNowButton"), QString("Checking…"));
    EXPECT_FALSE(window.enabled("checkNowButton"));
    EXPECT_FALSE(window.shows("nothingToReport"));
    answer({});
    EXPECT_EQ(window.text("checkNowButton"), QString("Check now"));
    EXPECT_TRUE(window.shows("nothingToReport"));
    window.click("checkNowButton");
    EXPECT_EQ(runs, 2);
    answer({});

    // Shown again later, it checks again.
    window.settingsWindow()->close();
    window.openSettings(3);
    EXPECT_EQ(runs, 3);
}

TEST_F(CheckupTab, EachFindingOffersTheButtonItsReasonCallsFor) {
    answer({finding("firewall", "Letting guests connect", Verdict::problem, Reason::portBlocked,
                    "d", "f"),
            finding("network", "Guests finding this computer", Verdict::problem,
                    Reason::mdnsBlocked, "d", "f"),
            SystemCheckup::audioFinding(AudioCapability::Verdict::granted()),
            SystemCheckup::audioFinding(
                AudioCapability::Verdict::denied("Access denied", {Sandbox::Kind::snap, "z"})),
            finding("network", "Guests finding this computer", Verdict::problem,
                    Reason::avahiMissing, "d", "sudo systemctl start avahi-daemon")});
    const auto rows = window.visibleItems("findingRow");
    ASSERT_EQ(rows.size(), 5U);
    QStringList labels;
    for (QQuickItem* row : rows) {
        QStringList buttons;
        for (QQuickItem* button : row->findChildren<QQuickItem*>("findingAction")) {
            if (button->isVisible()) {
                buttons << button->property("text").toString();
            }
        }
        labels << buttons.join("+");
    }
    // Only the firewall is fixed from here; every other finding names its own fix.
    EXPECT_EQ(labels, (QStringList{"Allow guests", "Allow guests", "", "", ""}));
    EXPECT_FALSE(window.shows("nothingToReport"));

    // The firewall's button opens the firewall sheet.
    rows[0]
        ->findChild<QQuickItem*>("findingAction")
        ->metaObject()
        ->invokeMethod(rows[0]->findChild<QQuickItem*>("findingAction"), "clicked");
    window.settle();
    EXPECT_TRUE(window.find("checkupFirewallSheet")->property("visible").toBool());
}

// ---- Menus and quitting ------------------------------------------------------------

TEST(MainWindowMenus, HelpIsTheOnlyHelpAndThereIsNoNewWindow) {
    WindowHarness window;
    EXPECT_EQ(window.find("helpAction")->property("text").toString(), QString("Zoranth Help"));
    EXPECT_EQ(window.find("settingsAction")->property("text").toString(), QString("Settings…"));
    for (QObject* action : window.root()->findChildren<QObject*>()) {
        EXPECT_FALSE(action->property("text").toString().contains("New Window"));
    }
}

class Quitting : public ::testing::Test {
  protected:
    void SetUp() override {
        coordinator.setController(&adapter);
        window.root()->setProperty("quitPrompt", QVariant::fromValue(&prompt));
    }

    void requestQuit() {
        QMetaObject::invokeMethod(window.root(), "requestQuit");
        window.settle();
    }

    bool quitting() const { return window.root()->property("quitting").toBool(); }
    QObject* dialog() const { return window.find("quitDialog"); }

    WindowHarness window;
    ModelsQuitAdapter adapter{window.models()};
    QuitCoordinator coordinator;
    QuitPrompt prompt{coordinator};
};

TEST_F(Quitting, WithNoRaveAndNoMuteItQuitsWithoutAsking) {
    requestQuit();
    EXPECT_TRUE(quitting());
    EXPECT_FALSE(dialog()->property("visible").toBool());
}

TEST_F(Quitting, DuringARaveItAsksAndCancelKeepsItRunning) {
    window.showState(State::broadcasting());
    window.showGuests(
        {guest(1, "a", std::nullopt), guest(2, "b", std::nullopt), guest(3, "c", std::nullopt)});
    requestQuit();
    ASSERT_TRUE(dialog()->property("visible").toBool());
    EXPECT_EQ(window.text("quitTitle"), QString("Quit Zoranth?"));
    EXPECT_EQ(window.text("quitMessage"),
              QString("A rave is live and 3 guests are listening. Quitting ends it."));
    EXPECT_FALSE(window.shows("unmuteCheckbox"));
    window.click("cancelQuitButton");
    window.settle();
    EXPECT_FALSE(quitting());

    // Closing the window is quitting too, and asks the same.
    window.window()->close();
    window.settle();
    EXPECT_TRUE(dialog()->property("visible").toBool());
    window.click("quitButton");
    window.settle();
    EXPECT_TRUE(quitting());
}

TEST_F(Quitting, TheTickedBoxUnmutesOnTheWayOut) {
    window.show([](WindowModels& models) {
        models.speakers()->show(true, {true, MuteControl::Strategy::device},
                                MuteControl::Strategy::device, 4500);
    });
    requestQuit();
    ASSERT_TRUE(window.shows("unmuteCheckbox"));
    EXPECT_EQ(window.text("unmuteCheckbox"), QString("Unmute the speakers on the way out"));
    EXPECT_TRUE(window.find("unmuteCheckbox")->property("checked").toBool());
    EXPECT_EQ(window.text("quitMessage"), QString("Zoranth silenced this computer's speakers."));
    window.click("quitButton");
    window.settle();
    EXPECT_TRUE(quitting());
    EXPECT_TRUE(window.calls().contains("unmute"));
}

}  // namespace
}  // namespace zoranth
