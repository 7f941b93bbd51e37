// One running instance on Windows: the named mutex of the design.
#include "platform/SingleInstance.h"

#include <windows.h>

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

SingleInstance::Outcome SingleInstance::Acquire(std::chrono::milliseconds timeout, std::chrono::milliseconds)
{
    if (held_)
        return Outcome::Acquired;
    if (!mutex_)
        mutex_ = ::CreateMutexA(nullptr, FALSE, path_.c_str());
    if (!mutex_)
        return Outcome::Unprotected;
    const DWORD ms = timeout.count() < 0 ? 0 : static_cast<DWORD>(timeout.count());
    switch (::WaitForSingleObject(mutex_, ms)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:  // the holder died without releasing it
        held_ = true;
        return Outcome::Acquired;
    case WAIT_TIMEOUT:
        return Outcome::TimedOut;
    default:
        return Outcome::Unprotected;
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
