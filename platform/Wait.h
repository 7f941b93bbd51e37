// The one blocking wait of the program. Every call that blocks until something has happened on
// the network (a socket's Flush and WaitUntilClosed, its close retry, line mode's WaitForFlag, the
// HTTP client's Get and Post) is a few lines over WaitUntil.
//
// The wait sleeps in the calling thread's event loop (platform/EventLoop.h) until the next event
// (a posted message, a socket notification, a due timer or, with a toolkit pump, user input),
// processes what is pending, and looks at its condition again. It never spins: with nothing to do
// it costs no CPU, whatever is pending.
//
// The quit rule: a quit posted on this thread (PostQuitMessage) ends every wait at once with
// WaitEnd::Quit, before anything else is processed, and is left pending. So each enclosing wait
// ends in its turn and the loop that owns the thread takes the quit. A caller that must consume it
// (a MultiThreaded socket, which records it as ThreadTerminated) takes it with PeekMessage itself.
//
// Re-entrancy: handlers run inside the wait and may destroy whatever the condition looks at; the
// condition must check that itself (a liveness token) and report true when its object is gone.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

namespace quenlo::platform {

enum class WaitEnd : std::uint8_t {
    Done,      // the condition became true (it is checked first: a true condition wins)
    TimedOut,  // the deadline passed with the condition still false
    Quit,      // a quit is pending on this thread (and stays pending)
};
const char* to_string(WaitEnd end) noexcept;

using WaitClock = std::chrono::steady_clock;
constexpr WaitClock::time_point kNoDeadline = WaitClock::time_point::max();

// Processes this thread's events until done() is true, the deadline passes or a quit is pending.
// done() is called before each sleep and after each batch of processed events.
WaitEnd WaitUntil(const std::function<bool()>& done, WaitClock::time_point deadline = kNoDeadline);

// The deadline `timeout` from now; zero, negative or beyond the clock's range means none.
WaitClock::time_point DeadlineAfter(std::chrono::milliseconds timeout);
// Whether `deadline` has passed (never for kNoDeadline, without asking the clock).
inline bool Passed(WaitClock::time_point deadline) { return deadline != kNoDeadline && WaitClock::now() >= deadline; }

}  // namespace quenlo::platform
