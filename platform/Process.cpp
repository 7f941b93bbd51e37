#include "platform/Process.h"

#include <cerrno>
#include <csignal>
#include <spawn.h>
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
    return ProcessHandle{pid};
}

void TerminateProcess(ProcessHandle& handle) {
    if (!handle.valid())
        return;
    const pid_t pid = handle.pid;
    handle.pid = 0;
    // The child has not been reaped yet (only this function reaps), so the id still names it even
    // when it has already ended on its own.
    ::kill(pid, SIGTERM);
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid)
        return;
    try {
        std::thread([pid] {
            int st = 0;
            while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    } catch (const std::system_error&) {
        // No thread to spare: the child stays a zombie until this program ends, when the system
        // reaps it. Nothing else depends on it.
    }
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

}  // namespace quenlo::platform
