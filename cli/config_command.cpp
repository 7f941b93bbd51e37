// quenlo-cli config [--config FILE] [--json]
//
// Shows what the monitor reads from its printers file. Without --config (or --file, its older name,
// still taken) the file is located as the window locates it (settings file, config home, home,
// current directory).
//
// Output, one item a line:
//   the path of the file (relative, "printers.qdl", when found in the current directory);
//   one line per printer entry, in list order: its twelve fields in order, tab-separated
//     (name, localhost, localport, remotehost, remoteport, url, user, pass, comment, StatusText,
//     GatewayState, GatewayProcess; the last three as they stand after reading: this command
//     starts no gateway, so they are empty, 0 and 0);
//   the proxy settings as "proxy", "proxyport", "proxyuser", "proxypass", each followed by a tab
//     and its value;
//   only when the file sets them: "requesttimeout" and its seconds, and "direct" and the name of
//     each entry that has the direct key.
// A password (pass, proxypass) is never written: a set one shows as kHiddenPassword, so the fields
// keep their places and a script still sees whether there is one.
// Texts are written as read, except for the escapes of EscapedField (backslash, control bytes,
// C1 and bidirectional controls, bytes outside UTF-8), so a line always holds exactly its fields.
//
// With --json, one object instead: path; printers, a list of objects (name, localhost, localport,
// remotehost, remoteport, url, user, password, comment, direct, encryption); proxy (host, port,
// user, password); requesttimeout and watch (null when the file does not set them). A password
// appears only as whether there is one.
//
// A file saved as UTF-16 is read like its UTF-8 copy, but the gateways read the file themselves and
// may not understand it: when such a file has entries that start a gateway, a warning says so.
//
// A printers file that holds a password (a printer's or the proxy's) and that the group or others may
// read brings a warning on standard error; the exit code stays 0.
//
// An entry or proxy value that could never be sent (a control byte, or a space in a host, port or
// URL) is reported on standard error, one line each, and makes the exit code 3.
//
// With --move-passwords, nothing is shown: every "pass" and "proxypass" of the file goes into the
// credential store (as quenlo-cli login keeps them; a remotehost without a port is at port 80) and
// its lines are taken out. The file is written beside itself and renamed over it, every other byte,
// its encoding and line ends and its permissions kept; a line goes only once the store has taken its
// password. An entry that starts a gateway keeps its "pass" (the gateway reads the file), with a
// warning. Exit 1 when there is no store (the text says what is missing): the file is not changed.
//
// Exit codes: 0 read; 1 no file found, or the file cannot be read; 2 a bad argument; 3 read, but a
// value can never be sent.
#include "cli/CliTexts.h"
#include "cli/Command.h"
#include "cli/Json.h"
#include "config/PasswordLines.h"
#include "config/PrintersFile.h"
#include "monitor/Monitor.h"
#include "platform/Credentials.h"
#include "platform/FileUpdate.h"
#include "platform/Path.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

