#include "platform/SingleInstance.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace quenlo::platform {

namespace {

// A lock directory is trusted only when it is a real directory that belongs to us and that nobody
// else may write to; otherwise another user could hold or swap our lock file.
bool IsPrivateDirectory(const std::string& dir) {
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    return st.st_uid == ::getuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool EnsurePrivateDirectory(const std::string& dir) {
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    return IsPrivateDirectory(dir);
}

}  // namespace

std::string SingleInstance::DefaultDirectory() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string dir = runtime && *runtime ? std::string(runtime)
                                          : "/tmp/quenlo-" + std::to_string(::getuid());
    if (dir.back() != '/')
        dir += '/';
    return dir;
}

SingleInstance::SingleInstance(std::string directory) : directory_(std::move(directory)) {
    if (directory_.empty())
        directory_ = DefaultDirectory();
    if (directory_.back() != '/')
        directory_ += '/';
    path_ = directory_ + kLockName;
}

SingleInstance::~SingleInstance() { Release(); }

bool SingleInstance::OpenLockFile() {
    std::string dir = directory_.substr(0, directory_.size() - 1);
    if (dir.empty() || !EnsurePrivateDirectory(dir))
        return false;
    // Close-on-exec, so gateway processes never carry the lock with them.
    fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    return fd_ >= 0;
}

SingleInstance::Outcome SingleInstance::Acquire(std::chrono::milliseconds timeout,
                                                std::chrono::milliseconds poll) {
    if (fd_ < 0 && !OpenLockFile())
        return Outcome::Unprotected;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (::flock(fd_, LOCK_EX | LOCK_NB) == 0)
            return Outcome::Acquired;
        if (errno != EWOULDBLOCK && errno != EINTR) {
            Release();
            return Outcome::Unprotected;
        }
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline)
            break;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(poll, deadline - now));
    }
    Release();
    return Outcome::TimedOut;
}

void SingleInstance::Release() {
    if (fd_ >= 0) {
        // Closing the descriptor drops the lock; the file itself stays for the next instance.
        ::close(fd_);
        fd_ = -1;
    }
}

}  // namespace quenlo::platform
