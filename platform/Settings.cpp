#include "platform/Settings.h"
#include "platform/Path.h"
#include "platform/Text.h"

#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

namespace quenlo::platform {

namespace {

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\f' || c == '\v';
}

std::string Trim(const std::string& s)
{
    std::size_t from = 0, to = s.size();
    while (from < to && (IsBlank(s[from]) || s[from] == '\r'))
        ++from;
    while (to > from && (IsBlank(s[to - 1]) || s[to - 1] == '\r'))
        --to;
    return s.substr(from, to - from);
}


// Appends code point `cp` as UTF-8 (the escapes of a settings file name characters, not bytes).
void AppendUtf8(std::string& out, unsigned long cp)
{
    if (cp > 0x10FFFF)
        cp = 0xFFFD;
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Keys escape other characters as %XX or %UXXXX, and write "/" (a group separator) as "\".
std::string UnescapeKey(const std::string& raw)
{
    std::string key;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        char c = raw[i];
        if (c == '\\') {
            key += '/';
        } else if (c == '%' && i + 5 < raw.size() && raw[i + 1] == 'U') {
            unsigned long cp = 0;
            bool ok = true;
            for (std::size_t k = 2; k < 6; ++k) {
                int d = HexDigitValue(raw[i + k]);
                ok = ok && d >= 0;
                cp = cp * 16 + static_cast<unsigned long>(d < 0 ? 0 : d);
            }
            if (!ok) {
                key += c;
                continue;
            }
            AppendUtf8(key, cp);
            i += 5;
        } else if (c == '%' && i + 2 < raw.size() && HexDigitValue(raw[i + 1]) >= 0 &&
                   HexDigitValue(raw[i + 2]) >= 0) {
            AppendUtf8(key, static_cast<unsigned long>(HexDigitValue(raw[i + 1]) * 16 + HexDigitValue(raw[i + 2])));
            i += 2;
        } else {
            key += c;
        }
    }
    return key;
}

// One value: the list of its comma-separated pieces, unescaped. A single piece is a text value.
std::vector<std::string> UnescapeValue(const std::string& raw)
{
    std::vector<std::string> pieces;
    std::string piece;
    bool quoted = false;
    // Unquoted blanks at the ends of a piece are dropped; `keep` marks how much of `piece` is
    // certain to stay (everything up to the last quoted, escaped or non-blank character).
    std::size_t keep = 0;
    bool started = false;
    auto finish = [&] {
        piece.resize(keep);
        pieces.push_back(piece);
        piece.clear();
        keep = 0;
        started = false;
    };
    std::size_t i = 0;
    while (i < raw.size()) {
        char c = raw[i++];
        if (c == '\\' && i < raw.size()) {
            char e = raw[i++];
            switch (e) {
            case 'a': piece += '\a'; break;
            case 'b': piece += '\b'; break;
            case 'f': piece += '\f'; break;
            case 'n': piece += '\n'; break;
            case 'r': piece += '\r'; break;
            case 't': piece += '\t'; break;
            case 'v': piece += '\v'; break;
            case 'x': {
                unsigned long cp = 0;
                int digits = 0;
                while (i < raw.size() && HexDigitValue(raw[i]) >= 0 && digits < 6) {
                    cp = cp * 16 + static_cast<unsigned long>(HexDigitValue(raw[i++]));
                    ++digits;
                }
                AppendUtf8(piece, cp);
                break;
            }
            case '0': case '1': case '2': case '3': case '4': case '5': case '6': case '7': {
                unsigned long cp = static_cast<unsigned long>(e - '0');
                int digits = 1;
                while (i < raw.size() && raw[i] >= '0' && raw[i] <= '7' && digits < 3) {
                    cp = cp * 8 + static_cast<unsigned long>(raw[i++] - '0');
                    ++digits;
                }
                AppendUtf8(piece, cp);
                break;
            }
            default:  // \\ \" \' \? \; \, and anything else stand for themselves
                piece += e;
                break;
            }
            keep = piece.size();
            started = true;
        } else if (c == '"') {
            quoted = !quoted;
            keep = piece.size();
            started = true;
        } else if (c == ',' && !quoted) {
            finish();
        } else if (IsBlank(c) && !quoted) {
            if (started)
                piece += c;
        } else {
            piece += c;
            keep = piece.size();
            started = true;
        }
    }
    finish();
    return pieces;
}

// The text of a value, or nullopt when it holds something else (a list, a typed value).
std::optional<std::string> TextOf(const std::string& raw)
{
    std::vector<std::string> pieces = UnescapeValue(raw);
    if (pieces.size() != 1)
        return std::nullopt;
    const std::string& v = pieces.front();
    if (v.empty() || v[0] != '@')
        return v;
    if (v.compare(0, 2, "@@") == 0)
        return v.substr(1);
    const std::string bytes = "@ByteArray(";
    if (v.compare(0, bytes.size(), bytes) == 0 && v.back() == ')')
        return v.substr(bytes.size(), v.size() - bytes.size() - 1);
    return std::nullopt;
}

// Splits the text into logical lines: a value line ending in an odd backslash goes on.
std::vector<std::string> LogicalLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::string current;
    std::size_t pos = 0;
    while (pos <= text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        pos = end + 1;
        std::size_t slashes = 0;
        while (slashes < line.size() && line[line.size() - 1 - slashes] == '\\')
            ++slashes;
        const bool inValue = !current.empty() || line.find('=') != std::string::npos;
        if (slashes % 2 == 1 && inValue && end < text.size()) {
            line.pop_back();
            current += line;
            continue;
        }
        current += line;
        lines.push_back(current);
        current.clear();
        if (end == text.size())
            break;
    }
    if (!current.empty())
        lines.push_back(current);
    return lines;
}

}  // namespace

std::optional<Settings> Settings::Open(const std::string& path)
{
    if (path.empty())
        return std::nullopt;
    std::ifstream in(FileSystemPath(path), std::ios::binary);
    if (!in)
        return std::nullopt;
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        return std::nullopt;
    return Parse(text);
}

Settings Settings::FromTexts(const std::map<std::string, std::string>& texts)
{
    Settings settings;
    settings.ignoreCase_ = true;
    for (const auto& [key, value] : texts)
        settings.values_[AsciiLower(key)] = value;
    return settings;
}

Settings Settings::Parse(const std::string& text)
{
    Settings settings;
    bool topLevel = true;  // before any section, or in [General]
    for (const std::string& line : LogicalLines(text)) {
        std::string t = Trim(line);
        if (t.empty() || t[0] == ';' || t[0] == '#')
            continue;
        if (t[0] == '[') {
            std::size_t close = t.find(']');
            std::string section = t.substr(1, close == std::string::npos ? std::string::npos : close - 1);
            topLevel = section == "General";
            continue;
        }
        if (!topLevel)
            continue;
        std::size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        std::string key = UnescapeKey(Trim(line.substr(0, eq)));
        if (key.empty() || key.find('/') != std::string::npos)
            continue;
        settings.values_[key] = TextOf(line.substr(eq + 1));
    }
    return settings;
}

std::optional<std::string> Settings::Text(const std::string& key) const
{
    auto it = values_.find(StoredKey(key));
    if (it == values_.end())
        return std::nullopt;
    return it->second;
}

std::string Settings::StoredKey(const std::string& key) const { return ignoreCase_ ? AsciiLower(key) : key; }

}  // namespace quenlo::platform
