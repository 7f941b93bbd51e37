#include "net/WSocketBinding.h"
#include "platform/Text.h"

#include <atomic>
#include <climits>
#include <cstring>

namespace quenlo {

namespace {

namespace ws = platform::ws;

std::atomic<int> instanceCount{0};

constexpr std::size_t kMaxHostText = 256;    // the host text goes into a 257-byte area
constexpr std::size_t kMaxPortText = 31;
constexpr std::size_t kMaxProtoText = 31;
constexpr std::size_t kMaxAddressList = 256;


bool startsWithDigit(const std::string& text)
{
    return !text.empty() && text[0] >= '0' && text[0] <= '9';
}

}  // namespace

int SocketInstanceCount() { return instanceCount.load(); }

void SocketCreated() { ++instanceCount; }

void SocketDestroyed()
{
    // The last socket gone: there is no library to unload here, only the count to settle at 0.
    int current = instanceCount.load();
    while (!instanceCount.compare_exchange_weak(current, current > 0 ? current - 1 : 0)) {
    }
}

std::uint32_t WSocketResolveHost(const std::string& text)
{
    if (text.empty() || text.size() > kMaxHostText)
        throw ESocketException("WSocketResolveHost: '" + text + "' Invalid Hostname.");
    const std::string host = platform::TrimControls(text);
    if (startsWithDigit(host)) {
        const std::uint32_t address = ws::inet_addr(host);
        if (address == 0xFFFFFFFFu && host != "255.255.255.255")
            throw ESocketException("WSocketResolveHost: '" + text + "' Invalid IP address.");
        return address;
    }
    const auto entry = ws::gethostbyname(host);
    if (!entry || entry->addresses.empty())
        throw ESocketException("WSocketResolveHost: Cannot convert host address '" + text + "'");
    return entry->addresses.front();
}

std::vector<ws::IpAddress> WSocketResolveHostAll(const std::string& text)
{
    if (text.empty() || text.size() > kMaxHostText)
        throw ESocketException("WSocketResolveHost: '" + text + "' Invalid Hostname.");
    const std::string host = platform::TrimControls(text);
    if (const auto literal = ws::ParseIpLiteral(host))
        return {*literal};
    if (host.find(':') != std::string::npos || host.starts_with('['))
        throw ESocketException("WSocketResolveHost: '" + text + "' Invalid IP address.");
    if (startsWithDigit(host)) {
        // The classic short forms ("127.1") are numeric too.
        const std::uint32_t address = WSocketResolveHost(text);
        ws::IpAddress ip;
        std::memcpy(ip.bytes.data(), &address, 4);
        return {ip};
    }
    const auto entry = ws::GetAllAddresses(host);
    if (!entry || entry->every.empty())
        throw ESocketException("WSocketResolveHost: Cannot convert host address '" + text + "'");
    return entry->every;
}

std::uint16_t WSocketResolvePort(const std::string& portText, const std::string& protoText)
{
    if (portText.empty() || portText.size() > kMaxPortText)
        throw ESocketException("WSocketResolvePort: Invalid Port.");
    if (startsWithDigit(portText)) {
        const int value = ParseDecimal(portText);
        if (value > 65535)
            throw std::out_of_range("Range check error");
        return static_cast<std::uint16_t>(value);
    }
    const auto port = ws::getservbyname(platform::TrimControls(portText), platform::TrimControls(protoText));
    if (!port)
        throw ESocketException("WSocketResolvePort: Cannot convert port '" + portText + "'");
    return *port;
}

int WSocketResolveProto(const std::string& text)
{
    if (text.empty() || text.size() > kMaxProtoText)
        throw ESocketException("WSocketResolveProto: Invalid Protocol.");
    const std::string proto = platform::TrimControls(text);
    if (startsWithDigit(proto))
        return ParseDecimal(proto);
    const auto number = ws::getprotobyname(proto);
    if (!number)
        throw ESocketException("WSocketResolveProto: Cannot convert protocol '" + proto + "'");
    return *number;
}

int ParseDecimal(const std::string& text)
{
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ')
        ++i;
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > INT_MAX)
            return INT_MAX;
    }
    return static_cast<int>(value);
}

