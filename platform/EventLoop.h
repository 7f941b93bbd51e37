// The per-thread event loop: message targets ("hidden windows"), posted messages, timers and the
// pump that the socket layer, the HTTP client and the window all share.
//
// Each thread that uses this header owns one loop, created on first use: an epoll descriptor that
// watches the sockets registered with WSAAsyncSelect (platform/Winsock.h), one eventfd that wakes it
// for posted messages, and one timerfd for SetTimer. Readiness of a socket or a due timer is turned
// into an ordinary message in the thread's queue, so everything reaches a window procedure one
// message at a time, in the order it was queued.
//
// Threads: PostMessage may be called from any thread. Everything else acts on the calling thread's
// own loop and queue, and a message target may only be created, used and destroyed on its thread.
//
// Re-entrancy: a window procedure may destroy its own target, create others, post, and pump again
// (ProcessPendingMessages / WaitAndProcess nest). A message whose target is gone is dropped.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

namespace quenlo::platform {

using HWND = std::uint32_t;     // a message target; 0 is "none"
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;

constexpr unsigned WM_QUIT = 0x0012;
constexpr unsigned WM_TIMER = 0x0113;
constexpr unsigned WM_USER = 0x0400;

struct MSG {
    HWND hwnd = 0;
    unsigned message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
};

using WindowProc = std::function<LRESULT(HWND hwnd, unsigned message, WPARAM wParam, LPARAM lParam)>;

// Creates a message target owned by the calling thread. Handles are never reused within a process,
// so a message posted to a destroyed target cannot reach a new one.
HWND CreateMessageTarget(WindowProc proc);
// Destroys the target; messages still queued for it are dropped when they come up. Safe from inside
// its own window procedure.
void DestroyMessageTarget(HWND hwnd);
bool IsMessageTarget(HWND hwnd);

// Appends a message to the queue of the thread that owns hwnd and wakes that thread.
// Thread-safe. Returns false (and queues nothing) when hwnd is not a live target.
bool PostMessage(HWND hwnd, unsigned message, WPARAM wParam, LPARAM lParam);
// Queues WM_QUIT (hwnd 0, wParam = exitCode) on the calling thread. The quit is a flag beside
// the queue: PeekMessage returns it once every other message has been taken, and it does not make
// LoopDescriptor() readable.
void PostQuitMessage(int exitCode);
// True while a quit queued on this thread has not been taken by PeekMessage.
bool QuitPending();

// Takes the next message of the calling thread's queue without waiting, after turning ready
// sockets and due timers into messages. False when there is none.
bool PeekMessage(MSG& msg);
// Runs the target's window procedure; a message for a destroyed target, or WM_QUIT, returns 0.
LRESULT DispatchMessage(const MSG& msg);

// Dispatches every message of this loop that is pending now (including those that become ready
// while it runs, up to an empty queue) and returns. A WM_QUIT met here is put back and ends the
// pass, so an outer loop sees it. Never calls the toolkit pump: this is what the toolkit's notifier
// on LoopDescriptor() runs. With a budget the pass also ends once that much time has gone, the
// rest left pending (LoopDescriptor() stays readable): answers that keep arriving, each starting
// the next request, would otherwise hold the toolkit's own events back until the last one.
void ProcessLoopMessages(std::chrono::milliseconds budget = std::chrono::milliseconds::max());
// "Process all pending messages of the application": the toolkit pump's processPending when one is
// installed (it reaches ProcessLoopMessages through its notifier), else ProcessLoopMessages.
void ProcessPendingMessages();
// Sleeps until at least one message is pending (a posted message, a socket event, a due timer,
// or, with a toolkit pump installed, user input) or the timeout passes, then processes what is
// pending. A negative timeout waits without bound. Never spins.
void WaitAndProcess(std::chrono::milliseconds timeout = std::chrono::milliseconds(-1));
// The same, with only this loop's own messages: never the toolkit's pump, so no user input and no
// toolkit event runs meanwhile (for a wait at the program's end, when the window is gone).
void WaitAndProcessLoop(std::chrono::milliseconds timeout);

// Timers: after every `elapseMs`, WM_TIMER (wParam = id) is queued for hwnd, at most one pending at
// a time per timer. Setting an existing id re-arms it. Returns false for a dead target. Periods
// below 10 ms count as 10 ms. KillTimer also takes back a tick already queued, and destroying the
// target kills its timers.
bool SetTimer(HWND hwnd, unsigned id, unsigned elapseMs);
bool KillTimer(HWND hwnd, unsigned id);

// The calling thread's epoll descriptor: readable whenever there is work for ProcessPendingMessages.
// The Qt program watches it with a QSocketNotifier.
int LoopDescriptor();

// A GUI toolkit that owns the thread's main loop installs its pump here (app/ does, for Qt):
// processPending must process the toolkit's pending events, which includes calling
// ProcessLoopMessages via its notifier on LoopDescriptor(); waitForMore must block until the
// toolkit has an event (again, our descriptor counts) and process it. Pass empty functions to remove.
struct ToolkitPump {
    std::function<void()> processPending;
    std::function<void(std::chrono::milliseconds timeout)> waitForMore;
};
void SetToolkitPump(ToolkitPump pump);

// Counts for leak checks in tests: live targets, armed timers and queued messages of this thread.
struct LoopCounts {
    std::size_t targets = 0;
    std::size_t timers = 0;
    std::size_t queued = 0;
    std::size_t watchedSockets = 0;
};
LoopCounts CurrentLoopCounts();

}  // namespace quenlo::platform
