#include "net/WSocketBinding.h"
#include "net/ErrorCodes.h"
#include "platform/Text.h"

#include <atomic>
#include <climits>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>

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

// The protocols table does not change while the program runs, and each lookup in it costs a
// reading of the name service's configuration and of the table: a name found once is kept for
// the whole process. A name not found is looked up again, so its failure reads as the first did.
std::optional<int> ProtocolNumber(const std::string& name)
{
    static std::mutex lock;
    static std::map<std::string, int, std::less<>> known;
    {
        const std::lock_guard guard(lock);
        if (const auto it = known.find(name); it != known.end())
            return it->second;
    }
    const auto number = ws::getprotobyname(name);
    if (number) {
        const std::lock_guard guard(lock);
        known.emplace(name, *number);
    }
    return number;
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
    const auto number = ProtocolNumber(proto);
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

namespace {

// Every Windows Sockets error the socket layer reports, with its text.
#define QUENLO_WINSOCK_TEXT(name, number, text, errnos) {number, text},
constexpr TErrorCode kWinsockErrors[] = {
    {0, "No Error"},
    QUENLO_WINSOCK_ERRORS(QUENLO_WINSOCK_TEXT)
};
#undef QUENLO_WINSOCK_TEXT

}  // namespace

std::span<const TErrorCode> WinsockErrors() noexcept
{
    return kWinsockErrors;
}

std::string WSocketErrorText(int error)
{
    for (const TErrorCode& code : kWinsockErrors)
        if (code.number == error)
            return code.text;
    return "Not a WinSock error";
}

}  // namespace quenlo
