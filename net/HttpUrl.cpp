#include "net/HttpUrl.h"
#include "platform/Text.h"

#include <cmath>
#include <cstdint>
#include <cstdio>

namespace quenlo {

namespace {

bool StartsWithNoCase(const std::string& s, const char* prefix)
{
    const std::string p(prefix);
    return s.size() >= p.size() && platform::AsciiLower(s.substr(0, p.size())) == p;
}

// Splits what follows the scheme: "user:pass@host:port/path".
void SplitAuthority(std::string rest, TUrlParts& parts)
{
    const std::size_t slash = rest.find('/');
    if (slash != std::string::npos) {
        parts.Path = rest.substr(slash);
        rest.erase(slash);
    }
    // 1-based positions of the last ":" and the last "@", 0 when absent.
    std::size_t k = FindLastOccurrence(":", rest);
    const std::size_t t = FindLastOccurrence("@", rest);
    // An IPv6 address in brackets is one host: its colons are no port separator.
    if (t < rest.size() && rest[t] == '[') {
        const std::size_t close = rest.find(']', t);
        if (close != std::string::npos && k != 0 && k - 1 < close)
            k = 0;
    }
    if (k == 0 && t == 0) {
        parts.Host = rest;
        return;
    }
    if (t < k) {
        parts.Port = rest.substr(k);
        parts.Host = rest.substr(t, k - 1 - t);
        if (t == 0)
            return;
    } else {
        parts.Host = rest.substr(t);
    }
    rest.erase(t - 1);
    const std::size_t colon = rest.find(':');
    if (colon != std::string::npos) {
        parts.User = rest.substr(0, colon);
        parts.Password = rest.substr(colon + 1);
    } else {
        parts.User = rest;
    }
}

// Days from 1970-01-01 to a proleptic Gregorian date (and back), valid far beyond 1..9999.
struct CivilDate {
    std::int64_t year;
    unsigned month;  // 1..12
    unsigned day;    // 1..31
};

CivilDate CivilFromDays(std::int64_t z)
{
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2 ? 1 : 0);
    return {y, m, d};
}

constexpr std::int64_t kUnixEpochDay = 25569;   // 1970-01-01 in days since 1899-12-30
constexpr double kFirstDay = -693593.0;         // 0001-01-01
constexpr double kEndDay = 2958466.0;           // 10000-01-01
constexpr std::int64_t kMsPerDay = 86400000;

}  // namespace

TUrlParts SplitUrl(const std::string& url, TUrlStart start)
{
    TUrlParts parts;
    if (url.empty())
        return parts;

    std::size_t restStart = 0;  // 0-based index where the part after the scheme begins
    const std::size_t sep = start == TUrlStart::Host ? std::string::npos : url.find("://");
    if (sep != std::string::npos) {
        parts.Scheme = url.substr(0, sep);
        restStart = sep + 3;
    } else if (start != TUrlStart::AnyForm) {
        // The host comes first.
    } else if (url[0] == '/') {
        parts.Scheme = "http";
        if (url.size() > 1 && url[1] != '/') {
            parts.Path = url;
            return parts;
        }
        restStart = 1;
    } else if (StartsWithNoCase(url, "http:")) {
        parts.Scheme = "http";
        if (url.size() > 6 && url[6] != '/') {
            parts.Path = url.substr(5);
            return parts;
        }
        restStart = 6;
    } else if (StartsWithNoCase(url, "mailto:")) {
        parts.Scheme = "mailto";
        restStart = 7;
    }
    SplitAuthority(url.size() > restStart ? url.substr(restStart) : std::string(), parts);
    return parts;
}

std::string SchemeOf(const std::string& url)
{
    const std::size_t sep = url.find("://");
    if (sep != std::string::npos)
        return url.substr(0, sep);
    const auto isAlpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    if (url.empty() || !isAlpha(url[0]))
        return {};
    std::size_t i = 1;
    while (i < url.size() && (isAlpha(url[i]) || isDigit(url[i]) || url[i] == '+' || url[i] == '-' || url[i] == '.'))
        ++i;
    if (i >= url.size() || url[i] != ':' || (i + 1 < url.size() && isDigit(url[i + 1])))
        return {};
    return url.substr(0, i);
}

bool WireSafe(std::string_view text, bool spaceAllowed)
{
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F || (b == ' ' && !spaceAllowed))
            return false;
    }
    return true;
}

std::string Base64Encode(const std::string& data)
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= data.size(); i += 3) {
        const std::uint32_t v = (static_cast<unsigned char>(data[i]) << 16) |
                                (static_cast<unsigned char>(data[i + 1]) << 8) |
                                static_cast<unsigned char>(data[i + 2]);
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
        out += alphabet[v & 63];
    }
    const std::size_t left = data.size() - i;
    if (left == 1) {
        const std::uint32_t v = static_cast<unsigned char>(data[i]) << 16;
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += "==";
    } else if (left == 2) {
        const std::uint32_t v = (static_cast<unsigned char>(data[i]) << 16) |
                                (static_cast<unsigned char>(data[i + 1]) << 8);
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

std::string HttpDateText(double dateTime)
{
    if (!std::isfinite(dateTime) || dateTime < kFirstDay || dateTime >= kEndDay)
        return {};
    // Round to the millisecond first, as a clock would show it, then drop the fraction of a second.
    std::int64_t days = static_cast<std::int64_t>(std::floor(dateTime));
    std::int64_t ms = std::llround((dateTime - static_cast<double>(days)) * kMsPerDay);
    if (ms >= kMsPerDay) {
        ++days;
        ms -= kMsPerDay;
    }
    static const char weekdays[] = "MonTueWedThuFriSatSun";
    static const char months[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    const std::int64_t weekday = (((days - 2) % 7) + 7) % 7;  // day 2 (1900-01-01) is a Monday
    const CivilDate date = CivilFromDays(days - kUnixEpochDay);
    const std::int64_t secs = ms / 1000;
    char text[64];
    std::snprintf(text, sizeof text, "%.3s, %02u %.3s %04lld %02lld:%02lld:%02lld",
                  weekdays + weekday * 3, date.day, months + (date.month - 1) * 3,
                  static_cast<long long>(date.year), static_cast<long long>(secs / 3600),
                  static_cast<long long>(secs / 60 % 60), static_cast<long long>(secs % 60));
    return text;
}

std::size_t FindLastOccurrence(const std::string& pattern, const std::string& text)
{
    if (pattern.empty() || text.empty())
        return 0;
    const std::size_t at = text.rfind(pattern);
    return at == std::string::npos ? 0 : at + 1;
}

void ReplaceDocExt(std::string& docName, const std::string& newExt)
{
    const std::size_t dot = docName.rfind('.');
    if (dot != std::string::npos)
        docName = docName.substr(0, dot + 1) + newExt;
    else
        docName += "." + newExt;
}

}  // namespace quenlo
