// quenlo-cli config [--file PATH]
//
// Shows what the monitor reads from its printers file. Without --file the file is located as the
// window locates it (settings file, config home, home, current directory).
//
// Output, one item a line:
//   the path of the file (relative, "printers.qdl", when found in the current directory);
//   one line per printer entry, in list order: its twelve fields in order, tab-separated
//     (name, localhost, localport, remotehost, remoteport, url, user, pass, comment, StatusText,
//     GatewayState, GatewayProcess; the last three as they stand after reading: this command
//     starts no gateway, so they are empty, 0 and 0);
//   the proxy settings as "proxy", "proxyport", "proxyuser", "proxypass", each followed by a tab
//     and its value.
// Texts are written as read, except that a backslash, a tab and other control bytes are written as
// C escapes (\\, \t, \r, \xHH), so a line always holds exactly its fields.
//
// A file saved as UTF-16 is read like its UTF-8 copy, but the gateways read the file themselves and
// may not understand it: when such a file has entries that start a gateway, a warning says so.
//
// Exit codes: 0 read; 1 no file found, or the file cannot be read; 2 a bad argument.
#include "cli/Command.h"
#include "config/PrintersFile.h"
#include "platform/Path.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

namespace quenlo::cli {

namespace {

std::string Shown(const std::string& text)
{
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (b < 0x20 || b == 0x7f) {
            out += "\\x";
            out += kHex[b >> 4];
            out += kHex[b & 0x0f];
        } else {
            out += c;
        }
    }
    return out;
}

std::string EntryLine(const TAList& e)
{
    const std::string fields[] = {
        e.name,       e.localhost, std::to_string(e.localport), e.remotehost,
        std::to_string(e.remoteport), e.url, e.user, e.pass, e.comment, e.StatusText,
        std::to_string(e.GatewayState), std::to_string(e.GatewayProcess.pid),
    };
    std::string line = Shown(fields[0]);
    for (std::size_t i = 1; i < std::size(fields); ++i)
        line += '\t' + Shown(fields[i]);
    return line;
}

bool IsUtf16File(const std::string& path)
{
    std::ifstream in(platform::FileSystemPath(path), std::ios::binary);
    char start[2] = {};
    in.read(start, 2);
    return EncodingOfFile(std::string_view(start, static_cast<std::size_t>(in.gcount()))) != FileEncoding::EightBit;
}

void WarnOfUtf16Gateways(const std::string& path, const PrinterList& printers)
{
    const auto gateways = std::count_if(printers.begin(), printers.end(), [](const TAList& e) { return e.localport >= 0; });
    if (gateways > 0 && IsUtf16File(path))
        std::cerr << "quenlo-cli config: " << path << " is saved as UTF-16, but " << gateways
                  << " of its printers start a gateway, which may not read it: save it as UTF-8 or ANSI\n";
}

int RunConfig(const std::vector<std::string>& argv)
{
    const Args args(argv, {"file"});
    if (!args.positional().empty())
        throw UsageError{"unexpected argument " + args.positional().front()};

    PrinterList printers;
    ProxySettings proxy;
    std::string path;
    bool read = false;
    if (const std::optional<std::string> file = args.value("file")) {
        if (file->empty())
            throw UsageError{"--file needs a path"};
        path = *file;
        read = ReadPrintersFileAt(path, DirectoryPrefix(path), printers, proxy);
    } else {
        const std::optional<std::string> configDir = LocatePrintersFile();
        if (!configDir) {
            std::cerr << "quenlo-cli config: no " << kPrintersFileName
                      << " found (settings ConfDir, config home, home and current directory tried)\n";
            return 1;
        }
        path = *configDir + kPrintersFileName;
        read = ReadPrintersFile(*configDir, printers, proxy);
    }
    if (!read) {
        std::cerr << "quenlo-cli config: cannot read " << path << "\n";
        return 1;
    }

    std::string out = Shown(path) + "\n";
    for (const TAList& e : printers)
        out += EntryLine(e) + "\n";
    out += "proxy\t" + Shown(proxy.Proxy) + "\n";
    out += "proxyport\t" + Shown(proxy.ProxyPort) + "\n";
    out += "proxyuser\t" + Shown(proxy.ProxyUsername) + "\n";
    out += "proxypass\t" + Shown(proxy.ProxyPassword) + "\n";
    if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size() || std::fflush(stdout) != 0) {
        std::cerr << "quenlo-cli config: cannot write the output\n";
        return 1;
    }
    if (printers.empty())
        std::cerr << "quenlo-cli config: " << path << " lists no printers\n";
    WarnOfUtf16Gateways(path, printers);
    return 0;
}

const CommandRegistration kConfig{{"config", "[--file PATH]", RunConfig}};

}  // namespace

}  // namespace quenlo::cli
