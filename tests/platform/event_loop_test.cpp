// The event loop: posted messages, targets, timers, quit and waiting, the same on both systems.
#include "loop_fixture.h"

#include "platform/OffThread.h"
#include "platform/Wait.h"

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>

namespace quenlo::test {
namespace {

using namespace std::chrono_literals;
using platform::WM_QUIT;
using platform::WM_TIMER;
using platform::WM_USER;

using EventLoopTest = LoopTest;

TEST_F(EventLoopTest, MessagesPostedFromManyThreadsArriveEachInItsOwnOrder)
{
    RecordingTarget target;
    constexpr int kThreads = 4;
    constexpr int kEach = 2000;
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([&target, t] {
            for (int i = 0; i < kEach; ++i)
                ASSERT_TRUE(platform::PostMessage(target.hwnd, WM_USER + 1, static_cast<platform::WPARAM>(t), i));
        });
    }
    for (auto& p : posters)
        p.join();
    ASSERT_TRUE(runUntil([&] { return target.got.size() == kThreads * kEach; }));

    std::vector<platform::LPARAM> next(kThreads, 0);
    for (const auto& r : target.got)
        EXPECT_EQ(r.lParam, next[r.wParam]++) << "from thread " << r.wParam;
}

TEST_F(EventLoopTest, MessagesToADestroyedTargetAreDroppedAndHandlesAreNeverReused)
{
    RecordingTarget kept;
    int calls = 0;
    const platform::HWND doomed = platform::CreateMessageTarget(
        [&](platform::HWND, unsigned, platform::WPARAM, platform::LPARAM) -> platform::LRESULT {
            ++calls;
            return 0;
        });
    ASSERT_NE(doomed, 0u);
    platform::PostMessage(doomed, WM_USER, 1, 0);
    platform::PostMessage(kept.hwnd, WM_USER, 2, 0);
    platform::PostMessage(doomed, WM_USER, 3, 0);
    platform::DestroyMessageTarget(doomed);

    EXPECT_FALSE(platform::IsMessageTarget(doomed));
    EXPECT_FALSE(platform::PostMessage(doomed, WM_USER, 4, 0));
    platform::ProcessLoopMessages();
    EXPECT_EQ(calls, 0);
    ASSERT_EQ(kept.got.size(), 1u);
    EXPECT_EQ(kept.got[0].wParam, 2u);

    for (int i = 0; i < 100; ++i) {
        const platform::HWND h = platform::CreateMessageTarget({});
        EXPECT_NE(h, doomed);
        EXPECT_FALSE(platform::PostMessage(doomed, WM_USER, 5, 0));
        platform::DestroyMessageTarget(h);
    }
    // A dispatched message for a dead handle returns 0 and runs nothing.
    EXPECT_EQ(platform::DispatchMessage({doomed, WM_USER, 0, 0}), 0);
    EXPECT_EQ(calls, 0);
}

TEST_F(EventLoopTest, ATargetMayDestroyItselfInsideItsProcedure)
{
    int calls = 0;
    platform::HWND self = 0;
    self = platform::CreateMessageTarget([&](platform::HWND h, unsigned, platform::WPARAM, platform::LPARAM) {
        ++calls;
        platform::DestroyMessageTarget(h);
        return platform::LRESULT{7};
    });
    platform::PostMessage(self, WM_USER, 0, 0);
    platform::PostMessage(self, WM_USER, 1, 0);
    platform::ProcessLoopMessages();
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(platform::IsMessageTarget(self));
}

TEST_F(EventLoopTest, NestedPumpingDispatchesEachMessageOnceInOrder)
{
    RecordingTarget target;
    target.onMessage = [&](unsigned, platform::WPARAM w, platform::LPARAM) {
        if (w == 0)
            platform::ProcessPendingMessages();  // a blocking call pumping inside a handler
    };
    for (platform::WPARAM i = 0; i < 5; ++i)
        platform::PostMessage(target.hwnd, WM_USER, i, 0);
    platform::ProcessLoopMessages();
    ASSERT_EQ(target.got.size(), 5u);
    for (platform::WPARAM i = 0; i < 5; ++i)
        EXPECT_EQ(target.got[i].wParam, i);
}

TEST_F(EventLoopTest, TimersFireRepeatedlyKeepOnePendingAndStopWhenKilled)
{
    RecordingTarget target;
    ASSERT_TRUE(platform::SetTimer(target.hwnd, 7, 20));
    ASSERT_TRUE(runUntil([&] { return target.count(WM_TIMER) >= 3; }, 10s));
    for (const auto& r : target.got)
        EXPECT_EQ(r.wParam, 7u);

    // Not pumping for many periods still leaves a single tick waiting. A second one is due only
    // when a whole period passed between the two looks, as it may on a loaded machine.
    std::this_thread::sleep_for(150ms);
    platform::MSG msg;
    const auto firstLook = std::chrono::steady_clock::now();
    ASSERT_TRUE(platform::PeekMessage(msg));
    EXPECT_EQ(msg.message, WM_TIMER);
    const bool another = platform::PeekMessage(msg);
    if (std::chrono::steady_clock::now() - firstLook < 20ms) {
        EXPECT_FALSE(another);
    }

    // A tick already due when the timer is killed never arrives.
    std::this_thread::sleep_for(40ms);
    EXPECT_TRUE(platform::KillTimer(target.hwnd, 7));
    EXPECT_FALSE(platform::KillTimer(target.hwnd, 7));
    const std::size_t before = target.got.size();
    runFor(100ms);
    EXPECT_EQ(target.got.size(), before);

    EXPECT_FALSE(platform::SetTimer(0xFFFFFFF0u, 1, 10)) << "dead target";
}

TEST_F(EventLoopTest, DestroyingATargetKillsItsTimers)
{
    auto target = std::make_unique<RecordingTarget>();
    ASSERT_TRUE(platform::SetTimer(target->hwnd, 1, 10));
    ASSERT_TRUE(platform::SetTimer(target->hwnd, 2, 10));
    EXPECT_EQ(platform::CurrentLoopCounts().timers, 2u);
    target.reset();
    EXPECT_EQ(platform::CurrentLoopCounts().timers, 0u);
}

TEST_F(EventLoopTest, QuitIsSeenAfterQueuedMessagesAndStopsWaiting)
{
    RecordingTarget target;
    platform::PostMessage(target.hwnd, WM_USER, 1, 0);
    platform::PostQuitMessage(3);
    platform::PostMessage(target.hwnd, WM_USER, 2, 0);

    platform::ProcessLoopMessages();
    EXPECT_EQ(target.got.size(), 2u) << "messages queued around the quit are all dispatched";

    // The quit stays pending for the outer loop (looking does not take it): waiting returns at once.
    EXPECT_TRUE(platform::QuitPending());
    EXPECT_TRUE(platform::QuitPending());
    const auto start = std::chrono::steady_clock::now();
    platform::WaitAndProcess(10s);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);

