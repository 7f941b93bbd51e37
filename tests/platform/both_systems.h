// The few places where the platform tests, which run on Linux and under wine alike, must know which
// system they run on. Everything else in tests/platform/ (except posix_*) is written against the
// platform calls alone.
#pragma once

#include "platform/Winsock.h"

#include <chrono>
#include <string>
#include <thread>

#if !defined(_WIN32)
#include "support/PrivateFiles.h"

#include <poll.h>
#endif

namespace quenlo::test {

#if defined(_WIN32)
// The socket calls are the system's own. It posts each socket condition in a message of its own, as
// it happens; the Linux layer gathers what it finds at one look into one message (bits or'ed). The
// Linux layer's own rules (a zero-length receive is "would block", a closed handle is 10009, a new
// socket takes the lowest free number) are checked only there.
constexpr bool kSystemSockets = true;

// Where wine's sockets answer otherwise than Windows does, the check names both (<windows.h> is
// kept out: its macros would rename the platform calls).
extern "C" __declspec(dllimport) void* __stdcall GetModuleHandleA(const char* name);
extern "C" __declspec(dllimport) void* __stdcall GetProcAddress(void* module, const char* name);
inline bool UnderWine()
{
    static const bool wine = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
    return wine;
}

// Bytes and a close the peer sent are seen by the system as they arrive and posted in that order:
// a short pause lets wine's server see them before the test looks.
inline bool WaitForArrival(platform::ws::SOCKET, bool /*andClose*/)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return true;
}

// The single-instance lock's "directory" is a prefix of the mutex name on Windows.
class LockPlace {
public:
    LockPlace() : name_("QuenloTest" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()))
    {
    }
    const std::string& Path() const { return name_; }

private:
    std::string name_;
};
#else
constexpr bool kSystemSockets = false;
inline bool UnderWine() { return false; }

// Runs until the socket's bytes (and, with andClose, the peer's close) have arrived, so that the
// loop finds them together at its next look.
inline bool WaitForArrival(platform::ws::SOCKET s, bool andClose)
{
    const short wanted = static_cast<short>(POLLIN | (andClose ? POLLRDHUP : 0));
    pollfd p{s, wanted, 0};
    for (int i = 0; i < 100; ++i) {
        p.revents = 0;
        if (::poll(&p, 1, 50) == 1 && (p.revents & wanted) == wanted)
            return true;
    }
    return false;
}

// A private folder of its own for the lock file.
class LockPlace {
public:
    const std::string& Path() const { return dir_; }

private:
    TempDir temp_{"si"};
    std::string dir_ = temp_.Path() + "/run";
};
#endif

}  // namespace quenlo::test
