// Asynchronous lookups on Windows: WSAAsyncGetHostByName / WSAAsyncGetHostByAddr answer to a
// lookup window of the thread, which passes the answer on to the request's target unless the
// request was cancelled meanwhile. The system does not always keep its promise that a cancelled
// request stays silent (wine answers anyway, and writes the result buffer), so a request and its
// buffer are kept until the system's answer has come, and a cancelled one's answer is dropped.
#include "platform/win/Bindings.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace quenlo::platform {

namespace {

struct Request {
    HWND target = 0;
    unsigned message = 0;
    std::unique_ptr<char[]> buffer;  // the library writes the host entry here
    bool cancelled = false;          // kept only until the system's answer comes
    bool answered = false;           // passed on to the target; the result waits to be taken
};

constexpr unsigned kSystemAnswer = WM_USER + 0x100;

struct Requests {
    std::mutex mutex;
    std::unordered_map<ws::HANDLE, Request> byHandle;
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
        if (it == requests().byHandle.end())
            return 0;
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

::HWND LookupWindow()
{
    thread_local HWND id = 0;
    if (id == 0 || !win::NativeWindow(id))
        id = CreateMessageTarget([](HWND, unsigned message, WPARAM wParam, LPARAM lParam) -> LRESULT {
            return message == kSystemAnswer ? OnSystemAnswer(static_cast<ws::HANDLE>(wParam), lParam) : 0;
        });
    return win::NativeWindow(id);
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
    requests().byHandle[handle] = std::move(request);
    return handle;
}

// Cancels with the library and takes back an answer already passed on. Called with the lock held;
// the request stays until the system's answer (if any) has come, since the system may still write
// its buffer.
void Withdraw(ws::HANDLE handle, Request& request)
{
    request.cancelled = true;
    win::Entry<int WINAPI(::HANDLE)>("WSACancelAsyncRequest")(reinterpret_cast<::HANDLE>(handle));
    if (::HWND window = win::NativeWindow(request.target))
        win::PurgeQueued(window, request.message, static_cast<WPARAM>(handle));
}

}  // namespace

namespace ws {

HANDLE WSAAsyncGetHostByName(HWND hwnd, unsigned message, const std::string& name)
{
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
    auto it = requests().byHandle.find(request);
    if (it == requests().byHandle.end() || it->second.cancelled) {
        WSASetLastError(WSAEINVAL);
        return SOCKET_ERROR;
    }
    if (it->second.answered)
        requests().byHandle.erase(it);  // the system is done with it
    else
        Withdraw(request, it->second);
    return 0;
}

std::optional<HostEntry> WSATakeHostResult(HANDLE request)
{
    Request taken;
    {
        std::lock_guard lock(requests().mutex);
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
                                                  [](const auto& r) { return !r.second.answered; }));
}

}  // namespace ws

namespace win {

void ForgetTargetLookups(HWND hwnd)
{
    std::lock_guard lock(requests().mutex);
    for (auto it = requests().byHandle.begin(); it != requests().byHandle.end();) {
        if (it->second.target != hwnd || it->second.cancelled) {
            ++it;
        } else if (it->second.answered) {
            it = requests().byHandle.erase(it);
        } else {
            Withdraw(it->first, it->second);
            ++it;
        }
    }
}

}  // namespace win

}  // namespace quenlo::platform