    platform::MSG msg;
    ASSERT_TRUE(platform::PeekMessage(msg));
    EXPECT_EQ(msg.message, WM_QUIT);
    EXPECT_EQ(msg.wParam, 3u);
    EXPECT_EQ(platform::DispatchMessage(msg), 0);
    EXPECT_FALSE(platform::PeekMessage(msg));
}

TEST_F(EventLoopTest, WaitWakesForAnotherThreadsPostAndHonoursItsTimeout)
{
    RecordingTarget target;
    std::thread poster([&] {
        std::this_thread::sleep_for(50ms);
        platform::PostMessage(target.hwnd, WM_USER, 9, 0);
    });
    platform::WaitAndProcess(5s);
    poster.join();
    ASSERT_EQ(target.got.size(), 1u);

    const auto start = std::chrono::steady_clock::now();
    platform::WaitAndProcess(60ms);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, 55ms);
    EXPECT_LT(waited, 2s);
}

TEST_F(EventLoopTest, WaitUntilEndsAtItsConditionItsDeadlineOrAPendingQuit)
{
    RecordingTarget target;
    std::thread poster([&] {
        std::this_thread::sleep_for(30ms);
        platform::PostMessage(target.hwnd, WM_USER, 1, 0);
    });
    const auto got = [&] { return !target.got.empty(); };
    EXPECT_EQ(platform::WaitUntil(got, platform::DeadlineAfter(5s)), platform::WaitEnd::Done);
    poster.join();
    EXPECT_EQ(platform::WaitUntil([] { return false; }, platform::DeadlineAfter(20ms)),
              platform::WaitEnd::TimedOut);

    platform::PostQuitMessage(4);
    EXPECT_EQ(platform::WaitUntil(got), platform::WaitEnd::Done) << "a true condition wins";
    EXPECT_EQ(platform::WaitUntil([] { return false; }), platform::WaitEnd::Quit);
    EXPECT_EQ(platform::WaitUntil([] { return false; }), platform::WaitEnd::Quit) << "still pending";
    platform::MSG msg;
    ASSERT_TRUE(platform::PeekMessage(msg));
    EXPECT_EQ(msg.message, WM_QUIT);
    EXPECT_FALSE(platform::QuitPending());
}