void CollectAddressList(const platform::ws::HostEntry& entry, std::vector<std::string>& list)
{
    std::size_t n = 0;
    for (const ws::IpAddress& address : entry.every) {
        if (n++ == kMaxAddressList)
            break;
        list.push_back(ws::IpText(address));
    }
}

std::string WSocketErrorText(int error)
{
    switch (error) {
    case 0: return "No Error";
    case ws::WSAEINTR: return "Interrupted system call";
    case ws::WSAEBADF: return "Bad file number";
    case ws::WSAEACCES: return "Permission denied";
    case ws::WSAEFAULT: return "Bad address";
    case ws::WSAEINVAL: return "Invalid argument";
    case ws::WSAEMFILE: return "Too many open files";
    case ws::WSAEWOULDBLOCK: return "Operation would block";
    case ws::WSAEINPROGRESS: return "Operation now in progress";
    case ws::WSAEALREADY: return "Operation already in progress";
    case ws::WSAENOTSOCK: return "Socket operation on non-socket";
    case ws::WSAEDESTADDRREQ: return "Destination address required";
    case ws::WSAEMSGSIZE: return "Message too long";
    case ws::WSAEPROTOTYPE: return "Protocol wrong type for socket";
    case ws::WSAENOPROTOOPT: return "Protocol not available";
    case ws::WSAEPROTONOSUPPORT: return "Protocol not supported";
    case ws::WSAESOCKTNOSUPPORT: return "Socket type not supported";
    case ws::WSAEOPNOTSUPP: return "Operation not supported on socket";
    case ws::WSAEPFNOSUPPORT: return "Protocol family not supported";
    case ws::WSAEAFNOSUPPORT: return "Address family not supported by protocol family";
    case ws::WSAEADDRINUSE: return "Address already in use";
    case ws::WSAEADDRNOTAVAIL: return "Address not available";
    case ws::WSAENETDOWN: return "Network is down";
    case ws::WSAENETUNREACH: return "Network is unreachable";
    case ws::WSAENETRESET: return "Network dropped connection on reset";
    case ws::WSAECONNABORTED: return "Connection aborted";
    case ws::WSAECONNRESET: return "Connection reset by peer";
    case ws::WSAENOBUFS: return "No buffer space available";
    case ws::WSAEISCONN: return "Socket is already connected";
    case ws::WSAENOTCONN: return "Socket is not connected";
    case ws::WSAESHUTDOWN: return "Can't send after socket shutdown";
    case ws::WSAETOOMANYREFS: return "Too many references: can't splice";
    case ws::WSAETIMEDOUT: return "Connection timed out";
    case ws::WSAECONNREFUSED: return "Connection refused";
    case ws::WSAELOOP: return "Too many levels of symbolic links";
    case ws::WSAENAMETOOLONG: return "File name too long";
    case ws::WSAEHOSTDOWN: return "Host is down";
    case ws::WSAEHOSTUNREACH: return "No route to host";
    case ws::WSAENOTEMPTY: return "Directory not empty";
    case ws::WSAEPROCLIM: return "Too many processes";
    case ws::WSAEUSERS: return "Too many users";
    case ws::WSAEDQUOT: return "Disc quota exceeded";
    case ws::WSAESTALE: return "Stale NFS file handle";
    case ws::WSAEREMOTE: return "Too many levels of remote in path";
    case ws::WSASYSNOTREADY: return "Network sub-system is unusable";
    case ws::WSAVERNOTSUPPORTED: return "WinSock DLL cannot support this application";
    case ws::WSANOTINITIALISED: return "WinSock not initialized";
    case ws::WSAHOST_NOT_FOUND: return "Host not found";
    case ws::WSATRY_AGAIN: return "Non-authoritative host not found";
    case ws::WSANO_RECOVERY: return "Non-recoverable error";
    case ws::WSANO_DATA: return "No Data";
    default: return "Not a WinSock error";
    }
}

}  // namespace quenlo
