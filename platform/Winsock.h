// Windows Sockets on POSIX (platform/posix/): the calls the socket layer makes, with their Windows
// meaning kept. On Windows the same calls are the library's own, bound by name at run time from
// "wsock32.dll" (platform/win/): what is said below of the notifications then holds because the
// system does it.
//
// Descriptors are non-blocking POSIX sockets; failures set a per-thread last error that holds the
// Windows Sockets number (10035 would block, 10061 refused, ...), mapped from errno and resolver
// codes (WsaErrorFromErrno from the one list of errors, platform/WinsockErrors.h;
// WsaErrorFromResolver). The texts of that list are read through the socket layer (WSocketErrorText).
//
// WSAAsyncSelect turns readiness into WM_SOCKET_EVENT-style messages posted to a target of the
// calling thread's loop (platform/EventLoop.h), with the properties the socket layer relies on:
//  - FD_READ: posted when bytes are waiting; not again for the same bytes until recv/recvfrom has
//    been called on the socket; after a receive that leaves bytes waiting, posted again;
//  - FD_WRITE: posted once when a connect completes, and again only after a send was refused with
//    10035 and the socket became writable;
//  - FD_CONNECT: the outcome of the non-blocking connect, error from SO_ERROR (mapped);
//  - FD_CLOSE: posted once when the peer closes (EPOLLRDHUP/EPOLLHUP), even while received bytes
//    are still unread; error 0 for an orderly close, else the reset/abort number;
//  - FD_ACCEPT: a connection is waiting; re-armed by accept.
// Several conditions found together go out in one message (bits or'ed). lParam is
// WSAMAKESELECTREPLY(events, error): low word the bits, high word the error number. The one
// exception: an FD_CLOSE carrying a reset/abort number goes in a message of its own, right after
// the other bits found with it (which then carry error 0), so that the reset number is not
// reported as a read or write error.
//
// Further behaviour the socket layer may rely on:
//  - WSAAsyncSelect may come before connect/listen (a fresh socket reports nothing). On a socket
//    that is already connected, listening or a datagram socket, a (re-)registration reports what
//    holds at once: FD_WRITE when writable, FD_READ when bytes wait, FD_ACCEPT, FD_CLOSE.
//  - connect on a registered stream socket always completes through FD_CONNECT: a refusal that is
//    known before connect returns (the loopback does that) is queued as FD_CONNECT with 10061 and
//    connect reports 10035, exactly as a slower refusal would. A failed connect gives no FD_CLOSE.
//  - closesocket also takes back this socket's notifications still queued, so a socket that gets
//    the same descriptor number afterwards never sees them.
//  - an accepted socket starts registered like its listening socket (same target, message, bits),
//    and counts as connected: one the peer reset before it was accepted reports FD_CLOSE with
//    10054 at its first registration.
//  - send never raises SIGPIPE; sending on a socket without a peer gives 10057.
// A socket belongs to the thread that registered it; make its calls on that thread, and close it
// with closesocket. (A registration left behind by a plain close() is recognised and never applied
// to the next socket with the same number, but its queued notifications stay queued.)
//
// Name lookups by WSAAsyncGetHostByName give every address of the name, IPv6 and IPv4, in the
// resolver's order (HostEntry::every); the other lookups are IPv4 only. The asynchronous forms run
// the blocking resolver on a worker thread and
// post (target, message, wParam = request handle, lParam = WSAMAKEASYNCREPLY(0, error)) to the
// calling thread; the result is then fetched with WSATakeHostResult. A cancelled request's late
// answer is dropped, and no worker outlives the process (they are joined at exit).
#pragma once

#include "platform/EventLoop.h"
#include "platform/WinsockErrors.h"

#include <cstdint>
#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/SocketTypes.h"

