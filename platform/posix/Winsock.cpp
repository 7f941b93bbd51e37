#include "platform/Winsock.h"

#include "platform/HostRecord.h"
#include "platform/posix/LoopInternal.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <optional>
#include <vector>

namespace quenlo::platform::ws {

namespace {

thread_local int lastError = 0;

int fail(int wsaError)
{
    lastError = wsaError;
    return SOCKET_ERROR;
}

int failErrno() { return fail(WsaErrorFromErrno(errno)); }

// A send refused with EPIPE means "not connected" on a socket that has no peer (never connected,
// or reset), and "shut down" on one whose sending side we closed.
int failSend(SOCKET s, int errnum)
{
    if (errnum == EAGAIN || errnum == EWOULDBLOCK)
        detail::RearmWrite(s);
    if (errnum == EPIPE) {
        sockaddr_storage peer{};
        socklen_t len = sizeof peer;
        if (::getpeername(s, reinterpret_cast<sockaddr*>(&peer), &len) != 0)
            return fail(WSAENOTCONN);
    }
    return fail(WsaErrorFromErrno(errnum));
}

// Windows option numbers at its socket level.
constexpr int kWinSolSocket = 0xFFFF;
constexpr int kWinReuseAddr = 0x0004;
constexpr int kWinKeepAlive = 0x0008;
constexpr int kWinBroadcast = 0x0020;
constexpr int kWinLinger = 0x0080;
constexpr int kWinSndBuf = 0x1001;
constexpr int kWinRcvBuf = 0x1002;

// Results of the reentrant resolver calls need a buffer whose size is only known by trying.
constexpr std::size_t kFirstBuffer = 2048;
constexpr std::size_t kMaxBuffer = 1 << 20;

// Runs a *_r host lookup, growing the buffer while it reports ERANGE. Sets the last error.
template <class Call>
std::optional<HostEntry> hostLookup(Call call)
{
    std::vector<char> buffer(kFirstBuffer);
    for (;;) {
        hostent he{};
        hostent* result = nullptr;
        int herr = 0;
        const int rc = call(&he, buffer.data(), buffer.size(), &result, &herr);
        if (rc == ERANGE && buffer.size() < kMaxBuffer) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (rc == 0 && result) {
            lastError = 0;
            return HostEntryOf(result->h_name, result->h_aliases, result->h_addrtype, result->h_length,
                               result->h_addr_list);
        }
        if (herr == NETDB_INTERNAL)
            lastError = rc != 0 ? WsaErrorFromErrno(rc) : WSANO_RECOVERY;
        else
            lastError = herr != 0 ? WsaErrorFromResolver(herr) : WSAHOST_NOT_FOUND;
        return std::nullopt;
    }
}

// A zero-length receive on a stream socket returns 0 here whatever the state; the callers expect
// the Windows answer: 0 once the peer has closed (or when bytes wait), "would block" otherwise.
int probeReceive(SOCKET s)
{
    int type = 0;
    socklen_t typeLen = sizeof type;
    if (::getsockopt(s, SOL_SOCKET, SO_TYPE, &type, &typeLen) != 0)
        return failErrno();
    detail::RearmRead(s);
    if (type != SOCK_STREAM)
        return 0;
    pollfd p{s, static_cast<short>(POLLIN | POLLRDHUP), 0};
    if (::poll(&p, 1, 0) < 0)
        return failErrno();
    if (p.revents & POLLERR) {
        int error = 0;
        socklen_t len = sizeof error;
        ::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &len);
        if (error != 0)
            return fail(WsaErrorFromErrno(error));
    }
    if (p.revents & (POLLIN | POLLRDHUP | POLLHUP))
        return 0;
    return fail(WSAEWOULDBLOCK);
}

// The errno column of the list of errors; a row's unused places hold 0, which is no errno.
struct ErrnoMeaning {
    int number;
    std::array<int, 2> errnos;
};
#define QUENLO_ERRNO_MEANING(name, number, text, errnos) {number, {QUENLO_ERRNO_LIST errnos}},
constexpr ErrnoMeaning kErrnoMeanings[] = {QUENLO_WINSOCK_ERRORS(QUENLO_ERRNO_MEANING)};
#undef QUENLO_ERRNO_MEANING

// An errno in two rows would mean two numbers, of which only the first could ever be given.
constexpr bool EachErrnoMeansOneNumber()
{
    std::vector<int> seen;
    for (const ErrnoMeaning& row : kErrnoMeanings)
        for (const int e : row.errnos) {
            if (e == 0)
                continue;
            if (std::ranges::find(seen, e) != seen.end())
                return false;
            seen.push_back(e);
        }
    return true;
}
static_assert(EachErrnoMeansOneNumber());

}  // namespace

