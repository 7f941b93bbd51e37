// Changing a small file that other runs of the program may change at the same time (the printers
// file, the trusted servers): a lock held from the read to the rename, and a new file written
// beside the old one and renamed over it, so that a reader sees the old bytes or the new ones and
// never a mix, and a full disk leaves the old file as it was.
//
// Typical use:
//   platform::FileLock lock(path);
//   if (!lock.Held()) ... fail with lock.Failure()
//   read path, work out the new bytes
//   if (auto failure = platform::ReplaceFileBytes(path, bytes, ownerOnly)) ... fail
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quenlo::platform {

// The file a path leads to: symbolic links followed (a link's target is the file to change, not
// the link), also when the target does not exist yet. The path itself when it is no link.
std::string LinkTarget(const std::string& path);

// An exclusive lock for changing the file at `path` (links followed), held from construction to
// destruction. It is taken on a lock file beside the target ("NAME.lock", made when missing and
// left in place), not on the file itself, since the file is replaced while the lock is held.
// The constructor waits for another holder (another process, or another FileLock in this one) to
// let go; the system releases the lock of a process that dies. The folders are made as needed.
class FileLock {
public:
    explicit FileLock(const std::string& path);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    bool Held() const noexcept { return held_; }
    // Why the lock could not be taken; empty when it is held.
    const std::string& Failure() const noexcept { return failure_; }

private:
    bool held_ = false;
    std::string failure_;
#if defined(_WIN32)
    void* handle_ = nullptr;
#else
    int fd_ = -1;
#endif
};

// (Not "ReplaceFile": the Windows headers make that name a macro.)
// Puts `bytes` in place as the file at `path` (links followed): written to a new file beside the
// target, made exclusively (a file or link already at that name is never opened or followed),
// flushed to the disk and renamed over the target. The new file has the old one's permissions, or
// for a new file the usual ones (0666 less the umask); with `ownerOnly` it is readable and writable
// by its owner only (0600) from before its first byte. The target's folders are made as needed.
// Returns the reason when it fails; the old file is then untouched and no temporary file is left.
std::optional<std::string> ReplaceFileBytes(const std::string& path, std::string_view bytes, bool ownerOnly);

// The whole file at `path` (links followed); empty when it is missing or cannot be read.
std::string FileBytes(const std::string& path);

// True when users other than the file's owner may read the file at `path` (its group or others have
// read permission). Always false on Windows, whose files have no such bits, and for a file that
// cannot be looked at.
bool OthersMayRead(const std::string& path);

}  // namespace quenlo::platform
