#include "platform/Wait.h"

#include "platform/EventLoop.h"

#include <algorithm>

namespace quenlo::platform {

const char* to_string(WaitEnd end) noexcept
{
    switch (end) {
    case WaitEnd::Done: return "Done";
    case WaitEnd::TimedOut: return "TimedOut";
    case WaitEnd::Quit: return "Quit";
    }
    return "?";
}

WaitClock::time_point DeadlineAfter(std::chrono::milliseconds timeout)
{
    if (timeout.count() <= 0)
        return kNoDeadline;
    const WaitClock::time_point now = WaitClock::now();
    // A timeout beyond the clock's range (milliseconds::max) is no deadline, not an overflow.
    return timeout < std::chrono::duration_cast<std::chrono::milliseconds>(kNoDeadline - now) ? now + timeout : kNoDeadline;
}

WaitEnd WaitUntil(const std::function<bool()>& done, WaitClock::time_point deadline)
{
    for (;;) {
        if (done())
            return WaitEnd::Done;
        // Looked at before sleeping: the loop's own pass stops in front of a quit, so a wait
        // that went on sleeping would wake at once, again and again.
        if (QuitPending())
            return WaitEnd::Quit;
        std::chrono::milliseconds sleep(-1);
        if (deadline != kNoDeadline) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - WaitClock::now());
            if (left.count() <= 0)
                return WaitEnd::TimedOut;
            sleep = std::min<std::chrono::milliseconds>(left, std::chrono::milliseconds(1 << 30));
        }
        WaitAndProcess(sleep);
    }
}

}  // namespace quenlo::platform
