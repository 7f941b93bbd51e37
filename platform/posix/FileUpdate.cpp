// Locking and replacing files on Linux: flock on a lock file, and a temporary file made with
// O_EXCL | O_NOFOLLOW and renamed over the target.
#include "platform/FileUpdate.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace quenlo::platform {

namespace {

namespace fs = std::filesystem;

// Far more links than any real chain has: a loop of links ends here instead of running forever.
constexpr int kMostLinks = 40;
// Names tried for the temporary file before giving up: NAME.new, then NAME.new-PID-N.
constexpr int kTemporaryNames = 16;

std::string Reason(const std::string& what, int error) { return what + ": " + std::strerror(error); }

std::optional<std::string> MakeFoldersOf(const std::string& file)
{
    const fs::path parent = fs::path(file).parent_path();
    std::error_code error;
    if (!parent.empty())
        fs::create_directories(parent, error);
    if (error)
        return "cannot create the folder " + parent.string() + ": " + error.message();
    return std::nullopt;
}

// An open temporary file that is removed again unless it was renamed into place.
class Temporary {
public:
    explicit Temporary(const std::string& target, bool ownerOnly, bool keepsOldMode)
    {
        // A new file that will hold the old one's mode, or that is private, is private until then.
        const mode_t mode = ownerOnly || keepsOldMode ? 0600 : 0666;
        for (int attempt = 0; fd_ < 0 && attempt < kTemporaryNames; ++attempt) {
            path_ = target + ".new";
            if (attempt > 0)
                path_ += "-" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
            fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
            if (fd_ < 0 && errno != EEXIST) {
                error_ = errno;
                return;
            }
        }
        created_ = fd_ >= 0;
        if (!created_)
            error_ = EEXIST;
    }
    ~Temporary()
    {
        if (fd_ >= 0)
            ::close(fd_);
        // Only a file this made: what stood at the name before is not ours to remove.
        if (created_ && !renamed_)
            ::unlink(path_.c_str());
    }
    Temporary(const Temporary&) = delete;
    Temporary& operator=(const Temporary&) = delete;

    int Fd() const noexcept { return fd_; }
    int Error() const noexcept { return error_; }
    const std::string& Path() const noexcept { return path_; }

    bool Write(std::string_view bytes)
    {
        while (!bytes.empty()) {
            const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }
    // Closes the file; false when the last of its bytes could not be stored.
    bool Close()
    {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }
    bool RenameTo(const std::string& target)
    {
        renamed_ = ::rename(path_.c_str(), target.c_str()) == 0;
        return renamed_;
    }

private:
    std::string path_;
    int fd_ = -1;
    int error_ = 0;
    bool created_ = false;
    bool renamed_ = false;
};

// After a rename, the folder's entry must reach the disk too, or a crash may bring the old file back.
void SyncFolderOf(const std::string& file)
{
    const fs::path parent = fs::path(file).parent_path();
    const int fd = ::open(parent.empty() ? "." : parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

}  // namespace

std::string LinkTarget(const std::string& path)
{
    fs::path file(path);
    std::error_code error;
    for (int hops = 0; hops < kMostLinks && fs::is_symlink(fs::symlink_status(file, error)); ++hops) {
        const fs::path target = fs::read_symlink(file, error);
        if (error)
            break;
        file = target.is_absolute() ? target : file.parent_path() / target;
    }
    return file.string();
}

FileLock::FileLock(const std::string& path)
{
    const std::string target = LinkTarget(path);
    if (const std::optional<std::string> failure = MakeFoldersOf(target)) {
        failure_ = *failure;
        return;
    }
    const std::string lockPath = target + ".lock";
    fd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd_ < 0) {
        failure_ = Reason("cannot open the lock file " + lockPath, errno);
        return;
    }
    while (::flock(fd_, LOCK_EX) != 0) {
        if (errno != EINTR) {
            failure_ = Reason("cannot lock " + lockPath, errno);
            return;
        }
    }
    held_ = true;
}

FileLock::~FileLock()
{
    // Closing the descriptor lets go of the lock.
    if (fd_ >= 0)
        ::close(fd_);
}

std::optional<std::string> ReplaceFileBytes(const std::string& path, std::string_view bytes, bool ownerOnly)
{
    const std::string target = LinkTarget(path);
    if (std::optional<std::string> failure = MakeFoldersOf(target))
        return failure;
    struct stat old {};
    const bool exists = ::stat(target.c_str(), &old) == 0;
    Temporary temporary(target, ownerOnly, exists);
    if (temporary.Fd() < 0)
        return Reason("cannot create a new file beside " + path, temporary.Error());
    if (!temporary.Write(bytes))
        return Reason("cannot write " + path, errno);
    if (exists && !ownerOnly && ::fchmod(temporary.Fd(), old.st_mode & 07777) != 0)
        return Reason("cannot give the new " + path + " the old one's permissions", errno);
    if (::fsync(temporary.Fd()) != 0 || !temporary.Close())
        return Reason("cannot write " + path, errno);
    if (!temporary.RenameTo(target))
        return Reason("cannot put the new " + path + " in place", errno);
    SyncFolderOf(target);
    return std::nullopt;
}

bool OthersMayRead(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && (st.st_mode & (S_IRGRP | S_IROTH)) != 0;
}

}  // namespace quenlo::platform
