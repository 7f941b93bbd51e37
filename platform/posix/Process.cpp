#include "platform/Process.h"

#include <cerrno>
#include <csignal>
#include <map>
#include <memory>
#include <mutex>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace quenlo::platform {

namespace {

// Spawn attributes that give the child a clean signal state: an empty mask and default handling
// of the signals a GUI program commonly blocks or ignores, so SIGTERM can end it.
struct SpawnAttributes {
    posix_spawnattr_t attr{};
    posix_spawn_file_actions_t actions{};
    bool ok = false;

    SpawnAttributes() {
        if (posix_spawnattr_init(&attr) != 0)
            return;
        if (posix_spawn_file_actions_init(&actions) != 0) {
            posix_spawnattr_destroy(&attr);
            return;
        }
        ok = true;
        sigset_t empty;
        sigemptyset(&empty);
        posix_spawnattr_setsigmask(&attr, &empty);
        sigset_t defaults;
        sigemptyset(&defaults);
        for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGCHLD, SIGQUIT})
            sigaddset(&defaults, sig);
        posix_spawnattr_setsigdefault(&attr, &defaults);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        // Our own descriptors (the single-instance lock, the event loop, sockets) stay ours: a
        // gateway that inherited the lock would keep it after we end.
        posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    }
    ~SpawnAttributes() {
        if (ok) {
            posix_spawn_file_actions_destroy(&actions);
            posix_spawnattr_destroy(&attr);
        }
    }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
};

// One started child. Its id names it until it is reaped, and only Watch's thread reaps it, under
// `mutex`; so a signal sent under the same mutex while `reaped` is false reaches this child and no
// other process that got its id later. The pidfd (when the kernel has them) keeps that true even
// if some other code of the process reaped the child behind our back.
struct Child {
    pid_t pid = 0;
    int pidfd = -1;
    bool watched = false;
    std::mutex mutex;
    bool reaped = false;

    ~Child() {
        if (pidfd >= 0)
            ::close(pidfd);
    }
};

std::mutex registryMutex;
std::map<pid_t, std::shared_ptr<Child>>& Registry() {
    static std::map<pid_t, std::shared_ptr<Child>> children;
    return children;
}

// Waits, without reaping, until the child has ended, then reaps it, so a child that ends on its own
// leaves no zombie behind.
void ReapWhenEnded(const std::shared_ptr<Child>& child) {
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(child->pid), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
    }
    const std::lock_guard<std::mutex> lock(child->mutex);
    while (::waitpid(child->pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    child->reaped = true;
}

void Watch(pid_t pid) {
    auto child = std::make_shared<Child>();
    child->pid = pid;
    child->pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0U));  // close-on-exec
    try {
        std::thread([child] { ReapWhenEnded(child); }).detach();
        child->watched = true;
    } catch (const std::system_error&) {
        // No thread to spare: the child is reaped when it is terminated, or by the system when
        // this program ends.
    }
    const std::lock_guard<std::mutex> lock(registryMutex);
    Registry()[pid] = std::move(child);
}

std::shared_ptr<Child> Forget(pid_t pid) {
    const std::lock_guard<std::mutex> lock(registryMutex);
    auto it = Registry().find(pid);
    if (it == Registry().end())
        return nullptr;
    std::shared_ptr<Child> child = std::move(it->second);
    Registry().erase(it);
    return child;
}

}  // namespace

ProcessHandle StartProcess(const std::string& program, const std::vector<std::string>& argv,
                           int* error) {
    if (error)
        *error = 0;
    SpawnAttributes spawn;
    if (!spawn.ok || program.empty()) {
        if (error)
            *error = spawn.ok ? ENOENT : ENOMEM;
        return {};
    }
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    pid_t pid = 0;
    int rc = posix_spawn(&pid, program.c_str(), &spawn.actions, &spawn.attr, args.data(), environ);
    if (rc != 0) {
        if (error)
            *error = rc;
        return {};
    }
    Watch(pid);
    return ProcessHandle{pid};
}

void TerminateProcess(ProcessHandle& handle) {
    if (!handle.valid())
        return;
    const pid_t pid = handle.pid;
    handle.pid = 0;
    const std::shared_ptr<Child> child = Forget(pid);
    // A process we did not start, or already told to end, is not ours to signal.
    if (!child)
        return;
    const std::lock_guard<std::mutex> lock(child->mutex);
    if (child->reaped)
        return;
    if (child->pidfd >= 0)
        ::syscall(SYS_pidfd_send_signal, child->pidfd, SIGTERM, nullptr, 0U);
    else
        ::kill(pid, SIGTERM);
    // Without a watcher nobody else reaps it; take it now if it is already gone, else the system
    // does when this program ends.
    if (!child->watched && ::waitpid(pid, nullptr, WNOHANG) == pid)
        child->reaped = true;
}

std::string ExecutableDir() {
    std::string path(4096, '\0');
    ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= path.size())
        return {};
    path.resize(static_cast<std::size_t>(n));
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return {};
    return path.substr(0, slash + 1);
}

std::vector<std::string> ProgramArguments(int argc, char** argv, int first)
{
    return first < argc ? std::vector<std::string>(argv + first, argv + argc) : std::vector<std::string>();
}

}  // namespace quenlo::platform
