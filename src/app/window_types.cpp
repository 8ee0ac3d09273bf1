#include "app/window_types.h"

#include <QQmlEngine>
#include <QString>

#include "app/icon_provider.h"
#include "app/join_code_provider.h"

// Generated with the module: registers its C++ types. Naming it here keeps the linker from
// dropping the registration out of this static library.
void qml_register_types_Zoranth_Host();

namespace zoranth {

void WindowTypes::install(QQmlEngine& engine) {
    void (*volatile registration)() = &qml_register_types_Zoranth_Host;
    (void)registration;
    // The module's qmldir sits at qrc:/Zoranth/Host.
    engine.addImportPath(QStringLiteral("qrc:/"));
    engine.addImageProvider(QString::fromLatin1(IconProvider::providerName), new IconProvider);
    engine.addImageProvider(QString::fromLatin1(JoinCodeProvider::providerName),
                            new JoinCodeProvider);
}

}  // namespace zoranth
