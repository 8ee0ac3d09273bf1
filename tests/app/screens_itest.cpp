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
#include "app/icon_provider.h"
#include "app/quit_prompt.h"
#include "contract_samples.h"
#include "window_harness.h"

namespace zoranth {
namespace {

using namespace samples;

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

    static void setLiveRave(WindowHarness& window) {
        window.set("raveName", "Rooftop Sessions");
        window.set("advertisedName", "Rooftop Sessions");
        window.set("addresses", QStringList{"192.168.1.24", "fd00::1c2a"});
        window.set("listenPort", 51234);
        window.set("tapFormatDescription", "48000 Hz, 2 ch, Float32, interleaved");
        window.set("state", "broadcasting");
        window.set("peak", QVariantList{0.72, 0.55});
        window.set("rms", QVariantList{0.31, 0.22});
    }

    static void setGuests(WindowHarness& window) {
        Report phone{"Maya's iPhone"};
        Report pixel{"Pixel 8", 18.4, 6.2, -3.1, -1.6, 180, true, false, RouteKind::bluetooth};
        Report tablet{"Kitchen iPad", 9.1, 4.0, 7.0, 2.4, 35, false};
        window.set("clients", QVariantList{guest(3, "192.168.1.31:50122", phone, 0.08),
                                           guest(5, "192.168.1.40:61002", pixel, 0.62, 14, 3),
                                           guest(8, "192.168.1.52:49920", tablet, 0.25, 2)});
        window.set("clientTiers", QVariantMap{{"3", "full"}, {"5", "medium"}, {"8", "high"}});
        window.set("health", verdict("3 guests · 1 struggling — weak link: “Pixel 8”",
                                     headroom(4.0, 14, false, 6, 0.61, 0.72),
                                     QVariantMap{{"3", 0.2}, {"5", 1.3}, {"8", 0.7}}));
    }

    QTemporaryDir temporary_;
    QString folder_;
};

TEST_F(Screens, MainWindow) {
    {
        WindowHarness window;
        window.set("raveName", "Rooftop Sessions");
        save(window.grab(window.window()), "main-idle");
    }
    {
        WindowHarness window;
        setLiveRave(window);
        setGuests(window);
        window.set("diagnosis", QVariantMap{{"kind", "receivingAudio"}, {"silentFor", 0}});
        save(window.grab(window.window()), "main-live");
    }
    {
        WindowHarness window;
        setLiveRave(window);
        window.set("droughtStage", "investigate");
        window.set(
            "troubleFindings",
            QVariantList{finding("firewall", "Letting guests connect", "warning", "notInList",
                                 "Guests haven't been allowed through the firewall yet.")});
        window.set("isMacMuted", true);
        window.set("muteOwnership", QVariantMap{{"weMuted", true}, {"strategy", "device"}});
        window.set("hogOwner", "Studio One");
        save(window.grab(window.window()), "main-nobody-joined");
    }
    {
        WindowHarness window;
        setLiveRave(window);
        window.set("permissionWarning",
                   "No audio is being captured even though this Mac is playing sound.\n\nOpen "
                   "System Settings > Privacy & Security > Audio Recording and turn on Zoranth "
                   "Host. Without it the rave runs but every guest hears silence. Then press Stop "
                   "and Start again.");
        window.set("droughtStage", "quiet");
        save(window.grab(window.window()), "main-warning");
    }
    {
        WindowHarness window;
        window.set("state", "failed");
        window.set("failureMessage", "The sound server refused to let this program record.");
        window.controller()->property("audio").value<QObject*>()->setProperty("verdict", "denied");
        window.settle();
        save(window.grab(window.window()), "main-failed");
    }
}

TEST_F(Screens, SheetsAndAlerts) {
    WindowHarness window;
    setLiveRave(window);
    setGuests(window);
    window.find("hostRootView")
        ->setProperty("pendingFix",
                      finding("firewall", "Letting guests connect", "warning", "notInList", "x"));
    letAnimationsEnd(window);
    save(window.grab(window.window()), "main-firewall-sheet");
    window.click("firewallCancelButton");

    QuitCoordinator coordinator;
    ControllerQuitAdapter adapter(window.controller());
    coordinator.setController(&adapter);
    QuitPrompt prompt(coordinator);
    window.set("muteOwnership", QVariantMap{{"weMuted", true}, {"strategy", "device"}});
    window.root()->setProperty("quitPrompt", QVariant::fromValue<QObject*>(&prompt));
    QMetaObject::invokeMethod(window.root(), "requestQuit");
    letAnimationsEnd(window);
    save(window.grab(window.window()), "main-quit");
}

TEST_F(Screens, SettingsTabs) {
    WindowHarness window;
    setLiveRave(window);
    setGuests(window);
    window.set("state", "idle");
    window.set("isQualityAutomatic", false);
    window.set("tier", "medium");
    window.set("attachment", "wifi");
    window.set("link", QVariantMap{{"band", "twoPointFour"},
                                   {"phyMode", "n"},
                                   {"txRateMbps", 72},
                                   {"rssi", -71},
                                   {"noise", -90}});
    window.set("linkDescription", "Wi-Fi 4 on 2.4 GHz, 72 Mbit/s · this Mac is on Wi-Fi");
    window.set("chunksProduced", 184233);
    window.set("ioBufferFrames", 480);
    window.set("ioProcDeliveries", 368466);
    window.set("ringDepth", 1);
    window.set("isKeepingAwake", true);
    window.set("diagnosis", QVariantMap{{"kind", "receivingAudio"}, {"silentFor", 0}});

    save(window.grab(window.openSettings(0)), "settings-audio");
    save(window.grab(window.openSettings(1)), "settings-network");
    window.set("attachment", "ethernet");
    window.set("link", QVariant::fromValue(nullptr));
    window.set("linkDescription", "no Wi-Fi link · this Mac is on Ethernet");
    save(window.grab(window.openSettings(1)), "settings-network-ethernet");
    save(window.grab(window.openSettings(2)), "settings-diagnostics");

    auto* checkup = qobject_cast<CheckupModel*>(window.find("checkupModel"));
    ASSERT_NE(checkup, nullptr);
    checkup->setRunner([](auto, bool, SystemCheckup::FindingsHandler done) {
        FirewallInspection ufw;
        ufw.kind = FirewallInspection::Kind::ufw;
        ufw.name = "ufw";
        ufw.guestPort = Admission::blocked("ufw's default incoming policy DROP");
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