namespace quenlo::platform::ws {

// The library's own handle type: a descriptor on Linux, an unsigned handle on Windows.
#if defined(_WIN32)
using SOCKET = std::uintptr_t;
constexpr SOCKET INVALID_SOCKET = ~SOCKET{0};
#else
using SOCKET = int;
constexpr SOCKET INVALID_SOCKET = -1;
#endif
constexpr int SOCKET_ERROR = -1;

constexpr long FD_READ = 0x01;
constexpr long FD_WRITE = 0x02;
constexpr long FD_OOB = 0x04;
constexpr long FD_ACCEPT = 0x08;
constexpr long FD_CONNECT = 0x10;
constexpr long FD_CLOSE = 0x20;

constexpr LPARAM WSAMAKESELECTREPLY(unsigned event, unsigned error)
{
    return static_cast<LPARAM>((static_cast<std::uint32_t>(error & 0xFFFF) << 16) | (event & 0xFFFF));
}
constexpr LPARAM WSAMAKEASYNCREPLY(unsigned buflen, unsigned error) { return WSAMAKESELECTREPLY(buflen, error); }
constexpr unsigned WSAGETSELECTEVENT(LPARAM l) { return static_cast<std::uint32_t>(l) & 0xFFFF; }
constexpr unsigned WSAGETSELECTERROR(LPARAM l) { return (static_cast<std::uint32_t>(l) >> 16) & 0xFFFF; }

// Windows Sockets error numbers used across the layer (platform/WinsockErrors.h lists them).
#define QUENLO_WINSOCK_CONSTANT(name, number, text, errnos) constexpr int name = number;
QUENLO_WINSOCK_ERRORS(QUENLO_WINSOCK_CONSTANT)
#undef QUENLO_WINSOCK_CONSTANT

#if !defined(_WIN32)
// errno (by the list of platform/WinsockErrors.h) and resolver codes (EAI_* and h_errno values) to
// the numbers above.
// Unknown values map to a number of the table's choice that WSocketErrorText still describes.
// (On Windows the library gives these numbers itself.)
int WsaErrorFromErrno(int errnum);
int WsaErrorFromResolver(int code);
#endif

// The calling thread's last error (Windows Sockets number).
int WSAGetLastError();
void WSASetLastError(int error);

// Socket calls. Each returns like its Windows form (INVALID_SOCKET / SOCKET_ERROR on failure, with
// the last error set). socket() creates a non-blocking, close-on-exec descriptor.
SOCKET socket(int af, int type, int protocol);
int bind(SOCKET s, const sockaddr* addr, socklen_t len);
int connect(SOCKET s, const sockaddr* addr, socklen_t len);
int listen(SOCKET s, int backlog);
SOCKET accept(SOCKET s, sockaddr* addr, socklen_t* len);  // re-arms FD_ACCEPT
int send(SOCKET s, const void* buf, int len, int flags);  // 10035 arms FD_WRITE
int sendto(SOCKET s, const void* buf, int len, int flags, const sockaddr* to, socklen_t tolen);
int recv(SOCKET s, void* buf, int len, int flags);        // re-arms FD_READ
int recvfrom(SOCKET s, void* buf, int len, int flags, sockaddr* from, socklen_t* fromlen);
int shutdown(SOCKET s, int how);                          // how: 0 receive, 1 send, 2 both
int closesocket(SOCKET s);                                // also drops its registration
int ioctlsocket_FIONREAD(SOCKET s, unsigned long* count); // bytes waiting
// Windows option numbers at SOL_SOCKET level 0xFFFF: 0x0004 SO_REUSEADDR, 0x0008 SO_KEEPALIVE,
// 0x0020 SO_BROADCAST, 0x0080 SO_LINGER (value: two 16-bit fields, on/off then seconds).
int setsockopt(SOCKET s, int level, int optname, const void* value, int len);
int getsockname(SOCKET s, sockaddr* addr, socklen_t* len);
int getpeername(SOCKET s, sockaddr* addr, socklen_t* len);

// Registers s with the calling thread's loop: events (FD_* bits) go to hwnd as `message`.
// message 0 or events 0 stops notifications (Pause). Returns 0 or SOCKET_ERROR.
int WSAAsyncSelect(SOCKET s, HWND hwnd, unsigned message, long events);

// IPv4 text forms.
std::uint32_t inet_addr(const std::string& text);          // network order; 0xFFFFFFFF when not dotted
std::string inet_ntoa(std::uint32_t addressNetworkOrder);

// An IPv4 or IPv6 address: IPv4 in the first 4 bytes (network order), IPv6 in all 16.
struct IpAddress {
    int family = AF_INET;
    std::array<std::uint8_t, 16> bytes{};

