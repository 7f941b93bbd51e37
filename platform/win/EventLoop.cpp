// The event loop on Windows is the thread's own message queue: every message target is a
// message-only window of one class, PostMessage is PostMessageW, timers are SetTimer, and the pump
// is PeekMessageW / TranslateMessage / DispatchMessageW. Messages of the thread's other windows
// (the program's own window) are dispatched by the same pump, so a blocking wait keeps them live:
// wide, so that typed characters outside the ANSI code page reach them whole, and keys through
// the dialog navigation of their top window, so that Tab and the arrows work during a request as
// they do in the program's own loop.
#include "platform/Wait.h"
#include "platform/win/Win32.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <unordered_map>
#include <utility>

namespace quenlo::platform {

namespace {

constexpr const wchar_t* kClassName = L"XSocketWindowClass";

struct Target {
    ::HWND window = nullptr;
    std::shared_ptr<WindowProc> proc;
};

// Targets are per thread; the id -> window table is process-wide so that any thread may post.
struct Registry {
    std::mutex mutex;
    std::unordered_map<HWND, ::HWND> windows;
    std::atomic<HWND> next{1};
};

Registry& registry()
{
    static Registry* r = new Registry;  // outlives every thread's clean-up
    return *r;
}

// A target leaves the process-wide table, its lookups and its window (and the window's timers).
void Unlist(HWND id, ::HWND window)
{
    {
        std::lock_guard lock(registry().mutex);
        registry().windows.erase(id);
    }
    win::ForgetTargetLookups(id);
    // Messages still queued for the window are dropped by the pump.
    ::DestroyWindow(window);
}

struct ThreadTargets {
    std::unordered_map<HWND, Target> targets;
    std::set<std::pair<HWND, unsigned>> timers;
    ToolkitPump pump;

    // The thread has ended with targets left: they go as DestroyMessageTarget takes them. The table
    // is emptied first, as procedures released here may destroy their targets themselves.
    ~ThreadTargets()
    {
        const auto left = std::exchange(targets, {});
        timers.clear();
        for (const auto& [id, target] : left)
            Unlist(id, target.window);
    }
};

ThreadTargets& threadTargets() { return win::ThisThread<ThreadTargets>(); }

// Looks without making the thread's targets: also called while they are being freed.
Target* FindTarget(HWND id)
{
    ThreadTargets* t = win::ThisThreadsIfMade<ThreadTargets>();
    if (!t)
        return nullptr;
    auto it = t->targets.find(id);
    return it == t->targets.end() ? nullptr : &it->second;
}

// Only what the layer's users send reaches a window procedure: timer ticks and the private
// messages from WM_USER on. The system's own window messages get the default handling.
bool ForTarget(unsigned message) { return message == WM_TIMER || message >= WM_USER; }

HWND TargetOf(::HWND window)
{
    if (!window)
        return 0;
    const auto id = static_cast<HWND>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    const Target* target = FindTarget(id);
    return (target && target->window == window) ? id : 0;
}

LRESULT CALLBACK TargetWindowProc(::HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    const HWND id = ForTarget(message) ? TargetOf(window) : 0;
    if (id == 0)
        return ::DefWindowProcW(window, message, wParam, lParam);
    // The procedure may destroy its own target: hold it for the call.
    std::shared_ptr<WindowProc> proc = FindTarget(id)->proc;
    return (*proc)(id, message, wParam, lParam);
}

bool RegisterTargetClass()
{
    static const bool registered = [] {
        WNDCLASSW wc{};
        wc.lpfnWndProc = TargetWindowProc;
        wc.hInstance = ::GetModuleHandleW(nullptr);
        wc.lpszClassName = kClassName;
        return ::RegisterClassW(&wc) != 0 || ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    }();
    return registered;
}

// A message for one of the thread's own windows. Keys go through the dialog navigation of the
// window's top window first (Tab, the arrows, Enter and Escape), as in the program's own loop.
void DispatchWindowMessage(::MSG& m)
{
    const bool key = m.message >= WM_KEYFIRST && m.message <= WM_KEYLAST;
    if (key && m.hwnd) {
        if (::HWND top = ::GetAncestor(m.hwnd, GA_ROOT); top && ::IsDialogMessageW(top, &m))
            return;
    }
    ::TranslateMessage(&m);
    ::DispatchMessageW(&m);
}

}  // namespace

namespace win {

::HWND NativeWindow(HWND hwnd)
{
    const Target* target = FindTarget(hwnd);
    return target ? target->window : nullptr;
}

void PurgeQueued(::HWND window, unsigned message, WPARAM wParam)
{
    std::vector<::MSG> kept;
    ::MSG m;
    while (::PeekMessageW(&m, window, message, message, PM_REMOVE | PM_NOYIELD)) {
        if (m.wParam != wParam)
            kept.push_back(m);
    }
    for (const ::MSG& k : kept)
        ::PostMessageW(k.hwnd, k.message, k.wParam, k.lParam);
}

}  // namespace win

HWND CreateMessageTarget(WindowProc proc)
{
    if (!RegisterTargetClass())
        return 0;
    ::HWND window = ::CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, kMessageOnlyParent, nullptr,
                                      ::GetModuleHandleW(nullptr), nullptr);
    if (!window)
        return 0;
    const HWND id = registry().next++;
    ::SetWindowLongPtrW(window, GWLP_USERDATA, static_cast<LONG_PTR>(id));
    threadTargets().targets[id] = Target{window, std::make_shared<WindowProc>(std::move(proc))};
    std::lock_guard lock(registry().mutex);
    registry().windows[id] = window;
    return id;
}

