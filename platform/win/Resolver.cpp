// Asynchronous lookups on Windows: WSAAsyncGetHostByName / WSAAsyncGetHostByAddr answer to a
// lookup window of the thread, which passes the answer on to the request's target unless the
// request was cancelled meanwhile. A request the system agreed to cancel is over: Windows sends no
// answer for it. wine answers anyway, and writes the result buffer, so the buffers of such
// requests are kept a while longer (a bounded number of them). A request whose cancel came too
// late is kept until its answer, which is dropped.
//
// Where the system has getaddrinfo (ws2_32.dll), a lookup by name runs it instead, on a thread of
// its own, for the IPv6 addresses that the library's own lookup cannot give; it answers the same
// way. Its handles start far above the system's, so the two kinds never meet.
#include "platform/win/Bindings.h"

#include <algorithm>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace quenlo::platform {

namespace {

struct Request {
    HWND target = 0;
    unsigned message = 0;
    std::unique_ptr<char[]> buffer;  // the library writes the host entry here
    bool cancelled = false;          // cancelled too late: kept only until the system's answer comes
    bool answered = false;           // passed on to the target; the result waits to be taken
};

constexpr unsigned kSystemAnswer = WM_USER + 0x100;

// How many buffers of cancelled requests are kept for a system that writes them after all.
constexpr std::size_t kRetiredBuffersKept = 64;

// A getaddrinfo lookup on its own thread; shared with that thread until it has answered.
struct ThreadLookup {
    HWND target = 0;
    unsigned message = 0;
    std::string name;
    std::optional<ws::HostEntry> entry;
    bool cancelled = false;
    bool answered = false;
};

constexpr ws::HANDLE kFirstThreadHandle = ws::HANDLE{1} << 40;

struct Requests {
    std::mutex mutex;
    std::unordered_map<ws::HANDLE, Request> byHandle;
    std::unordered_map<ws::HANDLE, std::shared_ptr<ThreadLookup>> threadLookups;
    ws::HANDLE nextThreadHandle = kFirstThreadHandle;
    std::deque<std::pair<ws::HANDLE, std::unique_ptr<char[]>>> retired;  // oldest first
    win::CancelLookupCall cancel;                                         // empty: the library's
};

Requests& requests()
{
    static Requests* r = new Requests;
    return *r;
}

using AsyncByName = ::HANDLE WINAPI(::HWND, unsigned, const char*, char*, int);
using AsyncByAddr = ::HANDLE WINAPI(::HWND, unsigned, const char*, int, int, char*, int);

// The system's answer: passed on to the target, or the end of a cancelled request.
LRESULT OnSystemAnswer(ws::HANDLE handle, LPARAM lParam)
{
    HWND target = 0;
    unsigned message = 0;
    {
        std::lock_guard lock(requests().mutex);
        auto it = requests().byHandle.find(handle);
        if (it == requests().byHandle.end()) {
            std::erase_if(requests().retired, [handle](const auto& r) { return r.first == handle; });
            return 0;
        }
        if (it->second.cancelled) {
            requests().byHandle.erase(it);
            return 0;
        }
        it->second.answered = true;
        target = it->second.target;
        message = it->second.message;
    }
    PostMessage(target, message, static_cast<WPARAM>(handle), lParam);
    return 0;
}

// This thread's target for the system's answers, made at its first lookup.
thread_local HWND lookupTarget = 0;

::HWND LookupWindow()
{
    if (lookupTarget == 0 || !win::NativeWindow(lookupTarget))
        lookupTarget = CreateMessageTarget([](HWND, unsigned message, WPARAM wParam, LPARAM lParam) -> LRESULT {
            return message == kSystemAnswer ? OnSystemAnswer(static_cast<ws::HANDLE>(wParam), lParam) : 0;
        });
    return win::NativeWindow(lookupTarget);
}

template <typename Start>
ws::HANDLE Begin(HWND hwnd, unsigned message, Start start)
{
    ::HWND window = LookupWindow();
    if (!win::NativeWindow(hwnd) || !window) {
        ws::WSASetLastError(WSAEINVAL);
        return 0;
    }
    Request request{hwnd, message, std::make_unique<char[]>(win::kMaxGetHostStruct)};
    const auto handle = reinterpret_cast<ws::HANDLE>(start(window, request.buffer.get()));
    if (handle == 0)
        return 0;
    // The answer is posted to this thread, so it cannot be dispatched before it is recorded.
    std::lock_guard lock(requests().mutex);
    std::erase_if(requests().retired, [handle](const auto& r) { return r.first == handle; });  // reused
    requests().byHandle[handle] = std::move(request);
    return handle;
}

int SystemCancel(ws::HANDLE handle)
{
    const auto native = reinterpret_cast<::HANDLE>(handle);
    if (requests().cancel)
        return requests().cancel(native);
    return win::Entry<int WINAPI(::HANDLE)>("WSACancelAsyncRequest")(native);
}

// Cancels with the library and takes back an answer already passed on. Called with the lock held.
// True when the request is over and is to be forgotten: the system cancelled it (its buffer is
// retired); false when the system's answer is still to come and the request waits for it.
bool Withdraw(ws::HANDLE handle, Request& request)
{
    if (::HWND window = win::NativeWindow(request.target))
        win::PurgeQueued(window, request.message, static_cast<WPARAM>(handle));
    if (SystemCancel(handle) != 0) {
        request.cancelled = true;
        return false;
    }
    auto& retired = requests().retired;
    retired.emplace_back(handle, std::move(request.buffer));
    if (retired.size() > kRetiredBuffersKept)
        retired.pop_front();
    return true;
}

struct ThreadStart {
    ws::HANDLE handle;
    std::shared_ptr<ThreadLookup> lookup;
};

DWORD WINAPI RunThreadLookup(void* parameter)
{
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(parameter));
    ThreadLookup& lookup = *start->lookup;
    std::optional<ws::HostEntry> entry = win::AddrInfoLookup(lookup.name);
    int error = entry ? 0 : ws::WSAGetLastError();
    if (entry && entry->every.empty()) {
        entry.reset();  // a name without an address
        error = WSANO_DATA;
    }
    std::lock_guard lock(requests().mutex);
    if (lookup.cancelled) {
        requests().threadLookups.erase(start->handle);
        return 0;
    }
    lookup.entry = std::move(entry);
    lookup.answered = true;
    // Posted under the lock, so a cancel comes either before (nothing is posted) or after (and
    // takes the queued answer back).
    if (!PostMessage(lookup.target, lookup.message, static_cast<WPARAM>(start->handle),
                     ws::WSAMAKEASYNCREPLY(0, static_cast<unsigned>(error))))
        requests().threadLookups.erase(start->handle);
    return 0;
}

