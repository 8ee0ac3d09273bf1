// The main window and the settings window as QML draws them, driven through a stand-in
// for the broadcast controller: what each shows in each state, and what each control
// asks of the controller.
#include <QKeyEvent>
#include <QQuickItem>

#include <gtest/gtest.h>

#include "app/checkup_model.h"
#include "app/firewall_fix_model.h"
#include "app/quit_prompt.h"
#include "contract_samples.h"
#include "qt_printing.h"
#include "window_harness.h"

namespace zoranth {
namespace {

using namespace samples;

// ---- Main window -------------------------------------------------------------------

TEST(MainWindow, HeaderFollowsTheRaveState) {
    struct Row {
        const char* state;
        QVariantList clients;
        const char* button;
        bool enabled;
        bool live;
        const char* text;
    };
    const Row rows[] = {
        {"idle", {}, "Start Rave", true, false, "Ready to start"},
        {"starting",
         {},
         "Start Rave",
         false,
         false,
         "Starting — answer the audio permission prompt if it appears…"},
        {"failed", {}, "Start Rave", true, false, "Couldn't start: no sound server is running"},
        {"broadcasting", {}, "End Rave", true, true, "Waiting for guests"},
        {"broadcasting",
         {guest(1, "10.0.0.2:5000", std::nullopt)},
         "End Rave",
         true,
         true,
         "1 listening"},
    };
    WindowHarness window;
    window.set("failureMessage", "no sound server is running");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.state);
        window.set("clients", row.clients);
        window.set("state", row.state);
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
    window.set("state", "broadcasting");
    window.click("mainButton");
    EXPECT_EQ(window.calls().filter(QRegularExpression("^(start|stop)$")),
              (QStringList{"start", "stop"}));
}

TEST(MainWindow, TheLiveBadgeTakesTheButtonsSize) {
    WindowHarness window;
    window.set("state", "broadcasting");
    auto* button = qobject_cast<QQuickItem*>(window.find("mainButton"));
    auto* badge = qobject_cast<QQuickItem*>(window.find("liveBadge"));
    ASSERT_TRUE(button && badge);
    EXPECT_GT(button->width(), 0);
    EXPECT_EQ(badge->size(), button->size());
    EXPECT_GE(badge->x(), button->x() + button->width()) << "beside the button, not under it";
}

TEST(MainWindow, TheRaveNameIsEditedIntoTheControllerUntilTheRaveStarts) {
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
    EXPECT_EQ(window.controller()->property("raveName").toString(), QString("AB"));

    window.set("state", "broadcasting");
    EXPECT_FALSE(window.enabled("raveNameField"));
    EXPECT_EQ(field->property("helpText").toString(),
              QString("End the rave to rename it — guests are connected to this name."));
}

TEST(MainWindow, TheBufferReadsInSecondsAndSaysWhereToChangeIt) {
    WindowHarness window;
    window.set("bufferDelayMs", 4500);
    EXPECT_EQ(window.text("bufferText"), QString("Buffer 4.5 s"));
    EXPECT_EQ(window.find("bufferText")->property("helpText").toString(),
              QString("How far ahead guests buffer. Change it in Settings."));
    window.set("state", "broadcasting");
    EXPECT_EQ(window.find("bufferText")->property("helpText").toString(),
              QString("How far ahead guests buffer. End the rave to change it in Settings."));
}

TEST(MainWindow, TheCaptureWarningShowsOnlyWhileThereIsOne) {
    WindowHarness window;
    EXPECT_FALSE(window.shows("permissionWarning"));
    window.set("permissionWarning", "Zoranth is not receiving any audio from this Mac.");
    EXPECT_TRUE(window.shows("permissionWarning"));
    EXPECT_EQ(window.text("permissionWarningText"),
              QString("Zoranth is not receiving any audio from this Mac."));
    window.click("openAudioSettingsButton");
    EXPECT_TRUE(window.calls().contains("audio.openSettings"));
}

TEST(MainWindow, TheSpeakersSectionOutlivesTheRaveWhileWeKeepThemMuted) {
    WindowHarness window;
    EXPECT_FALSE(window.shows("silenceSection"));

    window.set("state", "broadcasting");
    window.set("muteStrategy", "device");
    EXPECT_TRUE(window.shows("silenceSection"));
    EXPECT_EQ(window.text("silenceHeadline"),
              QString("This Mac's speakers are still playing out loud"));
    EXPECT_EQ(window.text("silenceButton"), QString("Mute this Mac"));
    window.click("silenceButton");
    EXPECT_TRUE(window.calls().contains("muteMac"));

    window.set("isMacMuted", true);
    window.set("muteOwnership", QVariantMap{{"weMuted", true}, {"strategy", "device"}});
    window.set("state", "idle");
    EXPECT_TRUE(window.shows("silenceSection"));
    EXPECT_EQ(window.text("silenceHeadline"),
              QString("This Mac is silent. The rave is still being broadcast."));
    EXPECT_FALSE(window.shows("silenceDetail"));
    EXPECT_EQ(window.text("silenceButton"), QString("Unmute"));
    window.click("silenceButton");
    EXPECT_TRUE(window.calls().contains("unmuteMac"));

    window.set("isMacMuted", false);
    window.set("muteOwnership", QVariantMap{{"weMuted", false}, {"strategy", "unavailable"}});
    EXPECT_FALSE(window.shows("silenceSection"));
}

TEST(MainWindow, SpeakersWithoutAVolumeControlOfferNoButton) {
    WindowHarness window;
    window.set("state", "broadcasting");
    window.set("muteStrategy", "unavailable");
    window.set("hogOwner", "Studio One");
    EXPECT_EQ(window.text("silenceHeadline"),
              QString("This Mac's speakers can't be muted from here"));
    EXPECT_TRUE(window.shows("silenceDetail"));
    EXPECT_FALSE(window.shows("silenceButton"));
    EXPECT_TRUE(window.shows("hogWarning"));
    EXPECT_TRUE(window.text("hogWarning").startsWith("Studio One has exclusive control"));
}

TEST(MainWindow, TheTroubleCardGrowsWithTheDrought) {
    WindowHarness window;
    window.set("state", "broadcasting");
    window.set("advertisedName", "");
    window.set("addresses", QStringList{});
    window.set("listenPort", 51234);

    EXPECT_FALSE(window.shows("troubleCard"));
    window.set("droughtStage", "quiet");
    EXPECT_TRUE(window.shows("troubleQuiet"));
    EXPECT_FALSE(window.shows("troubleCardFull"));

    window.set("droughtStage", "investigate");
    EXPECT_TRUE(window.shows("troubleCardFull"));
    EXPECT_TRUE(window.shows("troubleAllRight"));
    EXPECT_EQ(window.text("troubleAddress"),
              QString("They can also join by typing \"registering…\"  ·  — : 51234 by hand."));

    window.set(
        "troubleFindings",
        QVariantList{finding("firewall", "Letting guests connect", "problem", "portBlocked", "x"),
                     finding("network", "Guests finding this computer", "problem",
                             "networkUnconfirmed", "y")});
    EXPECT_FALSE(window.shows("troubleAllRight"));
    QStringList labels;
    for (QQuickItem* button : window.visibleItems("troubleAction")) {
        labels << button->property("text").toString();
    }
    EXPECT_EQ(labels, (QStringList{"Allow guests through the firewall", "Open Settings"}));

    // Not while the rave is off, whatever the drought says.
    window.set("state", "idle");
    EXPECT_FALSE(window.shows("troubleCard"));
}

TEST(MainWindow, AFailedFirewallFixEndsInTheFirewallAlert) {
    WindowHarness window;
    window.set("state", "broadcasting");
    window.set("droughtStage", "investigate");
    window.set("troubleFindings", QVariantList{finding("firewall", "Letting guests connect",
                                                       "problem", "portBlocked", "x")});
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
              QString("The firewall did not accept the change.\n\nYou can also change this in "
                      "System Settings > Network > Firewall > Options."));
    window.click("alertOkButton");
    for (int i = 0; i < 20; ++i) {
        window.settle();
    }
    EXPECT_EQ(window.find("hostRootView")->property("fixFailure"), QVariant::fromValue(nullptr));
}

