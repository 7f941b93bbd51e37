// Internals shared by the event loop (EventLoop.cpp), the socket notifications (SocketNotify.cpp)
// and the asynchronous lookups (Resolver.cpp). Not for use outside platform/posix/.
#pragma once

#include "platform/EventLoop.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace quenlo::platform::detail {

// One queued message, with where it came from so that closesocket, KillTimer and a cancelled
// lookup can take back what they queued.
struct QueueEntry {
    MSG msg;
    int sourceFd = -1;   // a socket notification for this descriptor
    bool timer = false;  // a WM_TIMER queued by SetTimer
};

// The message queue of one thread, shared with the threads that post to it. Its eventfd is
// readable exactly while the queue holds something, so the loop's epoll descriptor (and a toolkit
// notifier on it) sees queued work whichever thread queued it.
class PostQueue {
public:
    explicit PostQueue(int eventFd) : eventFd_(eventFd) {}  // takes ownership of eventFd
    ~PostQueue();
    PostQueue(const PostQueue&) = delete;
    PostQueue& operator=(const PostQueue&) = delete;
    void push(QueueEntry entry);
    bool pop(QueueEntry& entry);
    std::size_t purge(const std::function<bool(const QueueEntry&)>& match);
    std::size_t size();

private:
    void signal();
    void unsignal();

    std::mutex mutex_;
    std::deque<QueueEntry> entries_;
    int eventFd_;
};

struct Timer {
    unsigned elapseMs = 0;
    std::chrono::steady_clock::time_point due;
    bool pending = false;  // a WM_TIMER of this timer is queued
};

// The loop of one thread. Created on first use, destroyed when the thread ends.
class Loop {
public:
    Loop();
    ~Loop();
    Loop(const Loop&) = delete;
    Loop& operator=(const Loop&) = delete;

    // Waits up to timeout (negative: without bound, 0: not at all) for readiness and turns it into
    // queued messages.
    void harvest(int timeoutMs);
    bool queueEmpty() { return queue->size() == 0; }

    int epollFd = -1;
    int eventFd = -1;
    int timerFd = -1;
    std::shared_ptr<PostQueue> queue;
    std::unordered_map<HWND, std::shared_ptr<WindowProc>> procs;
    std::map<std::pair<HWND, unsigned>, Timer> timers;
    bool quitPending = false;
    int quitCode = 0;
    ToolkitPump pump;
    unsigned sinceHarvest = 0;

    void runDueTimers();
    void rearmTimerFd();
};

Loop& CurrentLoop();

// Queues a message for a live target from any thread; false when hwnd is not live.
bool PostEntry(const QueueEntry& entry);
// Removes queued messages of hwnd's owner queue that match; nothing when hwnd is not live.
void PurgeQueued(HWND hwnd, const std::function<bool(const QueueEntry&)>& match);

// Implemented by SocketNotify.cpp.
constexpr std::uint64_t kEventFdKey = ~std::uint64_t{0};
constexpr std::uint64_t kTimerFdKey = ~std::uint64_t{0} - 1;
void HandleSocketReady(Loop& loop, std::uint64_t key, std::uint32_t revents);
void DropLoopSockets(Loop& loop);
std::size_t LoopSocketCount(const Loop& loop);

// Hooks the socket calls of Winsock.cpp use to keep the notification properties. Each does nothing
// for a descriptor that is not registered.
int AsyncSelect(int fd, HWND hwnd, unsigned message, long events);  // 0 or a Windows Sockets error
// After ::connect: rc and errno of the call. True when an immediate failure was turned into a
// queued FD_CONNECT carrying it (the call then reports "would block", as connects do here).
bool NoteConnect(int fd, int rc, int errnum);
void NoteListening(int fd);
void RearmRead(int fd);
// A receive that failed: a reset it took from the socket (which no longer holds it) is what the
// coming FD_CLOSE carries, as on Windows; otherwise the close would read as an orderly one.
void NoteReceiveFailed(int fd, int errnum);
void RearmWrite(int fd);
void RearmAccept(int fd);
// After accept: the new socket is a connection (even one already reset) and starts with the
// listener's registration.
void NoteAccepted(int listener, int accepted);
void ForgetSocket(int fd);  // before close: drops the registration and its queued notifications

// Implemented by Resolver.cpp: a destroyed target's lookups are cancelled and its unfetched answers
// dropped.
void ForgetTargetLookups(HWND hwnd);

}  // namespace quenlo::platform::detail