void DestroyMessageTarget(HWND hwnd)
{
    const Target* target = FindTarget(hwnd);
    if (!target)
        return;  // dead already, or owned by another thread
    const ::HWND window = target->window;
    ThreadTargets& t = threadTargets();
    t.targets.erase(hwnd);
    std::erase_if(t.timers, [hwnd](const auto& timer) { return timer.first == hwnd; });
    Unlist(hwnd, window);
}

bool IsMessageTarget(HWND hwnd)
{
    std::lock_guard lock(registry().mutex);
    return registry().windows.count(hwnd) != 0;
}

bool PostMessage(HWND hwnd, unsigned message, WPARAM wParam, LPARAM lParam)
{
    std::lock_guard lock(registry().mutex);
    auto it = registry().windows.find(hwnd);
    return it != registry().windows.end() && ::PostMessageW(it->second, message, wParam, lParam) != 0;
}

void PostQuitMessage(int exitCode) { ::PostQuitMessage(exitCode); }

// The system keeps the quit as a flag; a peek for WM_QUIT alone sees it without taking it.
bool QuitPending()
{
    ::MSG m;
    return ::PeekMessageW(&m, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE | PM_NOYIELD) != 0;
}

bool PeekMessage(MSG& msg)
{
    ::MSG m;
    while (::PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
        if (m.message == WM_QUIT) {
            msg = MSG{0, WM_QUIT, m.wParam, 0};
            return true;
        }
        const HWND id = ForTarget(m.message) ? TargetOf(m.hwnd) : 0;
        if (id != 0) {
            msg = MSG{id, m.message, m.wParam, m.lParam};
            return true;
        }
        DispatchWindowMessage(m);
    }
    return false;
}

LRESULT DispatchMessage(const MSG& msg)
{
    if (msg.message == WM_QUIT)
        return 0;
    const Target* target = FindTarget(msg.hwnd);
    if (!target)
        return 0;
    std::shared_ptr<WindowProc> proc = target->proc;
    return (*proc)(msg.hwnd, msg.message, msg.wParam, msg.lParam);
}

void ProcessLoopMessages(std::chrono::milliseconds budget)
{
    const WaitClock::time_point end = DeadlineAfter(budget);
    MSG msg;
    while (!Passed(end) && PeekMessage(msg)) {
        if (msg.message == WM_QUIT) {
            ::PostQuitMessage(static_cast<int>(msg.wParam));  // for the outer loop
            return;
        }
        DispatchMessage(msg);
    }
}

void ProcessPendingMessages()
{
    const ToolkitPump& pump = threadTargets().pump;
    if (pump.processPending)
        pump.processPending();
    else
        ProcessLoopMessages();
}

void WaitAndProcess(std::chrono::milliseconds timeout)
{
    const ToolkitPump& pump = threadTargets().pump;
    if (pump.waitForMore) {
        pump.waitForMore(timeout);
        return;
    }
    WaitAndProcessLoop(timeout);
}

void WaitAndProcessLoop(std::chrono::milliseconds timeout)
{
    const DWORD ms = timeout.count() < 0
                         ? INFINITE
                         : static_cast<DWORD>(std::min<std::chrono::milliseconds::rep>(timeout.count(), INFINITE - 1));
    // MWMO_INPUTAVAILABLE: messages already seen by an earlier peek count too, so none is slept on.
    ::MsgWaitForMultipleObjectsEx(0, nullptr, ms, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    ProcessLoopMessages();
}

bool SetTimer(HWND hwnd, unsigned id, unsigned elapseMs)
{
    ::HWND window = win::NativeWindow(hwnd);
    if (!window || ::SetTimer(window, id, std::max(elapseMs, 10u), nullptr) == 0)
        return false;
    threadTargets().timers.insert({hwnd, id});
    return true;
}

bool KillTimer(HWND hwnd, unsigned id)
{
    ::HWND window = win::NativeWindow(hwnd);
    if (!window || threadTargets().timers.erase({hwnd, id}) == 0)
        return false;
    ::KillTimer(window, id);
    return true;
}

// No descriptor on Windows: the thread's message queue is the loop.
int LoopDescriptor() { return -1; }

void SetToolkitPump(ToolkitPump pump) { threadTargets().pump = std::move(pump); }

LoopCounts CurrentLoopCounts()
{
    LoopCounts counts;
    counts.targets = threadTargets().targets.size() - win::OwnTargetCount();
    counts.timers = threadTargets().timers.size();
    // The queue does not tell its length: 1 stands for "something is queued".
    counts.queued = (HIWORD(::GetQueueStatus(QS_POSTMESSAGE)) & QS_POSTMESSAGE) ? 1 : 0;
    counts.watchedSockets = win::RegisteredSocketCount();
    return counts;
}

}  // namespace quenlo::platform
