// The Windows headers for platform/win/, brought in after the layer's own headers: those declare
// names (WM_QUIT, PostMessage, ...) that the Windows headers turn into macros, and once they are
// parsed the macros only ever stand for the same numbers. The A/W switch macros of the three calls
// the layer itself defines are taken back, so that their names mean the layer's functions here.
// Not for use outside platform/win/.
#pragma once

#include "platform/EventLoop.h"
#include "platform/Winsock.h"

#include <windows.h>

#include <functional>
#include <memory>
#include <system_error>

#undef PostMessage
#undef PeekMessage
#undef DispatchMessage

// The parent of message-only windows (HWND_MESSAGE names the system's HWND, so it is spelled here,
// outside the layer's namespace).
inline const ::HWND kMessageOnlyParent = HWND_MESSAGE;

namespace quenlo::platform::win {

// Data of the calling thread, on the heap and freed when the thread ends, however it was started.
// Not thread_local: with this static runtime, the destructors of thread_local objects run after
// the runtime has already freed the thread's storage. ThisThread<T>() makes the thread's T on
// first use; ThisThreadsIfMade<T>() only looks, so that code running while a thread's data is
// being freed never makes it again.
template <typename T>
void WINAPI FreeThreadData(void* data)
{
    delete static_cast<T*>(data);
}

template <typename T>
DWORD ThreadDataSlot()
{
    static const DWORD slot = [] {
        const DWORD s = ::FlsAlloc(FreeThreadData<T>);
        if (s == FLS_OUT_OF_INDEXES)
            throw std::system_error(static_cast<int>(::GetLastError()), std::system_category());
        return s;
    }();
    return slot;
}

// The calls for the thread's data set the last error, which is the sockets' last error as well:
// one that a socket call has just set is kept.
class LastErrorKept {
public:
    LastErrorKept() = default;
    ~LastErrorKept() { ::SetLastError(error_); }
    LastErrorKept(const LastErrorKept&) = delete;
    LastErrorKept& operator=(const LastErrorKept&) = delete;

private:
    DWORD error_ = ::GetLastError();
};

template <typename T>
T* ThisThreadsIfMade()
{
    LastErrorKept kept;
    return static_cast<T*>(::FlsGetValue(ThreadDataSlot<T>()));
}

template <typename T>
T& ThisThread()
{
    LastErrorKept kept;
    if (T* data = ThisThreadsIfMade<T>())
        return *data;
    auto made = std::make_unique<T>();
    if (!::FlsSetValue(ThreadDataSlot<T>(), made.get()))
        throw std::system_error(static_cast<int>(::GetLastError()), std::system_category());
    return *made.release();
}

// The system window behind a message target of the calling thread; nullptr when hwnd is not a live
// target of this thread.
::HWND NativeWindow(HWND hwnd);

// Takes back the messages `message` queued for `window` whose wParam is `wParam`; the others of
// that window and number stay queued, in their order.
void PurgeQueued(::HWND window, unsigned message, WPARAM wParam);

// Implemented by Resolver.cpp: a destroyed target's lookups are cancelled.
void ForgetTargetLookups(HWND hwnd);
// Implemented by Resolver.cpp: the targets of this thread the library made for itself (the one
// that takes the system's lookup answers), which the loop's counts leave out.
std::size_t OwnTargetCount();
// The system's WSACancelAsyncRequest as the lookups call it: 0 when the request is cancelled and
// will not be answered, else the request is answered still. A test gives the answers of another
// system here; an empty call restores the library's. Returns the call it replaces.
using CancelLookupCall = std::function<int(::HANDLE request)>;
CancelLookupCall SetCancelLookupCall(CancelLookupCall call);
// Implemented by Tls.cpp: TLS sessions acquire their credentials with the older SCHANNEL_CRED, as
// on a Windows 10 that lacks SCH_CREDENTIALS. Only before the first session of the process.
void UseOlderTlsCredentials();
// Implemented by Winsock.cpp: sockets registered on this thread, for the loop's counts.
std::size_t RegisteredSocketCount();

}  // namespace quenlo::platform::win