int WsaErrorFromErrno(int errnum)
{
    if (errnum == 0)
        return 0;
    for (const ErrnoMeaning& row : kErrnoMeanings)
        if (std::ranges::find(row.errnos, errnum) != row.errnos.end())
            return row.number;
    // Anything else a socket call can give (EIO, ENOSPC, ENODEV, ...) is a failure of the network
    // layer below us.
    return WSAENETDOWN;
}

int WsaErrorFromResolver(int code)
{
    switch (code) {
    case 0: return 0;
    // h_errno values of the gethostbyname family
    case HOST_NOT_FOUND: return WSAHOST_NOT_FOUND;
    case TRY_AGAIN: return WSATRY_AGAIN;
    case NO_RECOVERY: return WSANO_RECOVERY;
    case NO_DATA: return WSANO_DATA;
    // getaddrinfo's EAI_* codes (negative here)
    case EAI_NONAME: return WSAHOST_NOT_FOUND;
    case EAI_AGAIN: return WSATRY_AGAIN;
    case EAI_FAIL: return WSANO_RECOVERY;
    case EAI_NODATA:
    case EAI_ADDRFAMILY:
    case EAI_SERVICE: return WSANO_DATA;
    case EAI_FAMILY: return WSAEAFNOSUPPORT;
    case EAI_SOCKTYPE: return WSAESOCKTNOSUPPORT;
    case EAI_MEMORY:
    case EAI_OVERFLOW: return WSAENOBUFS;
    case EAI_SYSTEM: return WsaErrorFromErrno(errno);
    case EAI_BADFLAGS:  // equal to NETDB_INTERNAL
        return WSANO_RECOVERY;
    default:
        return WSANO_RECOVERY;
    }
}

int WSAGetLastError() { return lastError; }
void WSASetLastError(int error) { lastError = error; }