// Work that blocks (a keyring waiting for its unlock prompt) runs on a thread of its own while this
// thread's loop goes on: here the work can end only once this thread's timer has fired. A quit ends
// the wait at once, and the work finishes alone.
TEST_F(EventLoopTest, RunOffThreadKeepsTheLoopGoingUntilTheWorkEnds)
{
    RecordingTarget ticker;
    std::promise<void> ticked;
    std::shared_future<void> tick = ticked.get_future().share();
    ticker.onMessage = [&](unsigned m, platform::WPARAM id, platform::LPARAM) {
        if (m == WM_TIMER && platform::KillTimer(ticker.hwnd, static_cast<unsigned>(id)))
            ticked.set_value();
    };
    ASSERT_TRUE(platform::SetTimer(ticker.hwnd, 1, 20));
    bool sawTheTick = false;
    EXPECT_TRUE(platform::RunOffThread([tick, &sawTheTick] { sawTheTick = tick.wait_for(10s) == std::future_status::ready; }));
    EXPECT_TRUE(sawTheTick);

    auto gate = std::make_shared<std::promise<void>>();
    platform::PostQuitMessage(0);
    EXPECT_FALSE(platform::RunOffThread([open = gate->get_future().share()] { open.wait_for(10s); }));
    gate->set_value();
    platform::MSG msg;
    ASSERT_TRUE(platform::PeekMessage(msg));
    EXPECT_EQ(msg.message, WM_QUIT);
}

TEST_F(EventLoopTest, EachThreadHasItsOwnLoop)
{
    RecordingTarget mine;
    std::atomic<int> workerGot{0};
    std::atomic<platform::HWND> workerTarget{0};
    std::atomic<bool> stop{false};
    std::thread worker([&] {
        const platform::HWND h = platform::CreateMessageTarget(
            [&](platform::HWND, unsigned m, platform::WPARAM, platform::LPARAM) -> platform::LRESULT {
                if (m == WM_USER)
                    ++workerGot;
                return 0;
            });
        workerTarget = h;
        while (!stop)
            platform::WaitAndProcess(20ms);
        platform::DestroyMessageTarget(h);
        EXPECT_EQ(platform::CurrentLoopCounts().targets, 0u);
    });
    ASSERT_TRUE(runUntil([&] { return workerTarget != 0; }, 5s));
    EXPECT_NE(workerTarget.load(), mine.hwnd);
    // Another thread's target cannot be destroyed from here.
    platform::DestroyMessageTarget(workerTarget);
    EXPECT_TRUE(platform::IsMessageTarget(workerTarget));
    platform::PostMessage(workerTarget, WM_USER, 0, 0);
    ASSERT_TRUE(runUntil([&] { return workerGot == 1; }, 5s));
    stop = true;
    worker.join();
    EXPECT_FALSE(platform::IsMessageTarget(workerTarget));
    EXPECT_TRUE(mine.got.empty());

    // A thread that ends with a target, a timer and a watched socket left takes them with it (and
    // the next thread starts afresh).
    for (int round = 0; round < 4; ++round) {
        platform::HWND left = 0;
        platform::ws::SOCKET s = platform::ws::INVALID_SOCKET;
        std::thread([&] {
            EXPECT_EQ(platform::CurrentLoopCounts().targets, 0u);
            left = platform::CreateMessageTarget(
                [](platform::HWND, unsigned, platform::WPARAM, platform::LPARAM) -> platform::LRESULT { return 0; });
            EXPECT_TRUE(platform::SetTimer(left, 1, 10));
            s = platform::ws::socket(AF_INET, SOCK_STREAM, 0);
            EXPECT_EQ(platform::ws::WSAAsyncSelect(s, left, WM_USER, platform::ws::FD_READ), 0);
            EXPECT_EQ(platform::CurrentLoopCounts().watchedSockets, 1u);
        }).join();
        EXPECT_FALSE(platform::IsMessageTarget(left));
        EXPECT_FALSE(platform::PostMessage(left, WM_USER, 0, 0));
        EXPECT_EQ(platform::ws::closesocket(s), 0);
    }
}

}  // namespace
}  // namespace quenlo::test
