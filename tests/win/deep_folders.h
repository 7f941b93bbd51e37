// Folders deeper than 260 characters for the Windows suites, made and removed through the wide
// calls in their long form (the standard library's own calls stop at that length).
#pragma once

#include <filesystem>
#include <string>

#include <windows.h>

namespace quenlo::wintest {

inline std::wstring LongForm(const std::filesystem::path& path) { return L"\\\\?\\" + path.wstring(); }

// `top` and folders below it until the path has at least `length` characters; the deepest.
inline std::filesystem::path MakeDeepFolder(const std::filesystem::path& top, std::size_t length)
{
    std::filesystem::path dir = top;
    ::CreateDirectoryW(LongForm(dir).c_str(), nullptr);
    while (dir.wstring().size() < length) {
        dir /= L"a-folder-deep-down";
        ::CreateDirectoryW(LongForm(dir).c_str(), nullptr);
    }
    return dir;
}

inline void RemoveTree(const std::filesystem::path& path)
{
    WIN32_FIND_DATAW found;
    const HANDLE search = ::FindFirstFileW((LongForm(path) + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..")
                continue;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(path / name);
            else
                ::DeleteFileW(LongForm(path / name).c_str());
        } while (::FindNextFileW(search, &found));
        ::FindClose(search);
    }
    ::RemoveDirectoryW(LongForm(path).c_str());
}

}  // namespace quenlo::wintest
