// Numeric address texts, read and written here rather than by the system's routines: the Windows
// socket library bound at run time has no IPv6 text conversion, and both systems must agree on
// what counts as an address (a name is never mistaken for one).

#include "platform/Winsock.h"
#include "platform/HostRecord.h"
#include "platform/Text.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace quenlo::platform::ws {

namespace {

// a.b.c.d with four decimal parts of at most 3 digits, each 0..255, no signs or spaces.
std::optional<std::array<std::uint8_t, 4>> ParseDotted(std::string_view text)
{
    std::array<std::uint8_t, 4> out{};
    std::size_t part = 0;
    std::size_t i = 0;
    for (; part < 4; ++part) {
        unsigned value = 0;
        std::size_t digits = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 4) {
            value = value * 10 + static_cast<unsigned>(text[i] - '0');
            ++i;
            ++digits;
        }
        if (digits == 0 || digits > 3 || value > 255)
            return std::nullopt;
        out[part] = static_cast<std::uint8_t>(value);
        if (part < 3) {
            if (i >= text.size() || text[i] != '.')
                return std::nullopt;
            ++i;
        }
    }
    if (i != text.size())
        return std::nullopt;
    return out;
}

// The eight groups of an IPv6 text, "::" standing for one or more zero groups, the last 32 bits
// possibly written dotted.
std::optional<std::array<std::uint8_t, 16>> ParseIPv6(std::string_view text)
{
    std::array<std::uint8_t, 16> out{};
    std::size_t filled = 0;       // bytes written
    std::ptrdiff_t gap = -1;      // byte position of "::", if any
    std::size_t i = 0;
    if (text.size() < 2 || text.size() > 45)
        return std::nullopt;
    if (text[0] == ':') {
        if (text[1] != ':')
            return std::nullopt;
        gap = 0;
        i = 2;
        if (i == text.size())
            return out;
    }
    while (i < text.size()) {
        if (filled >= 16)
            return std::nullopt;
        // A dotted tail fills the last four bytes.
        const std::size_t nextColon = text.find(':', i);
        const std::string_view word = text.substr(i, nextColon == std::string_view::npos ? std::string_view::npos : nextColon - i);
        if (nextColon == std::string_view::npos && word.find('.') != std::string_view::npos) {
            const auto v4 = ParseDotted(word);
            if (!v4 || filled + 4 > 16)
                return std::nullopt;
            std::memcpy(out.data() + filled, v4->data(), 4);
            filled += 4;
            i = text.size();
            break;
        }
        if (word.empty() || word.size() > 4)
            return std::nullopt;
        unsigned value = 0;
        for (const char c : word) {
            const int h = HexDigitValue(c);
            if (h < 0)
                return std::nullopt;
            value = value * 16 + static_cast<unsigned>(h);
        }
        out[filled++] = static_cast<std::uint8_t>(value >> 8);
        out[filled++] = static_cast<std::uint8_t>(value & 0xFF);
        i += word.size();
        if (i == text.size())
            break;
        ++i;  // the ':'
        if (i < text.size() && text[i] == ':') {
            if (gap >= 0)
                return std::nullopt;
            gap = static_cast<std::ptrdiff_t>(filled);
            ++i;
        } else if (i == text.size()) {
            return std::nullopt;  // a single trailing ':'
        }
    }
    if (gap < 0)
        return filled == 16 ? std::optional(out) : std::nullopt;
    if (filled == 16)
        return std::nullopt;  // "::" must stand for at least one group
    const std::size_t tail = filled - static_cast<std::size_t>(gap);
    std::memmove(out.data() + 16 - tail, out.data() + gap, tail);
    std::memset(out.data() + gap, 0, 16 - tail - static_cast<std::size_t>(gap));
    return out;
}

}  // namespace

std::optional<IpAddress> ParseIpLiteral(std::string_view text)
{
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']') {
        text = text.substr(1, text.size() - 2);
        const auto v6 = text.find(':') != std::string_view::npos ? ParseIPv6(text) : std::nullopt;
        if (!v6)
            return std::nullopt;
        return IpAddress{AF_INET6, *v6};
    }
    if (text.find(':') != std::string_view::npos) {
        const auto v6 = ParseIPv6(text);
        if (!v6)
            return std::nullopt;
        return IpAddress{AF_INET6, *v6};
    }
    const auto v4 = ParseDotted(text);
    if (!v4)
        return std::nullopt;
    IpAddress address;
    std::memcpy(address.bytes.data(), v4->data(), 4);
    return address;
}

