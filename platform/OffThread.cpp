#include "platform/OffThread.h"

#include "platform/EventLoop.h"
#include "platform/Wait.h"

#include <atomic>
#include <memory>
#include <system_error>
#include <thread>

namespace quenlo::platform {

namespace {

// Shared by the worker and the waiting thread: whichever lets go last frees it.
struct Job {
    std::function<void()> work;
    std::atomic<bool> done{false};
};

}  // namespace

bool RunOffThread(std::function<void()> work)
{
    auto job = std::make_shared<Job>();
    job->work = std::move(work);
    // The wake-up only ends the loop's sleep; the flag is what the wait looks at.
    const HWND wake = CreateMessageTarget([](HWND, unsigned, WPARAM, LPARAM) -> LRESULT { return 0; });
    try {
        std::thread([job, wake] {
            job->work();
            job->work = nullptr;  // what it captured goes with the worker, not with the waiter
            job->done = true;
            PostMessage(wake, WM_USER, 0, 0);
        }).detach();
    } catch (const std::system_error&) {
        DestroyMessageTarget(wake);
        return false;
    }
    const WaitEnd end = WaitUntil([&job] { return job->done.load(); });
    DestroyMessageTarget(wake);
    return end == WaitEnd::Done;
}

bool StartOffThread(std::function<void()> work, HWND target, unsigned message)
{
    try {
        std::thread([work = std::move(work), target, message]() mutable {
            work();
            work = nullptr;  // what it captured goes with the worker
            PostMessage(target, message, 0, 0);
        }).detach();
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

}  // namespace quenlo::platform
