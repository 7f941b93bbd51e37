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
// absolute path, else "$HOME/.config/Dorvane/Quenlo.conf"; empty when neither is set.
std::string SettingsFilePath();

// The per-user configuration folder: $XDG_CONFIG_HOME when it is an absolute path, else
// "$HOME/.config"; empty when neither is set. No trailing "/".
std::string UserConfigHome();

class Settings {
public:
    // Reads the settings file at `path`; nullopt when it does not exist or cannot be read.
    static std::optional<Settings> Open(const std::string& path);
    // The settings file of this user (SettingsFilePath()).
    static std::optional<Settings> OpenUser();
    // Settings from INI text (the contents of a settings file).
    static Settings Parse(const std::string& text);

    // The text of top-level `key` (case-sensitive); nullopt when absent or not a text value.
    std::optional<std::string> Text(const std::string& key) const;
    // True when top-level `key` is present, whatever its value.
    bool Has(const std::string& key) const { return values_.count(key) != 0; }

private:
    // nullopt: present, but not a text value.
    std::map<std::string, std::optional<std::string>> values_;
};

}  // namespace quenlo::platform
