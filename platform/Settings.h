// The program's per-user settings, read-only.
//
// They live in "$XDG_CONFIG_HOME/Dorvane/Quenlo.conf" (default "~/.config/Dorvane/Quenlo.conf"), an
// INI file in the form a Qt desktop program writes for organisation "Dorvane" and application
// "Quenlo". Only the top-level keys are read (those before any section header and those in the
// "[General]" section), as text. Nothing is ever written.
//
// Value syntax understood: plain text (leading and trailing blanks dropped), double-quoted text
// (blanks kept), the backslash escapes \\ \" \' \? \a \b \f \n \r \t \v \; \, \xHH.. and \NNN (octal),
// a backslash at the end of a line continuing the value on the next, "@@" for a leading "@", and
// "@ByteArray(...)". A value that is not one text (a list written with unquoted commas, or any
// other "@Type(...)" form) is not a text value.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace quenlo::platform {

// The settings file of this user: "$XDG_CONFIG_HOME/Dorvane/Quenlo.conf" when XDG_CONFIG_HOME is an
// absolute path, else "$HOME/.config/Dorvane/Quenlo.conf"; empty when neither is set. On Windows the
// settings are the values of the registry key HKEY_CURRENT_USER\Software\Dorvane\Quenlo, and this
// names that key.
std::string SettingsFilePath();

// The per-user configuration folder: $XDG_CONFIG_HOME when it is an absolute path, else
// "$HOME/.config"; on Windows %APPDATA%. Empty when not set. No trailing separator.
std::string UserConfigHome();

// The user's home folder: $HOME, on Windows %USERPROFILE%. Empty when not set. No trailing separator.
std::string UserProfileDir();

// The directory separator of paths this program builds, what ends the file name of one of its
// programs, and the line end of a text file it starts.
#if defined(_WIN32)
inline constexpr char kDirSeparator = '\\';
inline constexpr const char* kProgramSuffix = ".exe";
inline constexpr const char* kLineEnd = "\r\n";
#else
inline constexpr char kDirSeparator = '/';
inline constexpr const char* kProgramSuffix = "";
inline constexpr const char* kLineEnd = "\n";
#endif

class Settings {
public:
    // Reads the settings file at `path`; nullopt when it does not exist or cannot be read.
    static std::optional<Settings> Open(const std::string& path);
    // The settings of this user (SettingsFilePath()); on Windows the string values of the registry
    // key, nullopt when the key cannot be opened.
    static std::optional<Settings> OpenUser();
    // Settings whose text values were read elsewhere (the registry, whose value names are matched
    // without regard to ASCII case: "confdir" is ConfDir there).
    static Settings FromTexts(const std::map<std::string, std::string>& texts);
    // Settings from INI text (the contents of a settings file).
    static Settings Parse(const std::string& text);

    // The text of top-level `key` (case-sensitive in a file); nullopt when absent or not a text value.
    std::optional<std::string> Text(const std::string& key) const;
    // True when top-level `key` is present, whatever its value.
    bool Has(const std::string& key) const { return values_.count(StoredKey(key)) != 0; }

private:
    std::string StoredKey(const std::string& key) const;

    bool ignoreCase_ = false;  // keys are held in lower case
    // nullopt: present, but not a text value.
    std::map<std::string, std::optional<std::string>> values_;
};

}  // namespace quenlo::platform
