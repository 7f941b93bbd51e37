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

// Acquire on a thread of its own; `ended` is when it returned.
SingleInstance::Outcome AcquireElsewhere(const std::string& place, std::chrono::milliseconds timeout,
                                         std::chrono::steady_clock::time_point* ended = nullptr)
{
    SingleInstance::Outcome outcome = SingleInstance::Outcome::Unprotected;
    std::thread([&] {
        SingleInstance other(place);
        outcome = other.Acquire(timeout, 10ms);
        if (ended)
            *ended = std::chrono::steady_clock::now();
        EXPECT_EQ(other.Held(), outcome == SingleInstance::Outcome::Acquired);
    }).join();
    return outcome;
}

TEST(SingleInstance, SecondInstanceTimesOutWhileTheFirstRunsAndGetsItOnceReleased)
{
    const LockPlace place;
    SingleInstance first(place.Path());
    ASSERT_EQ(first.Acquire(0ms), SingleInstance::Outcome::Acquired);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(AcquireElsewhere(place.Path(), 300ms), SingleInstance::Outcome::TimedOut);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);

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
    std::chrono::steady_clock::time_point acquired;
    std::thread waiting([&] { EXPECT_EQ(AcquireElsewhere(place.Path(), 10s, &acquired), SingleInstance::Outcome::Acquired); });
    std::this_thread::sleep_for(200ms);
    const auto released = std::chrono::steady_clock::now();
    first.reset();  // destruction releases
    waiting.join();
    EXPECT_GE(acquired, released) << "not before the first instance ended";
    EXPECT_LT(acquired - released, 5s) << "as soon as it ended, not at the time limit";
}

}  // namespace
}  // namespace quenlo::test