TEST(MainWindow, TheBlockedCardShowsTheFirstProblemThatApplies) {
    WindowHarness window;
    QObject* audio = window.audio();
    EXPECT_FALSE(window.shows("blockedCard"));

    audio->setProperty("isProbing", true);
    window.settle();
    EXPECT_EQ(window.text("blockedCardTitle"),
              QString("Checking whether Zoranth can hear this Mac…"));

    audio->setProperty("isProbing", false);
    audio->setProperty("verdict", "denied");
    window.settle();
    EXPECT_EQ(window.text("blockedCardTitle"), QString("Zoranth can't hear this Mac"));
    window.click("checkAgainButton");
    window.click("openAudioSettingsCardButton");
    EXPECT_TRUE(window.calls().contains("audio.check:userRequest"));
    EXPECT_TRUE(window.calls().contains("audio.openSettings"));

    window.find("blockedCard")
        ->setProperty("applicationPath",
                      "/private/var/folders/x/AppTranslocation/1A2B/d/Zoranth Host.app");
    window.settle();
    EXPECT_EQ(window.text("blockedCardTitle"), QString("Move Zoranth to your Applications folder"));

    window.find("blockedCard")->setProperty("applicationPath", "/usr/bin/zoranth-host");
    audio->setProperty("verdict", "granted");
    window.settle();
    EXPECT_FALSE(window.shows("blockedCard"));
}

