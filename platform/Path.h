// Paths as the program holds them: UTF-8 bytes on every system. On Windows the file system is
// reached through the system's wide calls, with the long form ("\\?\") for absolute paths, so that
// neither the ANSI code page of the user nor the 260-character limit decides what can be opened.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace quenlo::platform {

// `path` as the standard library opens it (std::ifstream takes it as it is).
std::filesystem::path FileSystemPath(const std::string& path);

// True when `path` names a regular file (links followed).
bool IsRegularFile(const std::string& path);

#if defined(_WIN32)
// UTF-16 for the system's wide calls. Bytes that are not UTF-8 are read in the ANSI code page, as
// the narrow calls read them, so texts of an older file still reach the system as before.
std::wstring WideFromUtf8(std::string_view text);
// The program's UTF-8 form of a text the system gave.
std::string Utf8FromWide(std::wstring_view text);
// The wide form of a path for the system's file calls: an absolute path in its long form.
std::wstring WidePath(const std::string& path);
#endif

}  // namespace quenlo::platform
