// Windows Sockets on Windows: each call goes to the library's own function, bound at run time, so
// the notifications, error numbers and lookups are the system's. What the layer adds is kept small:
// sockets are non-blocking and not inherited from the start, closesocket takes back the socket's
// queued notifications, and registrations are counted per thread.
#include "platform/win/Bindings.h"
#include "platform/HostRecord.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <unordered_map>

namespace quenlo::platform {

namespace win {

HMODULE LoadSystemLibrary(const char* name)
{
    wchar_t folder[MAX_PATH];
    const UINT n = ::GetSystemDirectoryW(folder, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return nullptr;
    std::wstring path(folder, n);
    path += L'\\';
    for (const char* c = name; *c; ++c)
        path += static_cast<wchar_t>(*c);
    return ::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

namespace {

struct Library {
    std::mutex mutex;
    HMODULE module = nullptr;
    alignas(8) unsigned char startupData[1024] = {};  // WSADATA, with room to spare
    std::unordered_map<std::string, void*> entries;
};

Library& library()
{
    static Library* lib = new Library;
    return *lib;
}

std::string LastErrorNumber() { return std::to_string(::GetLastError()); }

void* Lookup(Library& lib, const char* name)
{
    auto proc = ::GetProcAddress(lib.module, name);
    if (!proc)
        throw std::runtime_error(std::string("Procedure ") + name + " not found in " + kWinsockLibrary +
                                 " Error #" + LastErrorNumber());
    return reinterpret_cast<void*>(proc);
}

void LoadAndStart(Library& lib)
{
    lib.module = LoadSystemLibrary(kWinsockLibrary);
    if (!lib.module)
        throw std::runtime_error(std::string("Unable to load ") + kWinsockLibrary + " Error #" +
                                 LastErrorNumber());
    using StartupFn = int WINAPI(WORD, void*);
    auto* startup = reinterpret_cast<StartupFn*>(reinterpret_cast<void (*)()>(Lookup(lib, "WSAStartup")));
    const int rc = startup(0x0101, lib.startupData);
    if (rc != 0) {
        ::FreeLibrary(lib.module);
        lib.module = nullptr;
        throw std::runtime_error(std::string(kWinsockLibrary) + ": WSAStartup error #" + std::to_string(rc));
    }
}

// Registrations of this thread's sockets: where their notifications go.
struct Registration {
    HWND target = 0;
    unsigned message = 0;
    long events = 0;
};

struct Registrations {
    std::unordered_map<ws::SOCKET, Registration> sockets;
};

std::unordered_map<ws::SOCKET, Registration>& registrations() { return ThisThread<Registrations>().sockets; }

// The registration of `s` on this thread, if any, without making the thread's table.
Registration* FindRegistration(ws::SOCKET s)
{
    Registrations* r = ThisThreadsIfMade<Registrations>();
    if (!r)
        return nullptr;
    auto it = r->sockets.find(s);
    return it == r->sockets.end() ? nullptr : &it->second;
}

void Unregister(ws::SOCKET s)
{
    if (Registrations* r = ThisThreadsIfMade<Registrations>())
        r->sockets.erase(s);
}

}  // namespace

void* WinsockEntry(const char* name)
{
    Library& lib = library();
    std::lock_guard lock(lib.mutex);
    if (!lib.module)
        LoadAndStart(lib);
    if (!name || !*name)
        return nullptr;
    auto it = lib.entries.find(name);
    if (it != lib.entries.end())
        return it->second;
    void* entry = Lookup(lib, name);
    lib.entries.emplace(name, entry);
    return entry;
}

void UnloadWinsock()
{
    Library& lib = library();
    std::lock_guard lock(lib.mutex);
    if (!lib.module)
        return;
    auto cleanup = ::GetProcAddress(lib.module, "WSACleanup");
    if (cleanup)
        reinterpret_cast<int WINAPI (*)()>(reinterpret_cast<void (*)()>(cleanup))();
    ::FreeLibrary(lib.module);
    lib.module = nullptr;
    lib.entries.clear();
}

namespace {

// The system's record of one answer of getaddrinfo (ADDRINFOA; the name comes before the address).
struct AddrInfo {
    int ai_flags;
    int ai_family;
    int ai_socktype;
    int ai_protocol;
    std::size_t ai_addrlen;
    char* ai_canonname;
    sockaddr* ai_addr;
    AddrInfo* ai_next;
};
using GetAddrInfoFn = int WINAPI(const char*, const char*, const AddrInfo*, AddrInfo**);
using FreeAddrInfoFn = void WINAPI(AddrInfo*);
constexpr int kAiCanonName = 0x02;

struct AddrInfoCalls {
    GetAddrInfoFn* get = nullptr;
    FreeAddrInfoFn* free = nullptr;
};

// getaddrinfo of "ws2_32.dll" in the system folder, loaded once and kept; none when the library
// or the entry points are missing (the lookups then stay with wsock32's IPv4 ones).
const AddrInfoCalls& AddrInfoLibrary()
{
    static const AddrInfoCalls calls = [] {
        AddrInfoCalls c;
        if (HMODULE module = LoadSystemLibrary("ws2_32.dll")) {
            auto get = ::GetProcAddress(module, "getaddrinfo");
            auto free = ::GetProcAddress(module, "freeaddrinfo");
            if (get && free) {
                c.get = reinterpret_cast<GetAddrInfoFn*>(reinterpret_cast<void (*)()>(get));
                c.free = reinterpret_cast<FreeAddrInfoFn*>(reinterpret_cast<void (*)()>(free));
            }
        }
        return c;
    }();
    return calls;
}

}  // namespace

bool HasAddrInfo()
{
    WinsockEntry(nullptr);  // getaddrinfo needs the socket library started
    return AddrInfoLibrary().get != nullptr;
}

std::optional<ws::HostEntry> AddrInfoLookup(const std::string& name)
{
    const AddrInfoCalls& calls = AddrInfoLibrary();
    AddrInfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = kAiCanonName;
    AddrInfo* list = nullptr;
    const int rc = calls.get(name.c_str(), nullptr, &hints, &list);
    if (rc != 0) {
        ws::WSASetLastError(rc);  // the library's codes are Windows Sockets numbers
        return std::nullopt;
    }
    ws::HostEntry entry;
    if (list && list->ai_canonname)
        entry.officialName = list->ai_canonname;
    for (const AddrInfo* ai = list; ai; ai = ai->ai_next)
        if (const auto address = ai->ai_addr ? ws::AddressOf(ai->ai_addr, ai->ai_addrlen) : std::nullopt)
            entry.Add(*address);
    calls.free(list);
    return entry;
}

std::size_t RegisteredSocketCount()
{
    const Registrations* r = ThisThreadsIfMade<Registrations>();
    return r ? r->sockets.size() : 0;
}

ws::HostEntry ToHostEntry(const HostEnt& he)
{
    return ws::HostEntryOf(he.h_name, he.h_aliases, he.h_addrtype, he.h_length, he.h_addr_list);
}

}  // namespace win

namespace ws {

namespace {

using win::Entry;

int fail(int error)
{
    WSASetLastError(error);
    return SOCKET_ERROR;
}

// A new socket is non-blocking before any registration, and no child process inherits it.
void PrepareSocket(SOCKET s)
{
    unsigned long on = 1;
    Entry<int WINAPI(SOCKET, long, unsigned long*)>("ioctlsocket")(s, win::kFionbio, &on);
    ::SetHandleInformation(reinterpret_cast<::HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
}


}  // namespace

int WSAGetLastError() { return Entry<int WINAPI()>("WSAGetLastError")(); }
void WSASetLastError(int error) { Entry<void WINAPI(int)>("WSASetLastError")(error); }

SOCKET socket(int af, int type, int protocol)
{
    SOCKET s = Entry<SOCKET WINAPI(int, int, int)>("socket")(af, type, protocol);
    if (s != INVALID_SOCKET)
        PrepareSocket(s);
    return s;
}

int bind(SOCKET s, const sockaddr* addr, socklen_t len)
{
    return Entry<int WINAPI(SOCKET, const sockaddr*, int)>("bind")(s, addr, len);
}

int connect(SOCKET s, const sockaddr* addr, socklen_t len)
{
    return Entry<int WINAPI(SOCKET, const sockaddr*, int)>("connect")(s, addr, len);
}

int listen(SOCKET s, int backlog) { return Entry<int WINAPI(SOCKET, int)>("listen")(s, backlog); }

SOCKET accept(SOCKET s, sockaddr* addr, socklen_t* len)
{
    SOCKET accepted = Entry<SOCKET WINAPI(SOCKET, sockaddr*, int*)>("accept")(s, addr, len);
    if (accepted == INVALID_SOCKET)
        return accepted;
    ::SetHandleInformation(reinterpret_cast<::HANDLE>(accepted), HANDLE_FLAG_INHERIT, 0);
    // The system registers it like its listening socket; keep the books the same.
    if (const win::Registration* listening = win::FindRegistration(s))
        win::registrations()[accepted] = *listening;
    return accepted;
}

int send(SOCKET s, const void* buf, int len, int flags)
{
    return Entry<int WINAPI(SOCKET, const char*, int, int)>("send")(s, static_cast<const char*>(buf), len, flags);
}

int sendto(SOCKET s, const void* buf, int len, int flags, const sockaddr* to, socklen_t tolen)
{
    return Entry<int WINAPI(SOCKET, const char*, int, int, const sockaddr*, int)>("sendto")(
        s, static_cast<const char*>(buf), len, flags, to, tolen);
}

int recv(SOCKET s, void* buf, int len, int flags)
{
    return Entry<int WINAPI(SOCKET, char*, int, int)>("recv")(s, static_cast<char*>(buf), len, flags);
}

int recvfrom(SOCKET s, void* buf, int len, int flags, sockaddr* from, socklen_t* fromlen)
{
    return Entry<int WINAPI(SOCKET, char*, int, int, sockaddr*, int*)>("recvfrom")(
        s, static_cast<char*>(buf), len, flags, from, fromlen);
}

int shutdown(SOCKET s, int how) { return Entry<int WINAPI(SOCKET, int)>("shutdown")(s, how); }

int closesocket(SOCKET s)
{
    const int rc = Entry<int WINAPI(SOCKET)>("closesocket")(s);
    if (const win::Registration* registration = win::FindRegistration(s)) {
        // The handle may be handed out again at once: its old notifications must not reach the
        // socket that gets it.
        if (::HWND window = win::NativeWindow(registration->target))
            win::PurgeQueued(window, registration->message, static_cast<WPARAM>(s));
        win::Unregister(s);
    }
    return rc;
}

int ioctlsocket_FIONREAD(SOCKET s, unsigned long* count)
{
    return Entry<int WINAPI(SOCKET, long, unsigned long*)>("ioctlsocket")(s, win::kFionread, count);
}

int setsockopt(SOCKET s, int level, int optname, const void* value, int len)
{
    return Entry<int WINAPI(SOCKET, int, int, const char*, int)>("setsockopt")(
        s, level, optname, static_cast<const char*>(value), len);
}

int getsockname(SOCKET s, sockaddr* addr, socklen_t* len)
{
    return Entry<int WINAPI(SOCKET, sockaddr*, int*)>("getsockname")(s, addr, len);
}

int getpeername(SOCKET s, sockaddr* addr, socklen_t* len)
{
    return Entry<int WINAPI(SOCKET, sockaddr*, int*)>("getpeername")(s, addr, len);
}

int WSAAsyncSelect(SOCKET s, HWND hwnd, unsigned message, long events)
{
    const bool stop = message == 0 || events == 0;
    ::HWND window = win::NativeWindow(hwnd);
    if (!window && !stop)
        return fail(WSAEINVAL);
    const int rc = Entry<int WINAPI(SOCKET, ::HWND, unsigned, long)>("WSAAsyncSelect")(
        s, window, stop ? 0 : message, stop ? 0 : events);
    if (rc == 0) {
        if (stop)
            win::Unregister(s);
        else
            win::registrations()[s] = {hwnd, message, events};
    }
    return rc;
}

std::uint32_t inet_addr(const std::string& text)
{
    return static_cast<std::uint32_t>(Entry<unsigned long WINAPI(const char*)>("inet_addr")(text.c_str()));
}

std::string inet_ntoa(std::uint32_t addressNetworkOrder)
{
    const char* text = Entry<char* WINAPI(in_addr)>("inet_ntoa")(in_addr{addressNetworkOrder});
    return text ? std::string(text) : std::string();
}

std::optional<HostEntry> gethostbyname(const std::string& name)
{
    const auto* he = Entry<win::HostEnt* WINAPI(const char*)>("gethostbyname")(name.c_str());
    if (!he)
        return std::nullopt;
    return win::ToHostEntry(*he);
}

std::optional<HostEntry> GetAllAddresses(const std::string& name)
{
    return win::HasAddrInfo() ? win::AddrInfoLookup(name) : gethostbyname(name);
}

std::optional<HostEntry> gethostbyaddr(std::uint32_t addressNetworkOrder)
{
    const auto* he = Entry<win::HostEnt* WINAPI(const char*, int, int)>("gethostbyaddr")(
        reinterpret_cast<const char*>(&addressNetworkOrder), 4, AF_INET);
    if (!he)
        return std::nullopt;
    return win::ToHostEntry(*he);
}

std::optional<std::uint16_t> getservbyname(const std::string& name, const std::string& proto)
{
    const auto* se = Entry<win::ServEnt* WINAPI(const char*, const char*)>("getservbyname")(
        name.c_str(), proto.empty() ? nullptr : proto.c_str());
    if (!se)
        return std::nullopt;
    return ntohs(static_cast<std::uint16_t>(se->s_port));
}

std::optional<int> getprotobyname(const std::string& name)
{
    const auto* pe = Entry<win::ProtoEnt* WINAPI(const char*)>("getprotobyname")(name.c_str());
    if (!pe)
        return std::nullopt;
    return pe->p_proto;
}

}  // namespace ws

}  // namespace quenlo::platform