ws::HANDLE BeginThreadLookup(HWND hwnd, unsigned message, const std::string& name)
{
    if (!win::NativeWindow(hwnd)) {
        ws::WSASetLastError(WSAEINVAL);
        return 0;
    }
    auto lookup = std::make_shared<ThreadLookup>();
    lookup->target = hwnd;
    lookup->message = message;
    lookup->name = name;
    std::lock_guard lock(requests().mutex);
    const ws::HANDLE handle = requests().nextThreadHandle++;
    auto start = std::make_unique<ThreadStart>(ThreadStart{handle, lookup});
    ::HANDLE thread = ::CreateThread(nullptr, 0, RunThreadLookup, start.get(), 0, nullptr);
    if (!thread) {
        ws::WSASetLastError(WSAENOBUFS);
        return 0;
    }
    start.release();  // the thread owns it now
    ::CloseHandle(thread);
    requests().threadLookups[handle] = std::move(lookup);
    return handle;
}

// Cancels a getaddrinfo lookup: a running one answers into nothing, an answered one is taken back.
// Called with the lock held.
void WithdrawThreadLookup(ws::HANDLE handle)
{
    auto it = requests().threadLookups.find(handle);
    ThreadLookup& lookup = *it->second;
    if (lookup.answered) {
        if (::HWND window = win::NativeWindow(lookup.target))
            win::PurgeQueued(window, lookup.message, static_cast<WPARAM>(handle));
        requests().threadLookups.erase(it);
    } else {
        lookup.cancelled = true;
    }
}

}  // namespace

