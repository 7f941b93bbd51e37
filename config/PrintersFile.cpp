#include "config/PrintersFile.h"
#include "platform/Text.h"

#include "platform/Path.h"
#include "platform/Settings.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

namespace quenlo {

namespace {

// Lower case for ASCII letters only: accented letters of the file's code page stay as they are.
using platform::AsciiLower;

int DigitValue(char c, bool hex)
{
    if (hex)
        return platform::HexDigitValue(c);
    return c >= '0' && c <= '9' ? c - '0' : -1;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Locating

PrintersFileSearch PrintersFileSearch::FromProcess()
{
    PrintersFileSearch search;
    if (auto settings = platform::Settings::OpenUser())
        search.confDir = settings->Text("ConfDir").value_or(std::string());
    search.appData = platform::UserConfigHome();
    search.userProfile = platform::UserProfileDir();
    return search;
}

bool PrintersFileExists(const std::string& path)
{
    return platform::IsRegularFile(path);
}

std::optional<std::string> LocatePrintersFile(const PrintersFileSearch& search,
                                              const std::function<bool(const std::string&)>& exists)
{
    auto found = [&](const std::string& dir) { return exists(dir + kPrintersFileName); };

    std::string dir = search.confDir.value_or(std::string());
    if (found(dir))
        return dir;
    constexpr char sep = platform::kDirSeparator;
    dir = search.appData.empty() ? std::string() : search.appData + sep + "Dorvane" + sep + "Quenlo" + sep;
    if (found(dir))
        return dir;
    dir = search.userProfile.empty() ? std::string() : search.userProfile + sep;
    if (found(dir))
        return dir;
    dir.clear();
    if (found(dir))
        return dir;
    return std::nullopt;
}

std::optional<std::string> LocatePrintersFile()
{
    return LocatePrintersFile(PrintersFileSearch::FromProcess());
}

// ---------------------------------------------------------------------------------------------
// Numbers

std::int32_t NumberOfValue(std::string_view value, int& errorPos)
{
    const std::size_t n = value.size();
    std::size_t i = 0;
    while (i < n && value[i] == ' ')
        ++i;

    bool hex = false;
    bool negative = false;
    if (i < n && (value[i] == '$' || value[i] == 'x' || value[i] == 'X')) {
        hex = true;
        ++i;
    } else if (i + 1 < n && value[i] == '0' && (value[i + 1] == 'x' || value[i + 1] == 'X')) {
        hex = true;
        i += 2;
    } else if (i < n && (value[i] == '+' || value[i] == '-')) {
        negative = value[i] == '-';
        ++i;
    }
    if (i >= n) {  // no digit at all
        errorPos = static_cast<int>(i) + 1;
        return 0;
    }

    // Hex fills all 32 bits (two's complement); decimal stops at the int32 range.
    const std::uint64_t limit = hex ? 0xFFFFFFFFull : (negative ? 0x80000000ull : 0x7FFFFFFFull);
    std::uint64_t magnitude = 0;
    for (; i < n; ++i) {
        const int d = DigitValue(value[i], hex);
        const std::uint64_t next = magnitude * (hex ? 16 : 10) + static_cast<std::uint64_t>(d);
        if (d < 0 || next > limit) {
            // A failed value is the digits before the failure, without the sign.
            errorPos = static_cast<int>(i) + 1;
            return static_cast<std::int32_t>(static_cast<std::uint32_t>(magnitude));
        }
        magnitude = next;
    }
    errorPos = 0;
    if (hex || !negative)
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(magnitude));
    return static_cast<std::int32_t>(-static_cast<std::int64_t>(magnitude));
}

std::int32_t NumberOfValue(const std::string& value)
{
    int errorPos = 0;
    return NumberOfValue(value, errorPos);
}

// ---------------------------------------------------------------------------------------------
// Reading

PrintersFileReader::PrintersFileReader(PrinterList& printers, ProxySettings& proxy,
                                       std::string configDir, GatewayStarter startGateway)
    : printers_(printers), proxy_(proxy), configDir_(std::move(configDir)),
      startGateway_(std::move(startGateway)), firstEntry_(printers.size())
{
}

void PrintersFileReader::ReadLine(std::string line)
{
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    const std::size_t eq = line.find('=');
    const std::string key = AsciiLower(line.substr(0, eq));
    const std::string value = eq == std::string::npos ? std::string() : line.substr(eq + 1);

    if (key == "proxy") {
        proxy_.Proxy = value;
    } else if (key == "proxyport") {
        proxy_.ProxyPort = value;
    } else if (key == "proxyuser") {
        proxy_.ProxyUsername = value;
    } else if (key == "proxypass") {
        proxy_.ProxyPassword = value;
    } else if (key == "watch") {
        proxy_.Watch = NumberOfValue(value);
    } else if (key == "requesttimeout") {
        proxy_.RequestTimeout = NumberOfValue(value);
    } else if (key == "watchdevice") {
        proxy_.WatchDevice = NumberOfValue(value);
    } else if (key == "admin") {
        proxy_.Admin = NumberOfValue(value);
    } else if (key == "<global>") {
        inGlobal_ = true;
    } else if (key == "<endglobal>") {
        inGlobal_ = false;
    } else if (key == "encryption" && inGlobal_) {
        proxy_.Encryption = value;
    } else if (key == "<printer>") {
        open_.emplace();
        current_ = &*open_;
    } else if (key == "<endprinter>") {
        EndPrinter();
    } else {
        SetPrinterField(key, value);
    }
}

void PrintersFileReader::SetPrinterField(const std::string& key, const std::string& value)
{
    if (current_ == nullptr)
        return;  // no "<printer>" line yet
    TAList& e = *current_;
    if (key == "name")
        e.name = value;
    else if (key == "localhost")
        e.localhost = value;
    else if (key == "localport")
        e.localport = NumberOfValue(value);
    else if (key == "remotehost")
        e.remotehost = value;
    else if (key == "remoteport")
        e.remoteport = NumberOfValue(value);
    else if (key == "url")
        e.url = value;
    else if (key == "user")
        e.user = value;
    else if (key == "pass")
        e.pass = value;
    else if (key == "comment")
        e.comment = value;
    else if (key == "encryption")
        e.encryption = value;
    else if (key == "direct")
        e.direct = NumberOfValue(value) != 0 || AsciiLower(value) == "yes" || AsciiLower(value) == "true";
    // comments and unknown keys: nothing
}

void PrintersFileReader::EndPrinter()
{
    // Only an entry not yet appended is appended: a repeated "<endprinter>" would list the same
    // printer twice and start a second gateway for it.
    if (!open_)
        return;
    printers_.push_back(std::move(*open_));
    open_.reset();
    current_ = &printers_.back();
    if (current_->localport >= 0 && startGateway_)
        startGateway_(*current_, configDir_);
}

FileEncoding EncodingOfFile(std::string_view start)
{
    if (start.starts_with("\xFF\xFE"))
        return FileEncoding::Utf16LE;
    if (start.starts_with("\xFE\xFF"))
        return FileEncoding::Utf16BE;
    return FileEncoding::EightBit;
}

namespace {

void AppendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

std::string Utf16ToUtf8(std::string_view bytes, bool bigEndian)
{
    constexpr char32_t kReplacement = 0xFFFD;
    const std::size_t units = bytes.size() / 2;
    auto unit = [&](std::size_t i) -> char32_t {
        const auto a = static_cast<unsigned char>(bytes[2 * i]);
        const auto b = static_cast<unsigned char>(bytes[2 * i + 1]);
        return bigEndian ? char32_t(a << 8 | b) : char32_t(b << 8 | a);
    };
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < units; ++i) {
        const char32_t u = unit(i);
        if (u >= 0xD800 && u < 0xDC00 && i + 1 < units && unit(i + 1) >= 0xDC00 && unit(i + 1) < 0xE000) {
            AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (unit(i + 1) - 0xDC00));
            ++i;
        } else if (u >= 0xD800 && u < 0xE000) {
            AppendUtf8(out, kReplacement);
        } else {
            AppendUtf8(out, u);
        }
    }
    return out;
}

void PrintersFileReader::ReadAll(std::istream& in)
{
    // The file is small: taken whole, so its first bytes can say how the rest is to be read.
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const FileEncoding encoding = EncodingOfFile(all);
    if (encoding != FileEncoding::EightBit)
        all = Utf16ToUtf8(std::string_view(all).substr(2), encoding == FileEncoding::Utf16BE);
    std::istringstream text(std::move(all));
    ReadLines(text);
    ApplyGlobalDefaults();
}

// A "<global>" value holds for every entry, also for those above it in the file.
void PrintersFileReader::ApplyGlobalDefaults()
{
    for (std::size_t i = firstEntry_; i < printers_.size(); ++i)
        if (printers_[i].encryption.empty())
            printers_[i].encryption = proxy_.Encryption;
}

void PrintersFileReader::ReadLines(std::istream& in)
{
    std::string line;
    bool first = true;
    while (std::getline(in, line)) {
        // An editor's UTF-8 byte order mark would otherwise become part of the first key and
        // silently lose a "<printer>" line that starts the file.
        if (first && line.compare(0, 3, "\xEF\xBB\xBF") == 0)
            line.erase(0, 3);
        first = false;
        ReadLine(std::move(line));
    }
}

bool ReadPrintersFileAt(const std::string& path, const std::string& configDir, PrinterList& printers,
                        ProxySettings& proxy, const GatewayStarter& startGateway)
{
    if (!PrintersFileExists(path))
        return false;
    std::ifstream in(platform::FileSystemPath(path), std::ios::binary);
    if (!in)
        return false;
    PrintersFileReader reader(printers, proxy, configDir, startGateway);
    reader.ReadAll(in);
    return true;
}

bool ReadPrintersFile(const std::string& configDir, PrinterList& printers, ProxySettings& proxy,
                      const GatewayStarter& startGateway)
{
    return ReadPrintersFileAt(configDir + kPrintersFileName, configDir, printers, proxy, startGateway);
}

}  // namespace quenlo
