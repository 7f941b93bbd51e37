#include "monitor/DisplayText.h"

#include "config/Cp1250.h"
#include "config/Utf8.h"

#include <algorithm>
#include <iterator>

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

bool IsBidiControl(char16_t c) { return (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069); }

// The UTF-16 units whose bidirectional class is right-to-left (R, AL) or an Arabic number (AN), as
// the Unicode character database derives them (unassigned units of right-to-left blocks included).
constexpr char16_t kRightToLeft[][2] = {
    {0x0590, 0x0590}, {0x05BE, 0x05BE}, {0x05C0, 0x05C0}, {0x05C3, 0x05C3},
    {0x05C6, 0x05C6}, {0x05C8, 0x0605}, {0x0608, 0x0608}, {0x060B, 0x060B},
    {0x060D, 0x060D}, {0x061B, 0x064A}, {0x0660, 0x0669}, {0x066B, 0x066F},
    {0x0671, 0x06D5}, {0x06DD, 0x06DD}, {0x06E5, 0x06E6}, {0x06EE, 0x06EF},
    {0x06FA, 0x0710}, {0x0712, 0x072F}, {0x074B, 0x07A5}, {0x07B1, 0x07EA},
    {0x07F4, 0x07F5}, {0x07FA, 0x07FC}, {0x07FE, 0x0815}, {0x081A, 0x081A},
    {0x0824, 0x0824}, {0x0828, 0x0828}, {0x082E, 0x0858}, {0x085C, 0x0897},
    {0x08A0, 0x08C9}, {0x08E2, 0x08E2}, {0x200F, 0x200F}, {0xFB1D, 0xFB1D},
    {0xFB1F, 0xFB28}, {0xFB2A, 0xFD3D}, {0xFD50, 0xFDCE}, {0xFDF0, 0xFDFC},
    {0xFE70, 0xFEFE},
};

bool IsRightToLeft(char16_t c)
{
    return c >= kRightToLeft[0][0] && std::any_of(std::begin(kRightToLeft), std::end(kRightToLeft),
                       [c](const char16_t (&range)[2]) { return c >= range[0] && c <= range[1]; });
}

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

std::u16string IsolatedDisplayText(std::string_view bytes)
{
    std::u16string text = DisplayText(bytes);
    // Left-to-right text without bidirectional controls needs nothing, and stays exactly as it was.
    if (std::none_of(text.begin(), text.end(), [](char16_t c) { return IsRightToLeft(c) || IsBidiControl(c); }))
        return text;
    std::u16string out;
    out.reserve(text.size() + 10);
    out.push_back(u'\u2068');  // FIRST STRONG ISOLATE
    for (const char16_t c : text) {
        if (!IsBidiControl(c)) {
            out.push_back(c);
            continue;
        }
        constexpr char16_t kHex[] = u"0123456789ABCDEF";
        out += u"<U+";
        for (int shift = 12; shift >= 0; shift -= 4)
            out.push_back(kHex[(c >> shift) & 0xF]);
        out.push_back(u'>');
    }
    out.push_back(u'\u2069');  // POP DIRECTIONAL ISOLATE
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
