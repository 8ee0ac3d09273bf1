// Draws the main window and every settings tab in typical states to PNG files, and checks
// each drawing shows something. With ZORANTH_SCREENS_DIR set the files stay there for a
// person to look at:
//   ZORANTH_SCREENS_DIR=/tmp/screens zoranth_app_itests --gtest_filter='Screens.*'
#include <QDir>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "app/checkup_model.h"
#include "app/firewall_fix_model.h"
#include "app/icon_provider.h"
#include "app/quit_prompt.h"
#include "app/root_view_text.h"
#include "window_harness.h"

namespace zoranth {
namespace {

using namespace samples;
using State = RaveSession::State;
using Verdict = SystemCheckup::Verdict;
using Reason = SystemCheckup::Reason;

// ufw active, keeping guests out.
FirewallInspection blockingUfw() {
    FirewallInspection ufw;
    ufw.kind = FirewallInspection::Kind::ufw;
    ufw.name = "ufw";
    ufw.guestPort = Admission::blocked("ufw's default incoming policy DROP");
    return ufw;
}

// The firewall sheet as it reads with ufw keeping guests out.
void showUfwCommands(WindowHarness& window, const QString& sheet) {
    auto* fix = window.find(sheet)->findChild<FirewallFixModel*>("firewallFixModel");
    ASSERT_NE(fix, nullptr);
    fix->setLookup([] {
        const auto commands = FirewallFix::commandsFor(blockingUfw(), 40311);
        return FirewallFixModel::Commands{FirewallFix::manual(commands),
                                          FirewallFix::preview(commands)};
    });
}

class Screens : public ::testing::Test {
  protected:
    void SetUp() override {
        const QString asked = qEnvironmentVariable("ZORANTH_SCREENS_DIR");
        folder_ = asked.isEmpty() ? temporary_.path() : asked;
        QDir().mkpath(folder_);
    }

    // Saves the image and checks it is more than one flat colour.
    void save(const QImage& image, const QString& name) {
        ASSERT_FALSE(image.isNull()) << name.toStdString();
        const QString path = folder_ + "/" + name + ".png";
        ASSERT_TRUE(image.save(path)) << path.toStdString();
        const QRgb first = image.pixel(0, 0);
        bool varied = false;
        for (int y = 0; y < image.height() && !varied; y += 7) {
            for (int x = 0; x < image.width() && !varied; x += 7) {
                varied = image.pixel(x, y) != first;
            }
        }
        EXPECT_TRUE(varied) << path.toStdString() << " is blank";
    }

    // Sheets fade in; draw them once they are fully there.
    static void letAnimationsEnd(WindowHarness& window) {
        for (int i = 0; i < 10; ++i) {
            window.settle();
        }
    }

    static const QStringList& addresses() {
        static const QStringList list{"192.168.1.24", "fd00::1c2a"};
        return list;
    }

    static void setLiveRave(WindowHarness& window, bool withFigures = false) {
        window.show([&](WindowModels& models) {
            models.rave()->showSettings({"Rooftop Sessions", 4500});
            models.showAddresses(addresses());
            models.rave()->showListening(51234, "Rooftop Sessions");
            models.rave()->showJoinLink("http://192.168.1.24:51234/");
            models.rave()->showState(State::broadcasting());
            models.levels()->show({0.72F, 0.55F}, {0.31F, 0.22F});
            models.trouble()->show(DroughtWatch::Stage::fine(), {}, addressText());
            models.speakers()->show(false, MuteControl::Ownership::notMuted(),
                                    MuteControl::Strategy::device, 4500);
            DiagnosticsModel::Facts facts;
            facts.tapFormat = "48000 Hz, 2 ch, Float32, interleaved";
            facts.advertisedName = "Rooftop Sessions";
            facts.addresses = addresses();
            facts.listenPort = 51234;
            if (withFigures) {
                facts.chunksProduced = 184233;
                facts.ioBufferFrames = 480;
                facts.captureDeliveries = 368466;
                facts.ringDepth = 1;
                facts.isKeepingAwake = true;
                facts.diagnosis =
                    SilenceWatchdog::Diagnosis{SilenceWatchdog::Diagnosis::Case::receivingAudio, 0};
                facts.headroom = headroom(4.0, 14, false, 6, 0.61, 0.72);
                facts.guests = 3;
            }
            models.diagnostics()->show(facts);
        });
    }

    static QString addressText() {
        return RootViewText::address("Rooftop Sessions", addresses(), 51234);
    }

    static void setGuests(WindowHarness& window) {
        Report phone{"Maya's iPhone"};
        Report pixel{"Pixel 8", 18.4, 6.2, -3.1, -1.6, 180, true, false, RouteKind::bluetooth};
        Report tablet{"Kitchen iPad", 9.1, 4.0, 7.0, 2.4, 35, false};
        const auto health =
            verdict("3 guests · 1 struggling — weak link: “Pixel 8”",
                    headroom(4.0, 14, false, 6, 0.61, 0.72), {{3, 0.2}, {5, 1.3}, {8, 0.7}});
        window.showGuests(
            {guest(3, "192.168.1.31:50122", phone, 0.08),
             guest(5, "192.168.1.40:61002", pixel, 0.62, 14, 3),
             guest(8, "192.168.1.52:49920", tablet, 0.25, 2)},
            health, {{3, QualityTier::full}, {5, QualityTier::medium}, {8, QualityTier::high}});
        window.show([&](WindowModels& models) { models.network()->showHeadroom(health.headroom); });
    }

