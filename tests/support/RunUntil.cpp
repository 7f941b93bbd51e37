#include "support/RunUntil.h"

#include "platform/EventLoop.h"

#include <algorithm>

namespace quenlo::test {

namespace {
constexpr std::chrono::milliseconds kSlice(10);
}

bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return done();
        platform::WaitAndProcess(std::min(left, kSlice));
    }
    return true;
}

void runFor(std::chrono::milliseconds period)
{
    runUntil([] { return false; }, period);
}

}  // namespace quenlo::test
