#include "platform/EventLoop.h"
#include "platform/Wait.h"

#include "platform/posix/LoopInternal.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <system_error>

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace quenlo::platform {

namespace detail {

namespace {

// Every live target of the process and the queue it posts to. Leaked on purpose: workers and
// thread-exit code may still look targets up while static objects are being destroyed.
struct TargetRecord {
    std::shared_ptr<PostQueue> queue;
    Loop* owner = nullptr;
};
struct Registry {
    std::mutex mutex;
    std::unordered_map<HWND, TargetRecord> targets;
};
Registry& registry()
{
    static Registry* r = new Registry;
    return *r;
}

std::atomic<HWND> nextHandle{1};

HWND newHandle()
{
    HWND h = nextHandle.fetch_add(1);
    if (h == 0)  // after 2^32 targets; 0 means "none"
        h = nextHandle.fetch_add(1);
    return h;
}

[[noreturn]] void throwErrno(const char* what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

// Messages handled between two looks at epoll while the queue stays busy, so that a stream of
// posted messages cannot starve sockets and timers.
constexpr unsigned kHarvestEvery = 32;
// The shortest timer period, as on the platform the design comes from; 0 would spin.
constexpr unsigned kMinTimerMs = 10;

}  // namespace

void PostQueue::push(QueueEntry entry)
{
    std::lock_guard lock(mutex_);
    entries_.push_back(std::move(entry));
    if (entries_.size() == 1)
        signal();
}

bool PostQueue::pop(QueueEntry& entry)
{
    std::lock_guard lock(mutex_);
    if (entries_.empty())
        return false;
    entry = std::move(entries_.front());
    entries_.pop_front();
    if (entries_.empty())
        unsignal();
    return true;
}

std::size_t PostQueue::purge(const std::function<bool(const QueueEntry&)>& match)
{
    std::lock_guard lock(mutex_);
    const std::size_t before = entries_.size();
    std::erase_if(entries_, match);
    if (before != 0 && entries_.empty())
        unsignal();
    return before - entries_.size();
}

PostQueue::~PostQueue() { ::close(eventFd_); }

std::size_t PostQueue::size()
{
    std::lock_guard lock(mutex_);
    return entries_.size();
}

void PostQueue::signal()
{
    const std::uint64_t one = 1;
    // Cannot fail short of a counter overflow, which unsignal() prevents.
    [[maybe_unused]] ssize_t n = ::write(eventFd_, &one, sizeof one);
}

void PostQueue::unsignal()
{
    std::uint64_t value = 0;
    [[maybe_unused]] ssize_t n = ::read(eventFd_, &value, sizeof value);
}

Loop::Loop()
{
    epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    if (epollFd < 0)
        throwErrno("epoll_create1");
    eventFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (eventFd >= 0)
        queue = std::make_shared<PostQueue>(eventFd);
    timerFd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (eventFd < 0 || timerFd < 0)
        throwErrno("eventfd/timerfd_create");
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kEventFdKey;
    if (::epoll_ctl(epollFd, EPOLL_CTL_ADD, eventFd, &ev) != 0)
        throwErrno("epoll_ctl(eventfd)");
    ev.data.u64 = kTimerFdKey;
    if (::epoll_ctl(epollFd, EPOLL_CTL_ADD, timerFd, &ev) != 0)
        throwErrno("epoll_ctl(timerfd)");
}

Loop::~Loop()
{
    {
        std::lock_guard lock(registry().mutex);
        for (const auto& [hwnd, proc] : procs)
            registry().targets.erase(hwnd);
    }
    // Targets left alive when their thread ends die with it, and so do their lookups' answers.
    for (const auto& [hwnd, proc] : procs)
        ForgetTargetLookups(hwnd);
    DropLoopSockets(*this);
    // The eventfd belongs to the queue, which a poster on another thread may still hold.
    ::close(timerFd);
    ::close(epollFd);
}

void Loop::harvest(int timeoutMs)
{
    sinceHarvest = 0;
    epoll_event events[64];
    int n;
    do {
        n = ::epoll_wait(epollFd, events, 64, timeoutMs);
    } while (n < 0 && errno == EINTR && timeoutMs == 0);
    for (int i = 0; i < n; ++i) {
        const std::uint64_t key = events[i].data.u64;
        if (key == kEventFdKey)
            continue;  // queued messages: taken by PeekMessage
        if (key == kTimerFdKey) {
            std::uint64_t expirations = 0;
            [[maybe_unused]] ssize_t r = ::read(timerFd, &expirations, sizeof expirations);
            runDueTimers();
            continue;
        }
        HandleSocketReady(*this, key, events[i].events);
    }
}

void Loop::runDueTimers()
{
    const auto now = std::chrono::steady_clock::now();
    for (auto& [key, timer] : timers) {
        if (timer.due > now)
            continue;
        if (!timer.pending) {
            timer.pending = true;
            queue->push(QueueEntry{MSG{key.first, WM_TIMER, key.second, 0}, -1, true});
        }
        // A late loop does not get a burst of catch-up ticks.
        timer.due += std::chrono::milliseconds(timer.elapseMs);
        if (timer.due <= now)
            timer.due = now + std::chrono::milliseconds(timer.elapseMs);
    }
    rearmTimerFd();
}

void Loop::rearmTimerFd()
{
    itimerspec spec{};
    if (!timers.empty()) {
        auto earliest = timers.begin()->second.due;
        for (const auto& entry : timers)
            earliest = std::min(earliest, entry.second.due);
        // steady_clock is CLOCK_MONOTONIC here; a zero value would disarm, so never pass it.
        const auto ns = std::max<std::int64_t>(
            1, std::chrono::duration_cast<std::chrono::nanoseconds>(earliest.time_since_epoch()).count());
        spec.it_value.tv_sec = static_cast<time_t>(ns / 1000000000);
        spec.it_value.tv_nsec = static_cast<long>(ns % 1000000000);
    }
    ::timerfd_settime(timerFd, TFD_TIMER_ABSTIME, &spec, nullptr);
}

Loop& CurrentLoop()
{
    thread_local std::unique_ptr<Loop> loop = std::make_unique<Loop>();
    return *loop;
}

bool PostEntry(const QueueEntry& entry)
{
    std::shared_ptr<PostQueue> queue;
    {
        std::lock_guard lock(registry().mutex);
        auto it = registry().targets.find(entry.msg.hwnd);
        if (it == registry().targets.end())
            return false;
        queue = it->second.queue;
    }
    // The target may die between the look-up and the push; dispatch drops such a message.
    queue->push(entry);
    return true;
}

void PurgeQueued(HWND hwnd, const std::function<bool(const QueueEntry&)>& match)
{
    std::shared_ptr<PostQueue> queue;
    {
        std::lock_guard lock(registry().mutex);
        auto it = registry().targets.find(hwnd);
        if (it == registry().targets.end())
            return;
        queue = it->second.queue;
    }
    queue->purge(match);
}

}  // namespace detail

using detail::CurrentLoop;
using detail::Loop;
using detail::QueueEntry;

HWND CreateMessageTarget(WindowProc proc)
{
    Loop& loop = CurrentLoop();
    const HWND hwnd = detail::newHandle();
    loop.procs.emplace(hwnd, std::make_shared<WindowProc>(std::move(proc)));
    std::lock_guard lock(detail::registry().mutex);
    detail::registry().targets.emplace(hwnd, detail::TargetRecord{loop.queue, &loop});
    return hwnd;
}

void DestroyMessageTarget(HWND hwnd)
{
    Loop& loop = CurrentLoop();
    auto it = loop.procs.find(hwnd);
    if (it == loop.procs.end())
        return;  // dead already, or owned by another thread
    {
        std::lock_guard lock(detail::registry().mutex);
        detail::registry().targets.erase(hwnd);
    }
    // The procedure may be running right now (a target destroying itself): Dispatch holds its
    // own reference, so erasing ours is safe.
    loop.procs.erase(it);
    std::erase_if(loop.timers, [hwnd](const auto& entry) { return entry.first.first == hwnd; });
    loop.rearmTimerFd();
    loop.queue->purge([hwnd](const QueueEntry& e) { return e.msg.hwnd == hwnd; });
    detail::ForgetTargetLookups(hwnd);
}

bool IsMessageTarget(HWND hwnd)
{
    std::lock_guard lock(detail::registry().mutex);
    return detail::registry().targets.count(hwnd) != 0;
}

bool PostMessage(HWND hwnd, unsigned message, WPARAM wParam, LPARAM lParam)
{
    return detail::PostEntry(QueueEntry{MSG{hwnd, message, wParam, lParam}});
}

void PostQuitMessage(int exitCode)
{
    // Kept beside the queue rather than in it: like the platform this comes from, the quit message
    // is seen only once everything queued before and after it has been taken, and it does not make
    // the loop descriptor readable (a toolkit notifier would otherwise fire for it forever).
    Loop& loop = CurrentLoop();
    loop.quitPending = true;
    loop.quitCode = exitCode;
}

bool QuitPending() { return CurrentLoop().quitPending; }

bool PeekMessage(MSG& msg)
{
    Loop& loop = CurrentLoop();
    if (loop.queueEmpty() || ++loop.sinceHarvest >= detail::kHarvestEvery)
        loop.harvest(0);
    QueueEntry entry;
    if (!loop.queue->pop(entry)) {
        if (!loop.quitPending)
            return false;
        loop.quitPending = false;
        msg = MSG{0, WM_QUIT, static_cast<WPARAM>(loop.quitCode), 0};
        return true;
    }
    if (entry.timer) {
        auto it = loop.timers.find({entry.msg.hwnd, static_cast<unsigned>(entry.msg.wParam)});
        if (it != loop.timers.end())
            it->second.pending = false;
    }
    msg = entry.msg;
    return true;
}

LRESULT DispatchMessage(const MSG& msg)
{
    if (msg.message == WM_QUIT || msg.hwnd == 0)
        return 0;
    Loop& loop = CurrentLoop();
    auto it = loop.procs.find(msg.hwnd);
    if (it == loop.procs.end())
        return 0;
    std::shared_ptr<WindowProc> proc = it->second;  // survives the target destroying itself
    if (!*proc)
        return 0;
    return (*proc)(msg.hwnd, msg.message, msg.wParam, msg.lParam);
}

void ProcessLoopMessages(std::chrono::milliseconds budget)
{
    const WaitClock::time_point end = DeadlineAfter(budget);
    for (;;) {
        MSG msg;
        if (Passed(end) || !PeekMessage(msg))
            return;
        // PeekMessage gives the quit only once the queue is empty: this pass is over, and the
        // quit stays pending for the outer loop.
        if (msg.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(msg.wParam));
            return;
        }
        DispatchMessage(msg);
    }
}

void ProcessPendingMessages()
{
    Loop& loop = CurrentLoop();
    if (loop.pump.processPending) {
        // Copy: the pump may be replaced from inside its own call.
        auto process = loop.pump.processPending;
        process();
    } else {
        ProcessLoopMessages();
    }
}

namespace {

void Wait(std::chrono::milliseconds timeout, bool throughToolkit)
{
    Loop& loop = CurrentLoop();
    if (loop.quitPending || !loop.queueEmpty()) {
        if (throughToolkit)
            ProcessPendingMessages();
        else
            ProcessLoopMessages();
        return;
    }
    if (throughToolkit && loop.pump.waitForMore) {
        auto wait = loop.pump.waitForMore;
        wait(timeout);
        return;
    }
    using clock = std::chrono::steady_clock;
    const bool bounded = timeout.count() >= 0;
    const auto deadline = clock::now() + (bounded ? timeout : std::chrono::milliseconds(0));
    // Wake-ups that produce no message (a disarmed socket, a timer checked a hair early) go back
    // to sleep instead of returning, so callers looping on this never spin.
    while (loop.queueEmpty()) {
        int waitMs = -1;
        if (bounded) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now());
            if (left.count() <= 0)
                break;
            waitMs = static_cast<int>(std::min<std::int64_t>(left.count(), 1 << 30));
        }
        loop.harvest(waitMs);
    }
    ProcessLoopMessages();
}

}  // namespace

