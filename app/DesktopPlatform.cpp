#include "app/DesktopPlatform.h"

#include <QGuiApplication>
#include <QString>
#include <QtGlobal>

namespace quenlo::app {

std::vector<const char*> PlatformArguments() {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        !qEnvironmentVariableIsEmpty("DISPLAY"))
        return {"-platform", "xcb"};
    return {};
}

bool PlacesItself() { return !QGuiApplication::platformName().startsWith(QLatin1String("wayland")); }

}  // namespace quenlo::app