TEST(MainWindow, OpeningAskedWhetherCaptureIsAllowed) {
    WindowHarness window;
    EXPECT_EQ(window.calls().filter("audio.check"), QStringList{"audio.check:launch"});
}

TEST(MainWindow, GuestListShowsEachGuestsLinkTierAndSync) {
    WindowHarness window;
    EXPECT_EQ(window.text("guestListSummary"), QString("No guests connected."));
    EXPECT_TRUE(window.shows("guestListEmpty"));
    EXPECT_EQ(window.text("guestListEmpty"), QString("Nobody has joined yet."));
    EXPECT_FALSE(window.shows("guestListLoad"));

    Report buds{"Buds"};
    buds.route = RouteKind::bluetooth;
    window.set("clients", QVariantList{guest(1, "10.0.0.2:5000", Report{"Maya"}),
                                       guest(2, "10.0.0.3:5000", buds)});
    window.set("clientTiers", QVariantMap{{"1", "full"}, {"2", "low"}});
    window.set("health", verdict("2 guests · healthy", headroom(4, 10, false, 5, 0.5123, 0.3),
                                 QVariantMap{{"1", 0.7}, {"2", 1.0}}));
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
}

TEST(MainWindow, MetersDrawOnTheirScale) {
    WindowHarness window;
    window.set("rms", QVariantList{0.0, 1.0});
    window.set("peak", QVariantList{0.0, 1.0});
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

    window.set("state", "broadcasting");
    EXPECT_EQ(window.text("bufferSectionCaption"), QString("End the rave to change the buffer."));
    EXPECT_FALSE(window.enabled("bufferSlider"));

    window.set("state", "idle");
    EXPECT_EQ(window.text("bufferSectionCaption"), idleCaption);
    EXPECT_TRUE(window.enabled("bufferSlider"));
}

TEST(SettingsWindow, TheBufferSliderMovesInTenthsOfASecondFromOneToFive) {
    WindowHarness window;
    window.set("bufferDelayMs", 4500);
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
    press(Qt::Key_Right, 1);
    EXPECT_EQ(window.controller()->property("bufferDelayMs").toDouble(), 4600);
    EXPECT_EQ(window.text("bufferValue"), QString("4600 ms"));
    press(Qt::Key_Right, 10);
    EXPECT_EQ(window.controller()->property("bufferDelayMs").toDouble(), 5000);
    press(Qt::Key_Left, 60);
    EXPECT_EQ(window.controller()->property("bufferDelayMs").toDouble(), 1000);
}

TEST(SettingsWindow, ManualQualityAddsThePickerForTheRoomsTier) {
    WindowHarness window;
    window.set("tier", "medium");
    window.openSettings(0);
    QObject* floor = window.find("floorPicker");
    EXPECT_EQ(floor->property("count").toInt(), 5);
    EXPECT_EQ(floor->property("currentText").toString(),
              QString("64 kbps — compressed but musical"));
    EXPECT_FALSE(window.shows("qualityPicker"));

    window.set("isQualityAutomatic", false);
    ASSERT_TRUE(window.shows("qualityPicker"));
    QObject* quality = window.find("qualityPicker");
    EXPECT_EQ(quality->property("currentText").toString(), QString("128 kbps — very good"));
    quality->setProperty("currentIndex", 4);
    QMetaObject::invokeMethod(quality, "activated", Q_ARG(int, 4));
    window.settle();
    EXPECT_TRUE(window.calls().contains("setQuality:minimum"));
    EXPECT_EQ(window.controller()->property("tier").toString(), QString("minimum"));

    floor->setProperty("currentIndex", 2);
    QMetaObject::invokeMethod(floor, "activated", Q_ARG(int, 2));
    EXPECT_EQ(window.controller()->property("qualityFloor").toString(), QString("medium"));
}

