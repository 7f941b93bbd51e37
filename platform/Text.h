// Small byte-string rules that several layers share, kept in one place. They look at ASCII only:
// every other byte (UTF-8 sequences, the printers file's code page) passes through unchanged,
// whatever the process locale.
#pragma once

#include <string>
#include <string_view>

namespace quenlo::platform {

constexpr char AsciiLower(char c) noexcept
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

inline std::string AsciiLower(std::string s)
{
    for (char& c : s)
        c = AsciiLower(c);
    return s;
}

// Equal but for the case of ASCII letters.
constexpr bool AsciiEqualIgnoringCase(std::string_view a, std::string_view b) noexcept
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i]))
            return false;
    return true;
}

constexpr char AsciiUpper(char c) noexcept
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

inline std::string AsciiUpper(std::string s)
{
    for (char& c : s)
        c = AsciiUpper(c);
    return s;
}

// Without blanks and control characters (every byte up to ' ') at either end.
inline std::string TrimControls(std::string_view text)
{
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && static_cast<unsigned char>(text[begin]) <= ' ')
        ++begin;
    while (end > begin && static_cast<unsigned char>(text[end - 1]) <= ' ')
        --end;
    return std::string(text.substr(begin, end - begin));
}

// The value of a hexadecimal digit (either case), or -1.
constexpr int HexDigitValue(char c) noexcept
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace quenlo::platform
