#include "config/PrintersFileWriter.h"
#include "config/Cp1250.h"
#include "config/Utf8.h"
#include "platform/Settings.h"


namespace quenlo {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// The code point of the UTF-8 sequence at text[i], advancing i past it; U+FFFD (and one byte) for a
// byte that starts no well-formed sequence.
char32_t NextCodePoint(std::string_view text, std::size_t& i)
{
    if (const std::optional<Utf8Sequence> sequence = Utf8SequenceAt(text, i)) {
        i += sequence->length;
        return sequence->code;
    }
    ++i;
    return kReplacement;
}

void AppendUnit(std::string& out, char32_t unit, bool bigEndian)
{
    const char hi = static_cast<char>((unit >> 8) & 0xFF);
    const char lo = static_cast<char>(unit & 0xFF);
    out += bigEndian ? hi : lo;
    out += bigEndian ? lo : hi;
}

std::optional<char> Cp1250Byte(char32_t code)
{
    if (code < 0x80)
        return static_cast<char>(code);
    for (std::size_t k = 0; k < kCp1250High.size(); ++k)
        if (kCp1250High[k] == code && code != kReplacement)
            return static_cast<char>(0x80 + k);
    return std::nullopt;
}

}  // namespace

const char* NativeLineEnd()
{
    return platform::kLineEnd;
}

std::string WellFormedUtf8(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const std::optional<Utf8Sequence> sequence = Utf8SequenceAt(text, i);
        out += sequence ? text.substr(i, sequence->length) : std::string_view("\xEF\xBF\xBD");
        i += sequence ? sequence->length : 1;
    }
    return out;
}

FileCharset CharsetOf8BitText(std::string_view bytes)
{
    // Text in code page 1250 rarely happens to form UTF-8 sequences, and then only here and there;
    // UTF-8 text with a stray byte still has its sequences.
    std::size_t sequences = 0, strays = 0;
    for (std::size_t i = 0; i < bytes.size();) {
        const std::optional<Utf8Sequence> sequence = Utf8SequenceAt(bytes, i);
        if (sequence && sequence->length > 1)
            ++sequences;
        else if (!sequence)
            ++strays;
        i += sequence ? sequence->length : 1;
    }
    return strays == 0 || (sequences > 0 && sequences >= strays) ? FileCharset::Utf8 : FileCharset::Cp1250;
}

FileLayout LayoutOfFile(std::string_view bytes)
{
    FileLayout layout;
    std::string text;
    switch (EncodingOfFile(bytes)) {
    case FileEncoding::Utf16LE:
        layout.charset = FileCharset::Utf16LE;
        text = Utf16ToUtf8(bytes.substr(2), false);
        break;
    case FileEncoding::Utf16BE:
        layout.charset = FileCharset::Utf16BE;
        text = Utf16ToUtf8(bytes.substr(2), true);
        break;
    case FileEncoding::EightBit:
        layout.charset = CharsetOf8BitText(bytes);
        text = bytes;
        break;
    }
    const std::size_t lf = text.find('\n');
    layout.lineEnd = lf == std::string::npos ? NativeLineEnd() : lf > 0 && text[lf - 1] == '\r' ? "\r\n" : "\n";
    layout.endsInLineEnd = text.empty() || text.back() == '\n';
    return layout;
}

std::optional<std::string> Utf8ToCp1250(std::string_view utf8)
{
    std::string out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size();) {
        const std::optional<char> b = Cp1250Byte(NextCodePoint(utf8, i));
        if (!b)
            return std::nullopt;
        out += *b;
    }
    return out;
}

std::string Utf8ToUtf16(std::string_view utf8, bool bigEndian)
{
    std::string out;
    out.reserve(utf8.size() * 2);
    for (std::size_t i = 0; i < utf8.size();) {
        const char32_t code = NextCodePoint(utf8, i);
        if (code >= 0x10000) {
            AppendUnit(out, 0xD800 + ((code - 0x10000) >> 10), bigEndian);
            AppendUnit(out, 0xDC00 + ((code - 0x10000) & 0x3FF), bigEndian);
        } else {
            AppendUnit(out, code, bigEndian);
        }
    }
    return out;
}

std::optional<std::string> TextAsRead(std::string_view utf8, FileCharset charset)
{
    if (charset == FileCharset::Cp1250)
        return Utf8ToCp1250(utf8);
    return std::string(utf8);
}

std::string OneLineValue(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = ' ';
    return out;
}

std::string EntryLines(const NewPrinterEntry& entry, const std::string& lineEnd)
{
    std::string lines = "<printer>" + lineEnd;
    const auto add = [&](const char* key, const std::string& value) {
        lines += key;
        lines += '=';
        lines += OneLineValue(value);
        lines += lineEnd;
    };
    add("name", entry.name);
    add("remotehost", entry.remotehost);
    add("url", entry.url);
    add("localport", "-1");
    add("comment", entry.comment);
    if (!entry.encryption.empty())
        add("encryption", entry.encryption);
    if (!entry.user.empty())
        add("user", entry.user);
    if (!entry.pass.empty())
        add("pass", entry.pass);
    return lines + "<endprinter>" + lineEnd;
}

std::string NewFileGlobalLines(const std::string& lineEnd)
{
    std::string lines;
    for (const char* line : {"<global>", "admin=1", "watch=30", "<endglobal>"})
        lines.append(line).append(lineEnd);
    return lines;
}

std::string BytesToAppend(const FileLayout& layout, std::string_view utf8Lines)
{
    std::string text = layout.endsInLineEnd ? std::string() : layout.lineEnd;
    text += utf8Lines;
    switch (layout.charset) {
    case FileCharset::Utf8:
        return text;
    case FileCharset::Cp1250: {
        std::string out;
        for (std::size_t i = 0; i < text.size();)
            out += Cp1250Byte(NextCodePoint(text, i)).value_or('?');
        return out;
    }
    case FileCharset::Utf16LE:
    case FileCharset::Utf16BE:
        return Utf8ToUtf16(text, layout.charset == FileCharset::Utf16BE);
    }
    return text;
}

std::string UserPrintersFilePath(const PrintersFileSearch& search)
{
    if (search.appData.empty())
        return {};
    constexpr char sep = platform::kDirSeparator;
    return search.appData + sep + "Dorvane" + sep + "Quenlo" + sep + kPrintersFileName;
}

}  // namespace quenlo