TEST(SettingsWindow, NetworkTabAdvisesFromTheLink) {
    WindowHarness window;
    window.openSettings(1);
    EXPECT_EQ(window.text("connectionValue"), QString("checking…"));
    EXPECT_EQ(window.text("roundTripValue"), QString("—"));
    EXPECT_EQ(window.text("aboveThatValue"), QString("measuring…"));

    window.set("attachment", "ethernet");
    EXPECT_TRUE(window.shows("ethernetNote"));
    EXPECT_TRUE(window.visibleItems("adviceRow").empty());

    window.set("attachment", "wifi");
    window.set("link", QVariantMap{{"band", "twoPointFour"}, {"phyMode", "n"}, {"txRateMbps", 72}});
    EXPECT_FALSE(window.shows("ethernetNote"));
    const auto advice = window.visibleItems("adviceRow");
    ASSERT_EQ(advice.size(), 2U);
    EXPECT_TRUE(advice[0]->property("text").toString().startsWith("You're on 2.4 GHz."));

    window.set("health", verdict("", headroom(12.6, 3, false)));
    EXPECT_EQ(window.text("roundTripValue"), QString("13 ms"));
    EXPECT_EQ(window.text("aboveThatValue"), QString("3 ms, steady"));
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
    EXPECT_EQ(order, (QStringList{"Tap format", "IO buffer", "Chunks produced", "Ring depth",
                                  "Ring overruns", "Discontinuities", "Capture state",
                                  "Comfortable at", "Offered load", "Strain", "Rave name",
                                  "Address", "Guests", "Sleep", "IOProc deliveries"}));
    EXPECT_EQ(rows["Comfortable at"], QString("not measured yet"));
    EXPECT_EQ(rows["Sleep"], QString("not held"));
    EXPECT_EQ(rows["Capture state"], QString("silent 0s (nothing is playing)"));
    EXPECT_EQ(rows["Address"], QString("no address yet"));

    window.set("isKeepingAwake", true);
    EXPECT_EQ(window.visibleItems("diagnosticsValue")[13]->property("text").toString(),
              QString("held off — don't close the lid"));

    window.click("diagnosticsDisclosure");
    EXPECT_TRUE(window.visibleItems("diagnosticsValue").empty()) << "folded away";
}

TEST(SettingsWindow, DiagnosticsListEveryGuest) {
    WindowHarness window;
    window.set("clients", QVariantList{guest(1, "10.0.0.2:5000", Report{"Maya"}),
                                       guest(2, "10.0.0.3:5000", std::nullopt)});
    window.openSettings(2);
    EXPECT_EQ(window.text("clientTableHeader"), QString("Guests (2)"));
    EXPECT_FALSE(window.shows("clientTableEmpty"));
    EXPECT_EQ(window.findAll("clientTableCell").size(), 20U);
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
        model->setRunner([this](auto, bool, SystemCheckup::FindingsHandler done) {
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
    const auto firewall = [&](SystemCheckup::Reason reason) {
        return SystemCheckup::Finding{"firewall", "Letting guests connect",
                                      SystemCheckup::Verdict::problem, "d", "f", reason};
    };
    answer({firewall(SystemCheckup::Reason::portBlocked),
            SystemCheckup::audioFinding(AudioCapability::Verdict::granted()),
            SystemCheckup::audioFinding(AudioCapability::Verdict::denied("Access denied", {}))});
    const auto rows = window.visibleItems("findingRow");
    ASSERT_EQ(rows.size(), 3U);
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
    EXPECT_EQ(labels, (QStringList{"Allow guests", "", ""}));
    EXPECT_FALSE(window.shows("nothingToReport"));
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
        window.root()->setProperty("quitPrompt", QVariant::fromValue<QObject*>(&prompt));
    }

    void requestQuit() {
        QMetaObject::invokeMethod(window.root(), "requestQuit");
        window.settle();
    }

    bool quitting() const { return window.root()->property("quitting").toBool(); }
    QObject* dialog() const { return window.find("quitDialog"); }

    WindowHarness window;
    ControllerQuitAdapter adapter{window.controller()};
    QuitCoordinator coordinator;
    QuitPrompt prompt{coordinator};
};

TEST_F(Quitting, WithNoRaveAndNoMuteItQuitsWithoutAsking) {
    requestQuit();
    EXPECT_TRUE(quitting());
    EXPECT_FALSE(dialog()->property("visible").toBool());
}

TEST_F(Quitting, DuringARaveItAsksAndCancelKeepsItRunning) {
    window.set("state", "broadcasting");
    window.set("clients", QVariantList{guest(1, "a", std::nullopt), guest(2, "b", std::nullopt),
                                       guest(3, "c", std::nullopt)});
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
    window.set("muteOwnership", QVariantMap{{"weMuted", true}, {"strategy", "device"}});
    requestQuit();
    ASSERT_TRUE(window.shows("unmuteCheckbox"));
    EXPECT_EQ(window.text("unmuteCheckbox"), QString("Unmute this Mac on the way out"));
    EXPECT_TRUE(window.find("unmuteCheckbox")->property("checked").toBool());
    EXPECT_EQ(window.text("quitMessage"), QString("Zoranth silenced this Mac's speakers."));
    window.click("quitButton");
    window.settle();
    EXPECT_TRUE(quitting());
    EXPECT_TRUE(window.calls().contains("unmuteMac"));
}

}  // namespace
}  // namespace zoranth