namespace ws {

HANDLE WSAAsyncGetHostByName(HWND hwnd, unsigned message, const std::string& name)
{
    if (win::HasAddrInfo())
        return BeginThreadLookup(hwnd, message, name);
    return Begin(hwnd, message, [&](::HWND window, char* buffer) {
        return win::Entry<AsyncByName>("WSAAsyncGetHostByName")(window, kSystemAnswer, name.c_str(), buffer,
                                                                win::kMaxGetHostStruct);
    });
}

HANDLE WSAAsyncGetHostByAddr(HWND hwnd, unsigned message, std::uint32_t addressNetworkOrder)
{
    return Begin(hwnd, message, [&](::HWND window, char* buffer) {
        return win::Entry<AsyncByAddr>("WSAAsyncGetHostByAddr")(
            window, kSystemAnswer, reinterpret_cast<const char*>(&addressNetworkOrder), 4, AF_INET, buffer,
            win::kMaxGetHostStruct);
    });
}

int WSACancelAsyncRequest(HANDLE request)
{
    std::lock_guard lock(requests().mutex);
    if (auto t = requests().threadLookups.find(request);
        t != requests().threadLookups.end() && !t->second->cancelled) {
        WithdrawThreadLookup(request);
        return 0;
    }
    auto it = requests().byHandle.find(request);
    if (it == requests().byHandle.end() || it->second.cancelled) {
        WSASetLastError(WSAEINVAL);
        return SOCKET_ERROR;
    }
    if (it->second.answered || Withdraw(request, it->second))
        requests().byHandle.erase(it);  // the system is done with it
    return 0;
}

std::optional<HostEntry> WSATakeHostResult(HANDLE request)
{
    Request taken;
    {
        std::lock_guard lock(requests().mutex);
        if (auto t = requests().threadLookups.find(request); t != requests().threadLookups.end()) {
            if (!t->second->answered || t->second->cancelled)
                return std::nullopt;
            std::optional<HostEntry> entry = std::move(t->second->entry);
            requests().threadLookups.erase(t);
            return entry;
        }
        auto it = requests().byHandle.find(request);
        if (it == requests().byHandle.end() || !it->second.answered)
            return std::nullopt;
        taken = std::move(it->second);
        requests().byHandle.erase(it);
    }
    // A failed lookup leaves the zeroed buffer as it was.
    const auto* he = reinterpret_cast<const win::HostEnt*>(taken.buffer.get());
    if (!he->h_name)
        return std::nullopt;
    return win::ToHostEntry(*he);
}

std::size_t PendingLookupCount()
{
    std::lock_guard lock(requests().mutex);
    return static_cast<std::size_t>(std::count_if(requests().byHandle.begin(), requests().byHandle.end(),
                                                  [](const auto& r) { return !r.second.answered; })) +
           static_cast<std::size_t>(std::count_if(requests().threadLookups.begin(), requests().threadLookups.end(),
                                                  [](const auto& r) { return !r.second->answered; }));
}

}  // namespace ws

namespace win {

std::size_t OwnTargetCount()
{
    return lookupTarget != 0 && NativeWindow(lookupTarget) ? 1 : 0;
}

void ForgetTargetLookups(HWND hwnd)
{
    std::lock_guard lock(requests().mutex);
    std::vector<ws::HANDLE> threadHandles;
    for (const auto& [handle, lookup] : requests().threadLookups)
        if (lookup->target == hwnd && !lookup->cancelled)
            threadHandles.push_back(handle);
    for (const ws::HANDLE handle : threadHandles)
        WithdrawThreadLookup(handle);
    for (auto it = requests().byHandle.begin(); it != requests().byHandle.end();) {
        if (it->second.target != hwnd || it->second.cancelled) {
            ++it;
        } else if (it->second.answered || Withdraw(it->first, it->second)) {
            it = requests().byHandle.erase(it);
        } else {
            ++it;
        }
    }
}

CancelLookupCall SetCancelLookupCall(CancelLookupCall call)
{
    std::lock_guard lock(requests().mutex);
    std::swap(requests().cancel, call);
    return call;
}

}  // namespace win

}  // namespace quenlo::platform
