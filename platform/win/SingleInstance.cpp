// One running instance on Windows: the named mutex of the design.
#include "platform/SingleInstance.h"

#include <windows.h>

#include <algorithm>

namespace quenlo::platform {

std::string SingleInstance::DefaultDirectory() { return {}; }

SingleInstance::SingleInstance(std::string directory)
    : directory_(std::move(directory)), path_(directory_ + kLockName)
{
}

SingleInstance::~SingleInstance()
{
    Release();
    if (mutex_)
        ::CloseHandle(mutex_);
}

SingleInstance::Outcome SingleInstance::Acquire(std::chrono::milliseconds timeout, std::chrono::milliseconds poll,
                                                const std::function<bool(std::chrono::milliseconds)>& showRunning)
{
    if (held_)
        return Outcome::Acquired;
    if (!mutex_)
        mutex_ = ::CreateMutexA(nullptr, FALSE, path_.c_str());
    if (!mutex_)
        return Outcome::Unprotected;
    // Without a request to show, one wait for the whole time; with one, a wait per `poll`.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        const std::chrono::milliseconds wait = !showRunning ? left : std::min(left, poll);
        switch (::WaitForSingleObject(mutex_, wait.count() < 0 ? 0 : static_cast<DWORD>(wait.count()))) {
        case WAIT_OBJECT_0:
        case WAIT_ABANDONED:  // the holder died without releasing it
            held_ = true;
            return Outcome::Acquired;
        case WAIT_TIMEOUT:
            break;
        default:
            return Outcome::Unprotected;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline || !showRunning)
            return Outcome::TimedOut;
        if (showRunning(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now)))
            return Outcome::Shown;
    }
}

void SingleInstance::Release()
{
    if (!held_)
        return;
    ::ReleaseMutex(mutex_);
    held_ = false;
}

}  // namespace quenlo::platform