void WaitAndProcess(std::chrono::milliseconds timeout) { Wait(timeout, true); }
void WaitAndProcessLoop(std::chrono::milliseconds timeout) { Wait(timeout, false); }

bool SetTimer(HWND hwnd, unsigned id, unsigned elapseMs)
{
    Loop& loop = CurrentLoop();
    if (loop.procs.count(hwnd) == 0)
        return false;
    detail::Timer& timer = loop.timers[{hwnd, id}];
    timer.elapseMs = std::max(elapseMs, detail::kMinTimerMs);
    timer.due = std::chrono::steady_clock::now() + std::chrono::milliseconds(timer.elapseMs);
    loop.rearmTimerFd();
    return true;
}

bool KillTimer(HWND hwnd, unsigned id)
{
    Loop& loop = CurrentLoop();
    if (loop.timers.erase({hwnd, id}) == 0)
        return false;
    loop.rearmTimerFd();
    // A tick already queued would arrive after the kill: take it back.
    loop.queue->purge([hwnd, id](const QueueEntry& e) {
        return e.timer && e.msg.hwnd == hwnd && e.msg.wParam == id;
    });
    return true;
}

int LoopDescriptor() { return CurrentLoop().epollFd; }

void SetToolkitPump(ToolkitPump pump) { CurrentLoop().pump = std::move(pump); }

LoopCounts CurrentLoopCounts()
{
    Loop& loop = CurrentLoop();
    LoopCounts counts;
    counts.targets = loop.procs.size();
    counts.timers = loop.timers.size();
    counts.queued = loop.queue->size();
    counts.watchedSockets = detail::LoopSocketCount(loop);
    return counts;
}

}  // namespace quenlo::platform
