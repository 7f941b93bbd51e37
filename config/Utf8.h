// The one reader of UTF-8 sequences, for the printers file's writer and the windows' texts alike.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace quenlo {

struct Utf8Sequence {
    char32_t code;
    std::size_t length;  // 1 to 4 bytes
};

// The well-formed UTF-8 sequence at text[i] (ASCII included), or nothing when the byte there starts
// none: overlong forms, surrogates and code points above U+10FFFF are not well formed.
inline std::optional<Utf8Sequence> Utf8SequenceAt(std::string_view text, std::size_t i)
{
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = at(i);
    if (lead < 0x80)
        return Utf8Sequence{lead, 1};
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    char32_t code = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0F;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return std::nullopt;
    }
    if (i + length > text.size() || at(i + 1) < low || at(i + 1) > high)
        return std::nullopt;
    for (std::size_t k = 1; k < length; ++k) {
        if (at(i + k) < 0x80 || at(i + k) > 0xBF)
            return std::nullopt;
        code = (code << 6) | (at(i + k) & 0x3F);
    }
    return Utf8Sequence{code, length};
}

}  // namespace quenlo
