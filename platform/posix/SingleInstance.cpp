#include "platform/SingleInstance.h"

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
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
                                                std::chrono::milliseconds poll,
                                                const std::function<bool(std::chrono::milliseconds)>& showRunning) {
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
        if (showRunning &&
            showRunning(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now))) {
            Release();
            return Outcome::Shown;
        }
        now = std::chrono::steady_clock::now();
        if (now >= deadline)
            break;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(poll, deadline - now));
    }
    Release();
    return Outcome::TimedOut;
}

namespace {

// An activation token goes on the request line as one word; anything else is not passed on.
bool IsPlainWord(const std::string& token) {
    if (token.size() > 512)
        return false;
    for (const unsigned char c : token)
        if (c <= ' ' || c >= 0x7f)
            return false;
    return true;
}

// Closes the descriptor on every way out.
struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0)
            ::close(fd);
    }
};

// Waits until `fd` is ready for `events` or the deadline has passed.
bool ReadyBy(int fd, short events, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, static_cast<int>(left.count()));
        if (n > 0)
            return true;
        if (n < 0 && errno != EINTR)
            return false;
    }
}

}  // namespace

bool SingleInstance::AskRunningToShow(const std::string& token, std::chrono::milliseconds limit) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    const std::string path = ShowSocketPath();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path || directory_.size() < 2 ||
        !IsPrivateDirectory(directory_.substr(0, directory_.size() - 1)))
        return false;
    path.copy(address.sun_path, path.size());
    // Non-blocking throughout: an instance that hangs never holds this start beyond `limit`.
    const Descriptor s{::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)};
    if (s.fd < 0 || ::connect(s.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return false;  // nobody listens (still starting, ending, or killed) or the backlog is full
    const std::string request = IsPlainWord(token) && !token.empty() ? "show " + token + "\n" : "show\n";
    std::size_t sent = 0;
    while (sent < request.size()) {
        if (!ReadyBy(s.fd, POLLOUT, deadline))
            return false;
        const ssize_t n = ::send(s.fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        sent += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    static constexpr std::string_view kAnswer = "shown\n";
    std::string answer;
    while (answer.size() < kAnswer.size()) {
        if (!ReadyBy(s.fd, POLLIN, deadline))
            return false;
        char buffer[16];
        const ssize_t n = ::recv(s.fd, buffer, std::min(sizeof buffer, kAnswer.size() - answer.size()), 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            return false;
        if (n > 0)
            answer.append(buffer, static_cast<std::size_t>(n));
    }
    return answer == kAnswer;
}

void SingleInstance::Release() {
    if (fd_ >= 0) {
        // Closing the descriptor drops the lock; the file itself stays for the next instance.
        ::close(fd_);
        fd_ = -1;
    }
}

}  // namespace quenlo::platform
