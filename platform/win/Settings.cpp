// The per-user settings and folders on Windows: the registry key of the program and the
// APPDATA / USERPROFILE variables, read through the wide calls and held as UTF-8.
#include "platform/Settings.h"

#include "platform/Path.h"

#include <windows.h>

#include <algorithm>
#include <vector>

namespace quenlo::platform {

namespace {

constexpr const wchar_t* kKey = L"Software\\Dorvane\\Quenlo";

std::string EnvOrEmpty(const wchar_t* name)
{
    const DWORD needed = ::GetEnvironmentVariableW(name, nullptr, 0);
    if (needed == 0)
        return {};
    std::wstring value(needed, L'\0');
    const DWORD length = ::GetEnvironmentVariableW(name, value.data(), needed);
    if (length == 0 || length >= needed)
        return {};
    value.resize(length);
    return Utf8FromWide(value);
}

// A REG_EXPAND_SZ value with its %NAME% references replaced, as the system's own readers do.
std::wstring Expanded(const std::wstring& text)
{
    const DWORD needed = ::ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
    if (needed == 0)
        return text;
    std::wstring out(needed, L'\0');
    const DWORD length = ::ExpandEnvironmentStringsW(text.c_str(), out.data(), needed);
    if (length == 0 || length > needed)
        return text;
    out.resize(length - 1);  // the count includes the terminating zero
    return out;
}

// The text of a string value's data (which need not end in a zero).
std::wstring TextOfData(const std::vector<BYTE>& data, DWORD size)
{
    std::wstring text(reinterpret_cast<const wchar_t*>(data.data()), size / sizeof(wchar_t));
    const std::size_t end = text.find(L'\0');
    if (end != std::wstring::npos)
        text.resize(end);
    return text;
}

// The string values (REG_SZ, REG_EXPAND_SZ expanded) of an open key, of any length.
std::map<std::string, std::string> StringValues(HKEY key)
{
    DWORD maxName = 0;
    DWORD maxData = 0;
    if (::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &maxName, &maxData,
                           nullptr, nullptr) != ERROR_SUCCESS)
        return {};
    std::map<std::string, std::string> values;
    std::wstring name;
    std::vector<BYTE> data;
    int retries = 0;
    for (DWORD index = 0;;) {
        name.assign(maxName + 1, L'\0');
        data.assign(maxData + sizeof(wchar_t), 0);
        DWORD nameLen = static_cast<DWORD>(name.size());
        DWORD dataLen = static_cast<DWORD>(data.size());
        DWORD type = 0;
        const LONG rc = ::RegEnumValueW(key, index, name.data(), &nameLen, nullptr, &type, data.data(), &dataLen);
        if (rc == ERROR_MORE_DATA && retries++ < 3) {  // a value grew meanwhile: a larger buffer
            maxName = std::max<DWORD>(maxName, nameLen) * 2;
            maxData = std::max<DWORD>(maxData, dataLen) * 2;
            continue;
        }
        retries = 0;
        ++index;
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ))
            continue;
        std::wstring text = TextOfData(data, dataLen);
        if (type == REG_EXPAND_SZ)
            text = Expanded(text);
        values[Utf8FromWide(std::wstring_view(name.data(), nameLen))] = Utf8FromWide(text);
    }
    return values;
}

}  // namespace

std::string UserConfigHome() { return EnvOrEmpty(L"APPDATA"); }

std::string UserProfileDir() { return EnvOrEmpty(L"USERPROFILE"); }

std::string SettingsFilePath() { return "HKEY_CURRENT_USER\\" + Utf8FromWide(kKey); }

std::optional<Settings> Settings::OpenUser()
{
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, kKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return std::nullopt;
    Settings settings = FromTexts(StringValues(key));
    ::RegCloseKey(key);
    return settings;
}

}  // namespace quenlo::platform
