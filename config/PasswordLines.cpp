#include "config/PasswordLines.h"

#include <optional>

namespace quenlo {

namespace {

struct RawLine {
    std::size_t begin;
    std::size_t end;
    std::string text;  // UTF-8 (or the 8-bit bytes as they are), without its line end
};

std::string AsciiLower(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// The file cut at its line feeds: bytes for an 8-bit file, code units for UTF-16, so that a 0x0A
// byte inside a UTF-16 character never cuts a line.
std::vector<RawLine> LinesOf(std::string_view bytes)
{
    const FileEncoding encoding = EncodingOfFile(bytes);
    const bool wide = encoding != FileEncoding::EightBit;
    const bool big = encoding == FileEncoding::Utf16BE;
    const std::size_t step = wide ? 2 : 1;
    const auto isLineFeed = [&](std::size_t at) {
        if (!wide)
            return bytes[at] == '\n';
        return bytes[at + (big ? 1 : 0)] == '\n' && bytes[at + (big ? 0 : 1)] == '\0';
    };
    std::vector<RawLine> lines;
    std::size_t start = 0;
    const std::size_t last = wide ? bytes.size() & ~std::size_t{1} : bytes.size();
    for (std::size_t at = wide ? 2 : 0; at < last || start < bytes.size(); at += step) {
        const bool ends = at >= last;
        if (!ends && !isLineFeed(at))
            continue;
        const std::size_t end = ends ? bytes.size() : at + step;
        const std::size_t textStart = start == 0 && wide ? 2 : start;
        const std::size_t textEnd = ends ? last : at;
        std::string_view raw = bytes.substr(textStart, textEnd > textStart ? textEnd - textStart : 0);
        std::string text = wide ? Utf16ToUtf8(raw, big) : std::string(raw);
        if (start == 0 && !wide && text.starts_with("\xEF\xBB\xBF"))
            text.erase(0, 3);
        if (!text.empty() && text.back() == '\r')
            text.pop_back();
        lines.push_back({start, end, std::move(text)});
        start = end;
        if (ends)
            break;
    }
    return lines;
}

PasswordLine PasswordLineAt(const RawLine& raw, bool proxy, const std::string& value)
{
    PasswordLine line;
    line.begin = raw.begin;
    line.end = raw.end;
    line.proxy = proxy;
    line.value = value;
    return line;
}

}  // namespace

std::vector<PasswordLine> PasswordLinesOf(std::string_view bytes)
{
    PrinterList entries;
    std::optional<TAList> open;
    ProxySettings proxy;
    std::vector<PasswordLine> found;
    std::vector<std::size_t> entryOf;  // per found line: the entry's index; pending ones get it later
    std::vector<std::size_t> pending;  // found lines of the open entry
    constexpr std::size_t kProxy = static_cast<std::size_t>(-1);
    const auto settle = [&](std::size_t index) {
        for (std::size_t line : pending)
            entryOf[line] = index;
        pending.clear();
    };

    for (const RawLine& line : LinesOf(bytes)) {
        const std::size_t eq = line.text.find('=');
        const std::string key = AsciiLower(line.text.substr(0, eq));
        const std::string value = eq == std::string::npos ? std::string() : line.text.substr(eq + 1);
        TAList* current = open ? &*open : (entries.empty() ? nullptr : &entries.back());
        if (key == "<printer>") {
            open.emplace();
            // Lines of an entry that never ended are read into nothing.
            for (std::size_t dropped : pending)
                entryOf[dropped] = kProxy - 1;
            pending.clear();
        } else if (key == "<endprinter>") {
            if (open) {
                entries.push_back(std::move(*open));
                open.reset();
                settle(entries.size() - 1);
            }
        } else if (key == "proxy") {
            proxy.Proxy = value;
        } else if (key == "proxyport") {
            proxy.ProxyPort = value;
        } else if (key == "proxyuser") {
            proxy.ProxyUsername = value;
        } else if (key == "proxypass" && !value.empty()) {
            found.push_back(PasswordLineAt(line, true, value));
            entryOf.push_back(kProxy);
        } else if (current == nullptr) {
            continue;
        } else if (key == "remotehost") {
            current->remotehost = value;
        } else if (key == "user") {
            current->user = value;
        } else if (key == "localport") {
            current->localport = NumberOfValue(value);
        } else if (key == "pass" && !value.empty()) {
            found.push_back(PasswordLineAt(line, false, value));
            entryOf.push_back(open ? 0 : entries.size() - 1);
            if (open)
                pending.push_back(found.size() - 1);
        }
    }
    for (std::size_t dropped : pending)
        entryOf[dropped] = kProxy - 1;

    std::vector<PasswordLine> listed;
    for (std::size_t i = 0; i < found.size(); ++i) {
        PasswordLine line = std::move(found[i]);
        if (entryOf[i] == kProxy) {
            line.server = ProxyServer(proxy);
            line.user = proxy.ProxyUsername;
        } else if (entryOf[i] == kProxy - 1) {
            continue;
        } else {
            const TAList& entry = entries[entryOf[i]];
            line.server = entry.remotehost;
            line.user = entry.user;
            line.gateway = entry.localport >= 0;
        }
        line.holds = true;
        for (std::size_t j = i + 1; j < found.size(); ++j)
            line.holds = line.holds && !(entryOf[j] == entryOf[i]);
        listed.push_back(std::move(line));
    }
    return listed;
}

std::string WithoutLines(std::string_view bytes, const std::vector<PasswordLine>& drop)
{
    std::string out;
    std::size_t at = 0;
    for (const PasswordLine& line : drop) {
        if (line.begin < at)
            continue;
        out.append(bytes.substr(at, line.begin - at));
        at = line.end;
    }
    out.append(bytes.substr(std::min(at, bytes.size())));
    return out;
}

}  // namespace quenlo
