// The per-user settings and folders on Windows: the registry key of the program and the
// APPDATA / USERPROFILE variables.
#include "platform/Settings.h"

#include <windows.h>

#include <cstdlib>

namespace quenlo::platform {

namespace {

constexpr const char* kKey = "Software\\Dorvane\\Quenlo";

std::string EnvOrEmpty(const char* name)
{
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

// The string values (REG_SZ, REG_EXPAND_SZ used as they stand) of an open key.
std::map<std::string, std::string> StringValues(HKEY key)
{
    std::map<std::string, std::string> values;
    for (DWORD index = 0;; ++index) {
        char name[256];
        DWORD nameLen = sizeof name;
        DWORD type = 0;
        BYTE data[4096];
        DWORD dataLen = sizeof data;
        const LONG rc = ::RegEnumValueA(key, index, name, &nameLen, nullptr, &type, data, &dataLen);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ))
            continue;  // a value too long or of another kind is not a text value
        std::string text(reinterpret_cast<const char*>(data), dataLen);
        while (!text.empty() && text.back() == '\0')
            text.pop_back();
        values[std::string(name, nameLen)] = text;
    }
    return values;
}

}  // namespace

std::string UserConfigHome() { return EnvOrEmpty("APPDATA"); }

std::string UserProfileDir() { return EnvOrEmpty("USERPROFILE"); }

std::string SettingsFilePath() { return std::string("HKEY_CURRENT_USER\\") + kKey; }

std::optional<Settings> Settings::OpenUser()
{
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_CURRENT_USER, kKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return std::nullopt;
    Settings settings = FromTexts(StringValues(key));
    ::RegCloseKey(key);
    return settings;
}

}  // namespace quenlo::platform
