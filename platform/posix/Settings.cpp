// Where the settings and the user's folders are on Linux (the Windows forms are in platform/win/).
#include "platform/Settings.h"

#include <cstdlib>

namespace quenlo::platform {

namespace {

std::string EnvOrEmpty(const char* name)
{
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

}  // namespace

std::string UserConfigHome()
{
    std::string xdg = EnvOrEmpty("XDG_CONFIG_HOME");
    if (!xdg.empty() && xdg[0] == '/')
        return xdg;
    std::string home = EnvOrEmpty("HOME");
    if (home.empty())
        return {};
    return home + "/.config";
}

std::string SettingsFilePath()
{
    std::string base = UserConfigHome();
    if (base.empty())
        return {};
    return base + "/Dorvane/Quenlo.conf";
}

std::string UserProfileDir() { return EnvOrEmpty("HOME"); }

std::optional<Settings> Settings::OpenUser()
{
    return Open(SettingsFilePath());
}

}  // namespace quenlo::platform
