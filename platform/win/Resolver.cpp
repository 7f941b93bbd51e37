// Asynchronous lookups on Windows: WSAAsyncGetHostByName / WSAAsyncGetHostByAddr answer straight
// to the target's window. The layer keeps each request's result buffer until the answer is taken,
// and on cancel also takes back an answer already queued, so a late answer is never seen.
#include "platform/win/Bindings.h"

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
};

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

template <typename Start>
ws::HANDLE Begin(HWND hwnd, unsigned message, Start start)
{
    ::HWND window = win::NativeWindow(hwnd);
    if (!window) {
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

// Cancels with the library and takes back an answer already queued. The request must be ours.
void Withdraw(ws::HANDLE handle, const Request& request)
{
    win::Entry<int WINAPI(::HANDLE)>("WSACancelAsyncRequest")(reinterpret_cast<::HANDLE>(handle));
    if (::HWND window = win::NativeWindow(request.target))
        win::PurgeQueued(window, request.message, static_cast<WPARAM>(handle));
}

}  // namespace

namespace ws {

HANDLE WSAAsyncGetHostByName(HWND hwnd, unsigned message, const std::string& name)
{
    return Begin(hwnd, message, [&](::HWND window, char* buffer) {
        return win::Entry<AsyncByName>("WSAAsyncGetHostByName")(window, message, name.c_str(), buffer,
                                                                win::kMaxGetHostStruct);
    });
}

HANDLE WSAAsyncGetHostByAddr(HWND hwnd, unsigned message, std::uint32_t addressNetworkOrder)
{
    return Begin(hwnd, message, [&](::HWND window, char* buffer) {
        return win::Entry<AsyncByAddr>("WSAAsyncGetHostByAddr")(
            window, message, reinterpret_cast<const char*>(&addressNetworkOrder), 4, AF_INET, buffer,
            win::kMaxGetHostStruct);
    });
}

int WSACancelAsyncRequest(HANDLE request)
{
    Request taken;
    {
        std::lock_guard lock(requests().mutex);
        auto it = requests().byHandle.find(request);
        if (it == requests().byHandle.end()) {
            WSASetLastError(WSAEINVAL);
            return SOCKET_ERROR;
        }
        taken = std::move(it->second);
        requests().byHandle.erase(it);
    }
    Withdraw(request, taken);
    return 0;
}

std::optional<HostEntry> WSATakeHostResult(HANDLE request)
{
    Request taken;
    {
        std::lock_guard lock(requests().mutex);
        auto it = requests().byHandle.find(request);
        if (it == requests().byHandle.end())
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
    return requests().byHandle.size();
}

}  // namespace ws

namespace win {

void ForgetTargetLookups(HWND hwnd)
{
    std::vector<std::pair<ws::HANDLE, Request>> taken;
    {
        std::lock_guard lock(requests().mutex);
        for (auto it = requests().byHandle.begin(); it != requests().byHandle.end();) {
            if (it->second.target == hwnd) {
                taken.emplace_back(it->first, std::move(it->second));
                it = requests().byHandle.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const auto& [handle, request] : taken)
        Withdraw(handle, request);
}

}  // namespace win

}  // namespace quenlo::platform