namespace quenlo::cli {

namespace {

constexpr const char* kHiddenPassword = "********";

std::string Hidden(const std::string& password) { return password.empty() ? std::string() : kHiddenPassword; }

std::string EntryLine(const TAList& e)
{
    const std::string fields[] = {
        e.name,       e.localhost, std::to_string(e.localport), e.remotehost,
        std::to_string(e.remoteport), e.url, e.user, Hidden(e.pass), e.comment, e.StatusText,
        std::to_string(e.GatewayState), std::to_string(e.GatewayProcess.pid),
    };
    std::string line = EscapedField(fields[0]);
    for (std::size_t i = 1; i < std::size(fields); ++i)
        line += '\t' + EscapedField(fields[i]);
    return line;
}

std::string FileLines(const std::string& path, const PrinterList& printers, const ProxySettings& proxy)
{
    std::string out = EscapedField(path) + "\n";
    for (const TAList& e : printers)
        out += EntryLine(e) + "\n";
    out += "proxy\t" + EscapedField(proxy.Proxy) + "\n";
    out += "proxyport\t" + EscapedField(proxy.ProxyPort) + "\n";
    out += "proxyuser\t" + EscapedField(proxy.ProxyUsername) + "\n";
    out += "proxypass\t" + Hidden(proxy.ProxyPassword) + "\n";
    if (proxy.RequestTimeout > 0)
        out += "requesttimeout\t" + std::to_string(proxy.RequestTimeout) + "\n";
    for (const TAList& e : printers)
        if (e.direct)
            out += "direct\t" + EscapedField(e.name) + "\n";
    return out;
}

std::string FileJson(const std::string& path, const PrinterList& printers, const ProxySettings& proxy)
{
    std::vector<JsonObject> entries;
    for (const TAList& e : printers)
        entries.push_back(JsonObject()
                              .Text("name", e.name)
                              .Text("localhost", e.localhost)
                              .Number("localport", e.localport)
                              .Text("remotehost", e.remotehost)
                              .Number("remoteport", e.remoteport)
                              .Text("url", e.url)
                              .Text("user", e.user)
                              .Bool("password", !e.pass.empty())
                              .Text("comment", e.comment)
                              .Bool("direct", e.direct)
                              .Text("encryption", e.encryption));
    const auto setting = [](std::int32_t value) { return value > 0 ? std::optional<std::int64_t>(value) : std::nullopt; };
    return JsonObject()
               .Text("path", path)
               .Objects("printers", entries)
               .Object("proxy", JsonObject()
                                    .Text("host", proxy.Proxy)
                                    .Text("port", proxy.ProxyPort)
                                    .Text("user", proxy.ProxyUsername)
                                    .Bool("password", !proxy.ProxyPassword.empty()))
               .NumberOrNull("requesttimeout", setting(proxy.RequestTimeout))
               .NumberOrNull("watch", setting(proxy.Watch))
               .Line() +
           "\n";
}

// A password in a file that others on the machine may read is theirs too.
void WarnWhenOthersCanReadAPassword(const std::string& path, const PrinterList& printers, const ProxySettings& proxy)
{
    bool secret = !proxy.ProxyPassword.empty();
    for (const TAList& e : printers)
        secret = secret || !e.pass.empty();
    if (secret && platform::OthersMayRead(path))
        std::cerr << texts::kConfig << texts::kWarning << path << texts::kOthersMayRead << path << "\n";
}

// True when something was reported.
bool ReportUnsendable(const PrinterList& printers, const ProxySettings& proxy)
{
    bool any = false;
    for (const TAList& e : printers) {
        if (const char* key = UnsendableKey(e)) {
            std::cerr << texts::kConfig << texts::kPrinterQuoted << EscapedField(e.name) << texts::kItsKey << key
                      << texts::kKeyUnsendable << "\n";
            any = true;
        }
    }
    if (const char* key = UnsendableKey(proxy)) {
        std::cerr << texts::kConfig << texts::kTheKey << key << texts::kKeySuffix << texts::kKeyUnsendable << "\n";
        any = true;
    }
    return any;
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
        std::cerr << texts::kConfig << path << texts::kSavedAsUtf16 << gateways << texts::kGatewaysMayNotRead << "\n";
}

// The file without the password lines the credential store took: each password of an entry (or the
// proxy's) is stored first, and its lines go only once it is kept. An entry with a gateway keeps its
// "pass", since the gateway reads the file itself; so does one without a user, which the store
// could not key.
int MovePasswords(const std::string& path)
{
    platform::FileLock lock(path);
    if (!lock.Held()) {
        std::cerr << texts::kConfig << lock.Failure() << "\n";
        return 1;
    }
    const std::string bytes = platform::FileBytes(path);
    std::vector<PasswordLine> lines = PasswordLinesOf(bytes);
    const auto sameSecret = [](const PasswordLine& a, const PasswordLine& b) {
        return a.proxy == b.proxy && a.server == b.server && a.user == b.user;
    };
    std::vector<PasswordLine> moved;
    for (const PasswordLine& line : lines) {
        if (!line.holds)
            continue;
        const std::string what = line.proxy ? std::string(texts::kTheProxysPassword)
                                            : texts::kThePasswordOf + EscapedField(line.user) + texts::kAt + EscapedField(line.server);
        if (line.gateway) {
            std::cerr << texts::kConfig << texts::kWarning << what << texts::kStaysForTheGateway << "\n";
            continue;
        }
        if (line.user.empty() || line.server.empty()) {
            std::cerr << texts::kConfig << texts::kWarning << what
                      << (line.user.empty() ? texts::kStaysWithoutUser : texts::kStaysWithoutProxy) << "\n";
            continue;
        }
        std::string error;
        if (!platform::StorePassword(platform::CredentialServer(line.server, "80"), line.user, line.value, error)) {
            std::cerr << texts::kConfig << error << "; " << path << texts::kNotChanged << "\n";
            return 1;
        }
        moved.push_back(line);
        std::cerr << texts::kConfig << texts::kMoved << what << texts::kToTheStore << "\n";
    }
    std::erase_if(lines, [&](const PasswordLine& line) {
        return std::none_of(moved.begin(), moved.end(), [&](const PasswordLine& m) { return sameSecret(m, line); });
    });
    if (lines.empty()) {
        std::cerr << texts::kConfig << path << texts::kNotChanged << "\n";
        return 0;
    }
    if (const std::optional<std::string> failure = platform::ReplaceFileBytes(path, WithoutLines(bytes, lines), false)) {
        std::cerr << texts::kConfig << *failure << texts::kKeptInTheStoreToo << "\n";
        return 1;
    }
    std::cerr << texts::kConfig << lines.size() << (lines.size() == 1 ? texts::kOneLineTakenOut : texts::kLinesTakenOut) << path << "\n";
    return 0;
}

int RunConfig(const std::vector<std::string>& argv)
{
    // --file is the name this command took before every command took --config.
    const Args args(argv, {"config", "file"}, {"json", "move-passwords"});
    if (!args.positional().empty())
        throw UsageError{texts::kUnexpectedArgument + args.positional().front()};

    PrinterList printers;
    ProxySettings proxy;
    const std::optional<std::string> read = ReadPrinters(args, printers, proxy);
    if (!read)
        return 1;
    const std::string& path = *read;
    if (args.flag("move-passwords"))
        return MovePasswords(path);

    const std::string out = args.flag("json") ? FileJson(path, printers, proxy) : FileLines(path, printers, proxy);
    if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size() || std::fflush(stdout) != 0) {
        std::cerr << texts::kConfig << texts::kCannotWriteOutput << "\n";
        return 1;
    }
    if (printers.empty())
        std::cerr << texts::kConfig << path << texts::kListsNoPrinters << "\n";
    WarnOfUtf16Gateways(path, printers);
    WarnWhenOthersCanReadAPassword(path, printers, proxy);
    return ReportUnsendable(printers, proxy) ? 3 : 0;
}

const CommandRegistration kConfig{{"config", "[--config FILE] [--json | --move-passwords]", RunConfig}};

}  // namespace

}  // namespace quenlo::cli
