#include "winapp/WideText.h"

#include <windows.h>

namespace quenlo::winapp {

namespace {

constexpr UINT kCentralEuropean = 1250;

// Appends the UTF-16 of `length` bytes at `data` in `codePage`; false (and nothing appended) when
// `strict` and the bytes are not valid in that code page.
bool AppendDecoded(std::wstring& out, UINT codePage, const char* data, std::size_t length, bool strict) {
    if (length == 0)
        return true;
    const DWORD flags = strict ? MB_ERR_INVALID_CHARS : 0;
    const int n = static_cast<int>(length);
    const int wide = MultiByteToWideChar(codePage, flags, data, n, nullptr, 0);
    if (wide <= 0)
        return false;
    const std::size_t at = out.size();
    out.resize(at + static_cast<std::size_t>(wide));
    MultiByteToWideChar(codePage, flags, data, n, out.data() + at, wide);
    return true;
}

// Length of the UTF-8 sequence that the lead byte announces (2 to 4), or 0 for a byte that cannot
// begin one. Whether the sequence is well formed is left to the strict conversion.
std::size_t Utf8LengthOfLead(unsigned char lead) {
    if (lead >= 0xC2 && lead <= 0xDF)
        return 2;
    if (lead >= 0xE0 && lead <= 0xEF)
        return 3;
    if (lead >= 0xF0 && lead <= 0xF4)
        return 4;
    return 0;
}

std::wstring DecodeMixed(const std::string& bytes) {
    std::wstring out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x80) {
            out.push_back(static_cast<wchar_t>(c));
            ++i;
            continue;
        }
        const std::size_t n = Utf8LengthOfLead(c);
        if (n != 0 && i + n <= bytes.size() && AppendDecoded(out, CP_UTF8, bytes.data() + i, n, true)) {
            i += n;
            continue;
        }
        if (!AppendDecoded(out, kCentralEuropean, bytes.data() + i, 1, true))
            out.push_back(L'\xFFFD');
        ++i;
    }
    return out;
}

}  // namespace

std::wstring WideForDisplay(const std::string& bytes) {
    std::wstring text;
    if (AppendDecoded(text, CP_UTF8, bytes.data(), bytes.size(), true))
        return text;
    return DecodeMixed(bytes);
}

std::wstring WideMessageText(const std::string& bytes) {
    const std::wstring text = WideForDisplay(bytes);
    std::wstring out;
    out.reserve(text.size() + 8);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'\r') {
            out += L"\r\n";
            if (i + 1 < text.size() && text[i + 1] == L'\n')
                ++i;
        } else if (text[i] == L'\n') {
            out += L"\r\n";
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

}  // namespace quenlo::winapp
