// Paths on Windows: UTF-8 in the program, UTF-16 at the system's wide calls.
#include "platform/Path.h"

#include <windows.h>

namespace quenlo::platform {

namespace {

// Appends `text` decoded in `codePage`; false (nothing appended) when `strict` and it is invalid.
bool AppendWide(std::wstring& out, UINT codePage, std::string_view text, bool strict)
{
    if (text.empty())
        return true;
    const DWORD flags = strict ? MB_ERR_INVALID_CHARS : 0;
    const int n = static_cast<int>(text.size());
    const int wide = ::MultiByteToWideChar(codePage, flags, text.data(), n, nullptr, 0);
    if (wide <= 0)
        return false;
    const std::size_t at = out.size();
    out.resize(at + static_cast<std::size_t>(wide));
    ::MultiByteToWideChar(codePage, flags, text.data(), n, out.data() + at, wide);
    return true;
}

bool IsAbsoluteDrivePath(std::wstring_view p)
{
    return p.size() >= 3 && p[1] == L':' && (p[2] == L'\\' || p[2] == L'/');
}

bool IsUncPath(std::wstring_view p) { return p.size() >= 3 && p[0] == L'\\' && p[1] == L'\\' && p[2] != L'?'; }

}  // namespace

std::wstring WideFromUtf8(std::string_view text)
{
    std::wstring out;
    if (!AppendWide(out, CP_UTF8, text, true))
        AppendWide(out, CP_ACP, text, false);
    return out;
}

std::string Utf8FromWide(std::wstring_view text)
{
    if (text.empty())
        return {};
    const int n = static_cast<int>(text.size());
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), n, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0)
        return {};
    std::string out(static_cast<std::size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), n, out.data(), bytes, nullptr, nullptr);
    return out;
}

std::wstring WidePath(const std::string& path)
{
    const std::wstring wide = WideFromUtf8(path);
    if (wide.size() < MAX_PATH - 12 || wide.starts_with(L"\\\\?\\"))
        return wide;
    // The long form is taken literally, so the full path (backslashes, "." and ".." resolved) is
    // what gets the prefix.
    const DWORD needed = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (needed == 0)
        return wide;
    std::wstring full(needed, L'\0');
    const DWORD length = ::GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed)
        return wide;
    full.resize(length);
    if (IsAbsoluteDrivePath(full))
        return L"\\\\?\\" + full;
    if (IsUncPath(full))
        return L"\\\\?\\UNC\\" + full.substr(2);
    return wide;
}

std::filesystem::path FileSystemPath(const std::string& path) { return std::filesystem::path(WidePath(path)); }

bool IsRegularFile(const std::string& path)
{
    if (path.empty())
        return false;
    const DWORD attributes = ::GetFileAttributesW(WidePath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

}  // namespace quenlo::platform
