// One running instance per user session.
//
// The instance that runs holds an exclusive lock (flock) on the file
// "QuenloSingleInstanceProgramMutex" in $XDG_RUNTIME_DIR, or, when that is not set, in a private
// directory /tmp/quenlo-<uid>/. A later instance tries to take the lock until its time limit has
// passed: if the first instance ends meanwhile, the later one goes on at once; otherwise it is told
// that the time ran out and ends. The kernel drops the lock when its holder dies, so an instance that
// was killed never blocks the next one.
//
// On Windows it is the named mutex "QuenloSingleInstanceProgramMutex" (CreateMutexA, not initially
// owned, and WaitForSingleObject for the time limit); a mutex left abandoned by an instance that
// died counts as acquired. There `directory`, when given, is put in front of the name so that tests
// get a mutex of their own, and DefaultDirectory() is empty. Acquire and Release on one thread.
#pragma once

#include <chrono>
#include <string>

namespace quenlo::platform {

class SingleInstance {
public:
    enum class Outcome {
        Acquired,     // the lock is ours until Release or destruction
        TimedOut,     // another instance held it for the whole time limit
        Unprotected,  // the lock file could not be used; run without the single-instance rule
    };

    // The lock file's directory as described above, with a trailing "/".
    static std::string DefaultDirectory();
    static constexpr const char* kLockName = "QuenloSingleInstanceProgramMutex";

    // `directory` is where the lock file lives (DefaultDirectory() when empty); it is created when
    // missing. A directory that is not ours or that others may write to is not used (Unprotected).
    explicit SingleInstance(std::string directory = {});
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // Tries to take the lock until `timeout` has passed, checking every `poll`. Blocks the caller.
    Outcome Acquire(std::chrono::milliseconds timeout = std::chrono::milliseconds(10000),
                    std::chrono::milliseconds poll = std::chrono::milliseconds(50));
    // Gives the lock up (also done by the destructor). Safe to call more than once.
    void Release();

    const std::string& Path() const { return path_; }

#if defined(_WIN32)
    bool Held() const { return held_; }

private:
    std::string directory_;
    std::string path_;
    void* mutex_ = nullptr;
    bool held_ = false;
#else
    bool Held() const { return fd_ >= 0; }

private:
    bool OpenLockFile();

    std::string directory_;
    std::string path_;
    int fd_ = -1;
#endif
};

}  // namespace quenlo::platform