    bool operator==(const IpAddress&) const = default;
};

// A numeric address as text: dotted IPv4 (a.b.c.d only) or IPv6, which may stand in brackets
// ("[::1]"). A zone ("%eth0") is not accepted. nullopt for anything else, names included.
std::optional<IpAddress> ParseIpLiteral(std::string_view text);
// The text form: dotted IPv4, or the shortest IPv6 form (no brackets).
std::string IpText(const IpAddress& address);
// Fills `out` with the socket address of address:port (host order) and returns its length.
socklen_t ToSockaddr(const IpAddress& address, std::uint16_t port, sockaddr_storage& out);
// The address and port (host order) of an IPv4 or IPv6 socket address of `len` bytes; nullopt
// for another family or a short record.
std::optional<IpAddress> AddressOf(const sockaddr* address, std::size_t len);
std::uint16_t PortOf(const sockaddr_storage& address);

struct HostEntry {
    std::string officialName;
    std::vector<std::string> aliases;
    std::vector<std::uint32_t> addresses;  // IPv4, network order
    std::vector<IpAddress> every;          // IPv6 and IPv4, in the order they should be tried

    // Adds an answer of the resolver to `every` (and, IPv4, to `addresses`) unless it is there.
    void Add(const IpAddress& address);
};

// Synchronous resolver (blocks): nullopt with the last error set on failure.
std::optional<HostEntry> gethostbyname(const std::string& name);
// Every address of a name, IPv6 and IPv4, without duplicates (blocks): what the asynchronous name
// lookup runs. On Windows without an IPv6-capable resolver, the IPv4 addresses of gethostbyname.
std::optional<HostEntry> GetAllAddresses(const std::string& name);
// Reverse form (added beside the others; the asynchronous reverse lookup runs it).
std::optional<HostEntry> gethostbyaddr(std::uint32_t addressNetworkOrder);
std::optional<std::uint16_t> getservbyname(const std::string& name, const std::string& proto);  // host order
std::optional<int> getprotobyname(const std::string& name);

// Asynchronous lookups: return a non-zero request handle (never reused), or 0 with the last error
// set (10022 for a dead target). The answer is the message (wParam = handle, high word of lParam =
// error: 0, 11001 host not found, 11002 try again, 11004 a name without an address, ...).
using HANDLE = std::uintptr_t;
HANDLE WSAAsyncGetHostByName(HWND hwnd, unsigned message, const std::string& name);
HANDLE WSAAsyncGetHostByAddr(HWND hwnd, unsigned message, std::uint32_t addressNetworkOrder);
// Forgets the request: its answer is never posted, and an answer already queued but not yet
// dispatched is taken back. SOCKET_ERROR (last error 10022) when unknown, already cancelled or
// already fetched.
int WSACancelAsyncRequest(HANDLE request);
// Hands over the result of a completed request once (after its message arrived); nullopt if none.
// A result waits for this call, however many others wait beside it, until the request is cancelled
// or its target destroyed (by DestroyMessageTarget or the end of the target's thread).
std::optional<HostEntry> WSATakeHostResult(HANDLE request);

// Counts for leak checks in tests: lookups still running, process-wide (a cancelled lookup counts
// until the resolver has returned from it).
std::size_t PendingLookupCount();

}  // namespace quenlo::platform::ws