std::string IpText(const IpAddress& address)
{
    const auto& b = address.bytes;
    if (address.family != AF_INET6)
        return std::to_string(b[0]) + '.' + std::to_string(b[1]) + '.' + std::to_string(b[2]) + '.' +
               std::to_string(b[3]);
    // The longest run of two or more zero groups becomes "::" (the first of equal runs).
    unsigned groups[8];
    for (int g = 0; g < 8; ++g)
        groups[g] = static_cast<unsigned>(b[2 * g] << 8 | b[2 * g + 1]);
    int bestStart = -1, bestLength = 1;
    for (int g = 0; g < 8;) {
        if (groups[g] != 0) {
            ++g;
            continue;
        }
        int end = g;
        while (end < 8 && groups[end] == 0)
            ++end;
        if (end - g > bestLength) {
            bestStart = g;
            bestLength = end - g;
        }
        g = end;
    }
    static const char hex[] = "0123456789abcdef";
    std::string text;
    for (int g = 0; g < 8; ++g) {
        if (g == bestStart) {
            text += "::";
            g += bestLength - 1;
            continue;
        }
        if (!text.empty() && text.back() != ':')
            text += ':';
        bool started = false;
        for (int shift = 12; shift >= 0; shift -= 4) {
            const unsigned nibble = (groups[g] >> shift) & 0xF;
            if (nibble != 0 || started || shift == 0) {
                text += hex[nibble];
                started = true;
            }
        }
    }
    return text;
}

socklen_t ToSockaddr(const IpAddress& address, std::uint16_t port, sockaddr_storage& out)
{
    std::memset(&out, 0, sizeof out);
    if (address.family == AF_INET6) {
        sockaddr_in6 sa{};
        sa.sin6_family = AF_INET6;
        sa.sin6_port = htons(port);
        std::memcpy(&sa.sin6_addr, address.bytes.data(), 16);
        std::memcpy(&out, &sa, sizeof sa);
        return static_cast<socklen_t>(sizeof sa);
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    std::memcpy(&sa.sin_addr, address.bytes.data(), 4);
    std::memcpy(&out, &sa, sizeof sa);
    return static_cast<socklen_t>(sizeof sa);
}

std::optional<IpAddress> AddressOf(const sockaddr* address, std::size_t len)
{
    IpAddress ip;
    if (address->sa_family == AF_INET && len >= sizeof(sockaddr_in)) {
        sockaddr_in v4;
        std::memcpy(&v4, address, sizeof v4);
        std::memcpy(ip.bytes.data(), &v4.sin_addr, 4);
        return ip;
    }
    if (address->sa_family == AF_INET6 && len >= sizeof(sockaddr_in6)) {
        sockaddr_in6 v6;
        std::memcpy(&v6, address, sizeof v6);
        ip.family = AF_INET6;
        std::memcpy(ip.bytes.data(), &v6.sin6_addr, 16);
        return ip;
    }
    return std::nullopt;
}

std::uint16_t PortOf(const sockaddr_storage& address)
{
    // The port sits at the same place in both records.
    sockaddr_in v4;
    std::memcpy(&v4, &address, sizeof v4);
    return ntohs(v4.sin_port);
}

HostEntry HostEntryOf(const char* name, char** aliases, int addressType, int addressLength, char** addresses)
{
    HostEntry entry;
    if (name)
        entry.officialName = name;
    for (char** alias = aliases; alias && *alias; ++alias)
        entry.aliases.emplace_back(*alias);
    if (addressType == AF_INET && addressLength == 4) {
        for (char** address = addresses; address && *address; ++address) {
            IpAddress ip;
            std::memcpy(ip.bytes.data(), *address, 4);
            entry.Add(ip);
        }
    }
    return entry;
}

void HostEntry::Add(const IpAddress& address)
{
    if (std::find(every.begin(), every.end(), address) != every.end())
        return;
    every.push_back(address);
    if (address.family == AF_INET) {
        std::uint32_t a;
        std::memcpy(&a, address.bytes.data(), 4);
        addresses.push_back(a);
    }
}

}  // namespace quenlo::platform::ws