SOCKET socket(int af, int type, int protocol)
{
    const int fd = ::socket(af, type | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
    if (fd < 0) {
        failErrno();
        return INVALID_SOCKET;
    }
    return fd;
}

int bind(SOCKET s, const sockaddr* addr, socklen_t len)
{
    return ::bind(s, addr, len) == 0 ? 0 : failErrno();
}

int connect(SOCKET s, const sockaddr* addr, socklen_t len)
{
    int rc;
    do {
        rc = ::connect(s, addr, len);
    } while (rc != 0 && errno == EINTR);
    const int errnum = rc == 0 ? 0 : errno;
    if (detail::NoteConnect(s, rc, errnum))
        return fail(WSAEWOULDBLOCK);
    return rc == 0 ? 0 : fail(WsaErrorFromErrno(errnum));
}

int listen(SOCKET s, int backlog)
{
    if (::listen(s, backlog) != 0)
        return failErrno();
    detail::NoteListening(s);
    return 0;
}

SOCKET accept(SOCKET s, sockaddr* addr, socklen_t* len)
{
    int fd;
    do {
        fd = ::accept4(s, addr, len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    const int errnum = errno;
    detail::RearmAccept(s);
    if (fd < 0) {
        fail(WsaErrorFromErrno(errnum));
        return INVALID_SOCKET;
    }
    detail::NoteAccepted(s, fd);
    return fd;
}

int send(SOCKET s, const void* buf, int len, int flags)
{
    if (len < 0 || (len > 0 && !buf))
        return fail(WSAEFAULT);
    ssize_t n;
    do {
        n = ::send(s, buf, static_cast<std::size_t>(len), flags | MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return failSend(s, errno);
    return static_cast<int>(n);
}

int sendto(SOCKET s, const void* buf, int len, int flags, const sockaddr* to, socklen_t tolen)
{
    if (len < 0 || (len > 0 && !buf))
        return fail(WSAEFAULT);
    ssize_t n;
    do {
        n = ::sendto(s, buf, static_cast<std::size_t>(len), flags | MSG_NOSIGNAL, to, tolen);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return failSend(s, errno);
    return static_cast<int>(n);
}

int recv(SOCKET s, void* buf, int len, int flags)
{
    if (len == 0)
        return probeReceive(s);
    return recvfrom(s, buf, len, flags, nullptr, nullptr);
}

int recvfrom(SOCKET s, void* buf, int len, int flags, sockaddr* from, socklen_t* fromlen)
{
    if (len < 0 || (len > 0 && !buf))
        return fail(WSAEFAULT);
    ssize_t n;
    do {
        n = ::recvfrom(s, buf, static_cast<std::size_t>(len), flags, from, fromlen);
    } while (n < 0 && errno == EINTR);
    const int errnum = errno;
    if (n < 0)
        detail::NoteReceiveFailed(s, errnum);
    // Any receive call re-enables FD_READ, and the level check sees what this one left behind.
    detail::RearmRead(s);
    if (n < 0)
        return fail(WsaErrorFromErrno(errnum));
    return static_cast<int>(n);
}

int shutdown(SOCKET s, int how)
{
    static_assert(SHUT_RD == 0 && SHUT_WR == 1 && SHUT_RDWR == 2);
    if (how < 0 || how > 2)
        return fail(WSAEINVAL);
    return ::shutdown(s, how) == 0 ? 0 : failErrno();
}

int closesocket(SOCKET s)
{
    if (s < 0)
        return fail(WSAENOTSOCK);
    detail::ForgetSocket(s);
    // On Linux the descriptor is gone even when close reports EINTR: never retry.
    return ::close(s) == 0 || errno == EINTR ? 0 : failErrno();
}

int ioctlsocket_FIONREAD(SOCKET s, unsigned long* count)
{
    if (!count)
        return fail(WSAEFAULT);
    int n = 0;
    if (::ioctl(s, FIONREAD, &n) != 0)
        return failErrno();
    *count = static_cast<unsigned long>(n);
    return 0;
}

int setsockopt(SOCKET s, int level, int optname, const void* value, int len)
{
    if (len < 0 || (len > 0 && !value))
        return fail(WSAEFAULT);
    if (level != kWinSolSocket) {
        // Protocol levels (IPPROTO_TCP, IPPROTO_IP) use the same numbers on both systems.
        return ::setsockopt(s, level, optname, value, static_cast<socklen_t>(len)) == 0 ? 0 : failErrno();
    }
    int native;
    switch (optname) {
    case kWinReuseAddr: native = SO_REUSEADDR; break;
    case kWinKeepAlive: native = SO_KEEPALIVE; break;
    case kWinBroadcast: native = SO_BROADCAST; break;
    case kWinSndBuf: native = SO_SNDBUF; break;
    case kWinRcvBuf: native = SO_RCVBUF; break;
    case kWinLinger: {
        //  l_onoff    2 bytes   0 or 1
        //  l_linger   2 bytes   seconds
        if (len < 4)
            return fail(WSAEFAULT);
        std::uint16_t fields[2];
        std::memcpy(fields, value, sizeof fields);
        const linger l{fields[0] != 0 ? 1 : 0, fields[1]};
        return ::setsockopt(s, SOL_SOCKET, SO_LINGER, &l, sizeof l) == 0 ? 0 : failErrno();
    }
    default:
        return fail(WSAENOPROTOOPT);
    }
    if (len < static_cast<int>(sizeof(int)))
        return fail(WSAEFAULT);
    int flag;
    std::memcpy(&flag, value, sizeof flag);
    return ::setsockopt(s, SOL_SOCKET, native, &flag, sizeof flag) == 0 ? 0 : failErrno();
}

int getsockname(SOCKET s, sockaddr* addr, socklen_t* len)
{
    return ::getsockname(s, addr, len) == 0 ? 0 : failErrno();
}

int getpeername(SOCKET s, sockaddr* addr, socklen_t* len)
{
    return ::getpeername(s, addr, len) == 0 ? 0 : failErrno();
}

int WSAAsyncSelect(SOCKET s, HWND hwnd, unsigned message, long events)
{
    const int error = detail::AsyncSelect(s, hwnd, message, events);
    return error == 0 ? 0 : fail(error);
}

std::uint32_t inet_addr(const std::string& text)
{
    // The classic forms: a.b.c.d, a.b.c, a.b and a, each part decimal, octal or hex.
    in_addr addr{};
    if (text.empty() || text.find('\0') != std::string::npos || ::inet_aton(text.c_str(), &addr) == 0)
        return 0xFFFFFFFFu;
    return addr.s_addr;
}

std::string inet_ntoa(std::uint32_t addressNetworkOrder)
{
    const auto* b = reinterpret_cast<const unsigned char*>(&addressNetworkOrder);
    return std::to_string(b[0]) + '.' + std::to_string(b[1]) + '.' + std::to_string(b[2]) + '.' +
           std::to_string(b[3]);
}

std::optional<HostEntry> gethostbyname(const std::string& name)
{
    if (name.find('\0') != std::string::npos) {
        lastError = WSAHOST_NOT_FOUND;
        return std::nullopt;
    }
    return hostLookup([&name](hostent* he, char* buf, std::size_t size, hostent** result, int* herr) {
        return ::gethostbyname_r(name.c_str(), he, buf, size, result, herr);
    });
}

std::optional<HostEntry> GetAllAddresses(const std::string& name)
{
    if (name.empty() || name.find('\0') != std::string::npos) {
        lastError = WSAHOST_NOT_FOUND;
        return std::nullopt;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* list = nullptr;
    const int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &list);
    if (rc != 0) {
        lastError = WsaErrorFromResolver(rc);
        return std::nullopt;
    }
    HostEntry entry;
    if (list->ai_canonname)
        entry.officialName = list->ai_canonname;
    for (const addrinfo* ai = list; ai; ai = ai->ai_next)
        if (const auto address = ai->ai_addr ? AddressOf(ai->ai_addr, ai->ai_addrlen) : std::nullopt)
            entry.Add(*address);
    ::freeaddrinfo(list);
    lastError = 0;
    return entry;
}

std::optional<HostEntry> gethostbyaddr(std::uint32_t addressNetworkOrder)
{
    return hostLookup([addressNetworkOrder](hostent* he, char* buf, std::size_t size, hostent** result,
                                            int* herr) {
        return ::gethostbyaddr_r(&addressNetworkOrder, 4, AF_INET, he, buf, size, result, herr);
    });
}

std::optional<std::uint16_t> getservbyname(const std::string& name, const std::string& proto)
{
    if (name.find('\0') != std::string::npos || proto.find('\0') != std::string::npos) {
        lastError = WSANO_DATA;
        return std::nullopt;
    }
    std::vector<char> buffer(kFirstBuffer);
    for (;;) {
        servent se{};
        servent* result = nullptr;
        const int rc = ::getservbyname_r(name.c_str(), proto.empty() ? nullptr : proto.c_str(), &se,
                                         buffer.data(), buffer.size(), &result);
        if (rc == ERANGE && buffer.size() < kMaxBuffer) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (rc == 0 && result) {
            lastError = 0;
            return ntohs(static_cast<std::uint16_t>(result->s_port));
        }
        lastError = WSANO_DATA;
        return std::nullopt;
    }
}

std::optional<int> getprotobyname(const std::string& name)
{
    if (name.find('\0') != std::string::npos) {
        lastError = WSANO_DATA;
        return std::nullopt;
    }
    std::vector<char> buffer(kFirstBuffer);
    for (;;) {
        protoent pe{};
        protoent* result = nullptr;
        const int rc = ::getprotobyname_r(name.c_str(), &pe, buffer.data(), buffer.size(), &result);
        if (rc == ERANGE && buffer.size() < kMaxBuffer) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (rc == 0 && result) {
            lastError = 0;
            return result->p_proto;
        }
        lastError = WSANO_DATA;
        return std::nullopt;
    }
}

}  // namespace quenlo::platform::ws
