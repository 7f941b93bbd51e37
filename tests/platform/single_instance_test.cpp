// The single-instance lock: a second holder times out while the first holds it, and goes on as
// soon as the first lets go. The second holder is on another thread, as the system's mutex is
// owned by a thread.
#include "both_systems.h"
#include "platform/SingleInstance.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

namespace quenlo::test {
namespace {

using namespace std::chrono_literals;
using platform::SingleInstance;

std::chrono::milliseconds Since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
}

// Acquire on a thread of its own, with the time it took.
SingleInstance::Outcome AcquireElsewhere(const std::string& place, std::chrono::milliseconds timeout,
                                         std::chrono::milliseconds* took = nullptr)
{
    SingleInstance::Outcome outcome = SingleInstance::Outcome::Unprotected;
    std::thread([&] {
        SingleInstance other(place);
        const auto start = std::chrono::steady_clock::now();
        outcome = other.Acquire(timeout, 10ms);
        if (took)
            *took = Since(start);
        EXPECT_EQ(other.Held(), outcome == SingleInstance::Outcome::Acquired);
    }).join();
    return outcome;
}

TEST(SingleInstance, SecondInstanceTimesOutWhileTheFirstRunsAndGetsItOnceReleased)
{
    const LockPlace place;
    SingleInstance first(place.Path());
    ASSERT_EQ(first.Acquire(0ms), SingleInstance::Outcome::Acquired);
    std::chrono::milliseconds took{};
    EXPECT_EQ(AcquireElsewhere(place.Path(), 300ms, &took), SingleInstance::Outcome::TimedOut);
    EXPECT_GE(took, 300ms);

    // Released (twice is harmless): the next one gets it at once.
    first.Release();
    first.Release();
    EXPECT_FALSE(first.Held());
    EXPECT_EQ(AcquireElsewhere(place.Path(), 0ms), SingleInstance::Outcome::Acquired);
}

TEST(SingleInstance, WaitingInstanceStartsAsSoonAsTheFirstEnds)
{
    const LockPlace place;
    auto first = std::make_unique<SingleInstance>(place.Path());
    ASSERT_EQ(first->Acquire(0ms), SingleInstance::Outcome::Acquired);
    std::chrono::milliseconds took{};
    std::thread waiting([&] { EXPECT_EQ(AcquireElsewhere(place.Path(), 10s, &took), SingleInstance::Outcome::Acquired); });
    std::this_thread::sleep_for(200ms);
    first.reset();  // destruction releases
    waiting.join();
    EXPECT_GE(took, 150ms);
    EXPECT_LT(took, 5s);
}

}  // namespace
}  // namespace quenlo::test
