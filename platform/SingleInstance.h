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
//
// A later start that has a display need not wait at all: while it waits, it asks the running
// instance to show its window (Acquire's `showRunning`), and ends once that one says it did. On
// Linux the running instance listens on the local socket ShowSocketPath() beside the lock file
// (owner-only, like its folder) and answers AskRunningToShow's line "show [TOKEN]\n" with
// "shown\n" once its window is shown; on Windows the program finds its window by class.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace quenlo::platform {

class SingleInstance {
public:
    enum class Outcome {
        Acquired,     // the lock is ours until Release or destruction
        TimedOut,     // another instance held it for the whole time limit
        Unprotected,  // the lock file could not be used; run without the single-instance rule
        Shown,        // the running instance showed its window at our asking: nothing more to do
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
    // With `showRunning`, each failed try also calls it, with the time left; true ends the wait
    // with Shown. An instance that is still starting or already ending does not answer, so the
    // wait goes on and takes the lock once it is free.
    Outcome Acquire(std::chrono::milliseconds timeout = std::chrono::milliseconds(10000),
                    std::chrono::milliseconds poll = std::chrono::milliseconds(50),
                    const std::function<bool(std::chrono::milliseconds left)>& showRunning = {});
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

    // Where the running instance listens for a later start's request to show its window.
    std::string ShowSocketPath() const { return directory_ + kShowSocketName; }
    static constexpr const char* kShowSocketName = "QuenloShowWindow";
    // Asks the instance listening on ShowSocketPath() to show its window, passing on the
    // desktop's activation token (may be empty; one that is not a plain word is left out). True
    // when it answered that it did, within `limit`. Only a folder of ours is trusted.
    bool AskRunningToShow(const std::string& token, std::chrono::milliseconds limit) const;

private:
    bool OpenLockFile();

    std::string directory_;
    std::string path_;
    int fd_ = -1;
#endif
};

}  // namespace quenlo::platform