    QTemporaryDir temporary_;
    QString folder_;
};

TEST_F(Screens, MainWindow) {
    {
        WindowHarness window;
        window.show([](WindowModels& models) {
            models.rave()->showSettings({"Rooftop Sessions", 4500});
        });
        save(window.grab(window.window()), "main-idle");
    }
    {
        WindowHarness window;
        setLiveRave(window);
        setGuests(window);
        save(window.grab(window.window()), "main-live");
    }
    {
        WindowHarness window;
        setLiveRave(window);
        window.show([](WindowModels& models) {
            models.trouble()->show(DroughtWatch::Stage::investigate(),
                                   {SystemCheckup::firewallFinding(blockingUfw(), 40311)},
                                   addressText());
            models.speakers()->show(true, {true, MuteControl::Strategy::device},
                                    MuteControl::Strategy::device, 4500);
        });
        save(window.grab(window.window()), "main-nobody-joined");
    }
    {
        WindowHarness window;
        setLiveRave(window);
        window.show([](WindowModels& models) {
            models.rave()->showPermissionWarning(AudioCapability::silenceWarning(
                SilenceWatchdog::Diagnosis{SilenceWatchdog::Diagnosis::Case::likelyDenied, 12},
                false));
            models.trouble()->show(DroughtWatch::Stage::quiet(75), {}, addressText());
        });
        save(window.grab(window.window()), "main-warning");
    }
    {
        WindowHarness window;
        window.probe().answer(AudioCapability::Verdict::denied(
            "Access denied", {Sandbox::Kind::snap, "zoranth-host"}));
        window.models().audio()->check(AudioCapabilityModel::Trigger::UserRequest);
        window.showState(State::failed("The sound server refused to let this program record."));
        ASSERT_TRUE(window.settlesInto([&] {
            return window.models().audio()->verdict() == AudioCapabilityModel::Verdict::Denied;
        }));
        save(window.grab(window.window()), "main-failed");
    }
}

TEST_F(Screens, SheetsAndAlerts) {
    WindowHarness window;
    setLiveRave(window);
    setGuests(window);
    showUfwCommands(window, "rootFirewallSheet");
    QMetaObject::invokeMethod(window.find("hostRootView"), "openFirewallFix");
    letAnimationsEnd(window);
    save(window.grab(window.window()), "main-firewall-sheet");
    window.click("firewallCancelButton");

    QuitCoordinator coordinator;
    ModelsQuitAdapter adapter(window.models());
    coordinator.setController(&adapter);
    QuitPrompt prompt(coordinator);
    window.show([](WindowModels& models) {
        models.speakers()->show(false, {true, MuteControl::Strategy::device},
                                MuteControl::Strategy::device, 4500);
    });
    window.root()->setProperty("quitPrompt", QVariant::fromValue(&prompt));
    QMetaObject::invokeMethod(window.root(), "requestQuit");
    letAnimationsEnd(window);
    save(window.grab(window.window()), "main-quit");
}

TEST_F(Screens, SettingsTabs) {
    WindowHarness window;
    setLiveRave(window, true);
    setGuests(window);
    LinkCapacity::Link link;
    link.band = LinkCapacity::Band::twoPointFour;
    link.phyMode = LinkCapacity::PHYMode::n;
    link.txRateMbps = 72;
    link.rssi = -71;
    link.noise = -90;
    window.show([&](WindowModels& models) {
        models.rave()->showState(State::idle());
        models.quality()->show(QualityTier::medium, QualityTier::minimum, false);
        models.showLink(LinkCapacity::HostAttachment::wifi, link);
    });

    save(window.grab(window.openSettings(0)), "settings-audio");
    save(window.grab(window.openSettings(1)), "settings-network");
    window.show([](WindowModels& models) {
        models.showLink(LinkCapacity::HostAttachment::ethernet, std::nullopt);
    });
    save(window.grab(window.openSettings(1)), "settings-network-ethernet");
    save(window.grab(window.openSettings(2)), "settings-diagnostics");

    auto* checkup = qobject_cast<CheckupModel*>(window.find("checkupModel"));
    ASSERT_NE(checkup, nullptr);
    checkup->setRunner([](auto, SystemCheckup::FindingsHandler done) {
        const FirewallInspection ufw = blockingUfw();
        done({SystemCheckup::audioFinding(AudioCapability::Verdict::granted()),
              SystemCheckup::networkFinding({DiscoveryCheck::Outcome::Case::confirmed, "avahi 0.8"},
                                            ufw, SystemCheckup::Setup{}),
              SystemCheckup::firewallFinding(ufw, 40311)});
    });
    window.openSettings(3);
    for (int i = 0; i < 50 && !checkup->hasRun(); ++i) {
        window.settle();
    }
    save(window.grab(window.settingsWindow()), "settings-checkup");
}

TEST_F(Screens, ApplicationIcon) {
    guiApplication();
    QImage icon(256, 256, QImage::Format_ARGB32_Premultiplied);
    icon.fill(Qt::transparent);
    {
        QSvgRenderer renderer(HostApp::iconPath());
        ASSERT_TRUE(renderer.isValid());
        QPainter painter(&icon);
        renderer.render(&painter);
    }
    save(icon, "app-icon-256");
}

}  // namespace
}  // namespace zoranth
