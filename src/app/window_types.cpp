#include "app/window_types.h"

#include <QQmlEngine>
#include <QUrl>

#include <mutex>

#include "app/checkup_model.h"
#include "app/desktop_actions.h"
#include "app/firewall_fix_model.h"
#include "app/icon_provider.h"
#include "app/level_meter_model.h"
#include "app/view_text.h"

namespace zoranth {
namespace {

void registerTypes() {
    constexpr int major = 1;
    constexpr int minor = 0;
    qmlRegisterSingletonType<ViewText>(
        WindowTypes::uri, major, minor, "ViewText",
        [](QQmlEngine*, QJSEngine*) -> QObject* { return new ViewText; });
    qmlRegisterSingletonType<DesktopActions>(
        WindowTypes::uri, major, minor, "Desktop",
        [](QQmlEngine*, QJSEngine*) -> QObject* { return new DesktopActions; });
    qmlRegisterSingletonType(QUrl(QStringLiteral("qrc:/Zoranth/Host/qml/Brand.qml")),
                             WindowTypes::uri, major, minor, "Brand");
    qmlRegisterType<LevelMeterModel>(WindowTypes::uri, major, minor, "LevelMeterModel");
    qmlRegisterType<CheckupModel>(WindowTypes::uri, major, minor, "CheckupModel");
    qmlRegisterType<FirewallFixModel>(WindowTypes::uri, major, minor, "FirewallFixModel");
}

}  // namespace

void WindowTypes::install(QQmlEngine& engine) {
    static std::once_flag registered;
    std::call_once(registered, registerTypes);
    engine.addImageProvider(QString::fromLatin1(IconProvider::providerName), new IconProvider);
}

}  // namespace zoranth
