#include "monitor/DisplayText.h"

#include "config/Cp1250.h"

namespace quenlo {

namespace {

// Length of the well-formed UTF-8 sequence at bytes[i] (2 to 4), or 0 when there is none:
// overlong forms, surrogates and code points above U+10FFFF are not well formed.
std::size_t Utf8SequenceAt(std::string_view bytes, std::size_t i)
{
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
    const unsigned char lead = at(i);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0;
        if (lead == 0xED)
            high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;
        if (lead == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    if (i + length > bytes.size() || at(i + 1) < low || at(i + 1) > high)
        return 0;
    for (std::size_t k = 2; k < length; ++k)
        if (at(i + k) < 0x80 || at(i + k) > 0xBF)
            return 0;
    return length;
}

void AppendCodePoint(std::u16string& out, char32_t c)
{
    if (c < 0x10000) {
        out.push_back(static_cast<char16_t>(c));
        return;
    }
    c -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
}

char32_t DecodeSequence(std::string_view bytes, std::size_t i, std::size_t length)
{
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(bytes[i + k]); };
    char32_t c = at(0) & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k)
        c = (c << 6) | (at(k) & 0x3F);
    return c;
}

bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

std::u16string DisplayText(std::string_view bytes)
{
    std::u16string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x80) {
            out.push_back(c);
            ++i;
        } else if (const std::size_t n = Utf8SequenceAt(bytes, i)) {
            AppendCodePoint(out, DecodeSequence(bytes, i, n));
            i += n;
        } else {
            out.push_back(kCp1250High[c - 0x80]);
            ++i;
        }
    }
    return out;
}

std::u16string DisplayMessageText(std::string_view bytes, std::u16string_view lineBreak)
{
    const std::u16string text = DisplayText(bytes);
    std::u16string out;
    out.reserve(text.size() + 8);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == u'\r') {
            out += lineBreak;
            if (i + 1 < text.size() && text[i + 1] == u'\n')
                ++i;
        } else if (text[i] == u'\n') {
            out += lineBreak;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

std::u16string FittedText(std::u16string_view text, std::size_t limit)
{
    if (text.size() <= limit)
        return std::u16string(text);
    if (limit == 0)
        return {};
    std::size_t keep = limit - 1;  // room for the ellipsis
    // Never half of a surrogate pair.
    if (keep > 0 && keep < text.size() && IsLowSurrogate(text[keep]))
        --keep;
    return std::u16string(text.substr(0, keep)) + u'\u2026';
}

std::u16string FittedLines(std::u16string_view text, std::size_t limit)
{
    if (text.size() <= limit)
        return std::u16string(text);
    std::size_t end = text.find(u'\n');
    if (end == std::u16string_view::npos || end > limit)
        return FittedText(text.substr(0, end), limit);
    for (std::size_t next; (next = text.find(u'\n', end + 1)) != std::u16string_view::npos && next <= limit;)
        end = next;
    return std::u16string(text.substr(0, end));
}

}  // namespace quenlo
