#include "monitor/DisplayText.h"

#include "config/Cp1250.h"
#include "config/Utf8.h"

namespace quenlo {

namespace {

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

bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

std::u16string DisplayText(std::string_view bytes)
{
    std::u16string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        if (const std::optional<Utf8Sequence> sequence = Utf8SequenceAt(bytes, i)) {
            AppendCodePoint(out, sequence->code);
            i += sequence->length;
        } else {
            out.push_back(kCp1250High[static_cast<unsigned char>(bytes[i]) - 0x80]);
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
