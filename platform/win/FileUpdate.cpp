// Locking and replacing files on Windows: LockFileEx on a lock file, and a temporary file made with
// CREATE_NEW and moved over the target with MoveFileExW.
#include "platform/FileUpdate.h"

#include "platform/Path.h"

#include <windows.h>

#include <filesystem>
#include <system_error>

namespace quenlo::platform {

namespace {

namespace fs = std::filesystem;

constexpr int kMostLinks = 40;
constexpr int kTemporaryNames = 16;

std::string Reason(const std::string& what, DWORD error)
{
    return what + ": " + std::system_category().message(static_cast<int>(error));
}

std::optional<std::string> MakeFoldersOf(const std::string& file)
{
    const fs::path parent = FileSystemPath(file).parent_path();
    std::error_code error;
    if (!parent.empty())
        fs::create_directories(parent, error);
    if (error)
        return "cannot create the folder " + Utf8FromWide(parent.wstring()) + ": " + error.message();
    return std::nullopt;
}

bool WriteAll(HANDLE file, std::string_view bytes)
{
    while (!bytes.empty()) {
        const DWORD chunk = bytes.size() > 0x10000000 ? 0x10000000 : static_cast<DWORD>(bytes.size());
        DWORD written = 0;
        if (!::WriteFile(file, bytes.data(), chunk, &written, nullptr) || written == 0)
            return false;
        bytes.remove_prefix(written);
    }
    return true;
}

}  // namespace

std::string LinkTarget(const std::string& path)
{
    fs::path file = FileSystemPath(path);
    std::error_code error;
    bool followed = false;
    for (int hops = 0; hops < kMostLinks && fs::is_symlink(fs::symlink_status(file, error)); ++hops) {
        const fs::path target = fs::read_symlink(file, error);
        if (error)
            break;
        file = target.is_absolute() ? target : file.parent_path() / target;
        followed = true;
    }
    return followed ? Utf8FromWide(file.wstring()) : path;
}

FileLock::FileLock(const std::string& path)
{
    const std::string target = LinkTarget(path);
    if (const std::optional<std::string> failure = MakeFoldersOf(target)) {
        failure_ = *failure;
        return;
    }
    const std::string lockPath = target + ".lock";
    HANDLE file = ::CreateFileW(WidePath(lockPath).c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        failure_ = Reason("cannot open the lock file " + lockPath, ::GetLastError());
        return;
    }
    handle_ = file;
    OVERLAPPED whole{};
    if (!::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &whole)) {
        failure_ = Reason("cannot lock " + lockPath, ::GetLastError());
        return;
    }
    held_ = true;
}

FileLock::~FileLock()
{
    // Closing the handle lets go of the lock.
    if (handle_ != nullptr)
        ::CloseHandle(static_cast<HANDLE>(handle_));
}

std::optional<std::string> ReplaceFileBytes(const std::string& path, std::string_view bytes, bool ownerOnly)
{
    // The per-user folders are the user's own on Windows: ownerOnly asks nothing more there.
    (void)ownerOnly;
    const std::string target = LinkTarget(path);
    if (std::optional<std::string> failure = MakeFoldersOf(target))
        return failure;
    HANDLE file = INVALID_HANDLE_VALUE;
    std::wstring temporary;
    DWORD error = ERROR_FILE_EXISTS;
    for (int attempt = 0; file == INVALID_HANDLE_VALUE && attempt < kTemporaryNames; ++attempt) {
        std::string name = target + ".new";
        if (attempt > 0)
            name += "-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(attempt);
        temporary = WidePath(name);
        // CREATE_NEW fails on anything already there, a link included, so nothing is followed.
        file = ::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                             nullptr);
        error = file == INVALID_HANDLE_VALUE ? ::GetLastError() : 0;
        if (file == INVALID_HANDLE_VALUE && error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS)
            break;
    }
    if (file == INVALID_HANDLE_VALUE)
        return Reason("cannot create a new file beside " + path, error);
    const bool written = WriteAll(file, bytes) && ::FlushFileBuffers(file);
    error = written ? 0 : ::GetLastError();
    ::CloseHandle(file);
    if (!written) {
        ::DeleteFileW(temporary.c_str());
        return Reason("cannot write " + path, error);
    }
    if (!::MoveFileExW(temporary.c_str(), WidePath(target).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = ::GetLastError();
        ::DeleteFileW(temporary.c_str());
        return Reason("cannot put the new " + path + " in place", error);
    }
    return std::nullopt;
}

bool OthersMayRead(const std::string&)
{
    return false;
}

}  // namespace quenlo::platform
