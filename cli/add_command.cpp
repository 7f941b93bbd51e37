// quenlo-cli add HOST[:PORT][/PATH] [--user U] [--pass P] [--config FILE] [--dry-run] [--json]
//
// Adds a server's print queues to the printers file, one entry per queue. Without a path the server
// is asked for all its queues (CUPS-Get-Printers: printers and classes); with one, that one queue
// is checked with Get-Printer-Attributes. Each entry gets the queue's printer-name, remotehost
// HOST:PORT (631 when no port is given), url /printers/NAME, /classes/NAME or the path given,
// localport=-1 (no gateway), the printer-info as comment, user and pass when given, and
// encryption=Required when the server is another machine. With --user and without --pass the
// password is asked for (on the terminal without echo, else one line of standard input; an empty
// one is none) and, once the file is written, kept in the credential store as quenlo-cli login
// keeps it; --pass still writes it into the file, with a warning.
//
// The file is the one --config names, else the one the window would find, else a new one in the
// per-user folder (XDG config home or %APPDATA%, below Dorvane/Quenlo). A queue the file already
// lists (same remotehost and url) is not added again; a name another entry has gets " (HOST)"
// appended. The file keeps its bytes, encoding, line ends and permissions (see
// config/PrintersFileWriter.h); bytes of a name or description that are not UTF-8 become U+FFFD,
// and a name that a code page 1250 file cannot hold is skipped with a message. A file holding a
// password is made readable by its owner only. A file made new starts with a "<global>" block that
// switches on the administrator's window and a watch every 30 seconds; a file that was there is
// never changed so.
//
// Output: one line per queue on standard output ("added", "listed already" or, with --dry-run,
// the entry's lines as they would be written, escaped as the tab-separated outputs are). With
// --json, one object per queue instead: result ("added", "listed already" or "to add" for a dry
// run), name, remotehost, url, comment, user, password (whether one is given: never the password
// itself) and encryption.
//
// Exit codes: 0 the file lists the server's queues (also when all were listed already); 1 the
// server could not be reached, refused the request or lists no queue, or the file could not be
// written: nothing was written, or the asked password could not be kept (the file is written); 2 a
// bad argument. The file is replaced whole (written beside it and
// renamed over it), so a failed write leaves it as it was; "added" is printed only once the new
// file is in place. Runs at the same time take turns on the file.
#include "cli/CliTexts.h"
#include "cli/Command.h"
#include "cli/Json.h"
#include "config/PrintersFile.h"
#include "config/PrintersFileWriter.h"
#include "ipp/Ipp.h"
#include "net/HttpProt.h"
#include "net/HttpUrl.h"
#include "platform/Credentials.h"
#include "platform/FileUpdate.h"

#include <filesystem>
#include <iostream>
#include <optional>
#include <sstream>
#include <string_view>

namespace quenlo::cli {

namespace {

constexpr const char* kDefaultPort = "631";

// HOST[:PORT][/PATH], the host possibly an IPv6 literal in brackets; an "ipp://" or "http://" in
// front is dropped.
struct Target {
    std::string host;
    std::string remotehost;  // host:port
    std::string path;        // empty: every queue of the server
};

Target ParseTarget(const std::string& given)
{
    // A queue's address copied from a browser or a printer list may come with its scheme.
    std::string text = given;
    for (const char* scheme : {"ipp://", "http://"})
        if (text.starts_with(scheme))
            text.erase(0, std::string_view(scheme).size());
    const TUrlParts parts = SplitUrl(text, TUrlStart::Host);
    Target t;
    t.host = parts.Host;
    t.path = parts.Path;
    const std::string_view hostPort = std::string_view(text).substr(0, text.size() - t.path.size());
    // Credentials go in --user and --pass, never in front of the host.
    if (t.host.empty() || hostPort.find('@') != std::string_view::npos ||
        t.host.find_first_of(" \t\r\n?#") != std::string::npos)
        throw UsageError{texts::kNotAHost + text};
    // "HOST:" names no port: it is refused, not read as the default one.
    const std::string port = !parts.Port.empty() || hostPort.ends_with(':') ? parts.Port : kDefaultPort;
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
        std::stol(port) < 1 || std::stol(port) > 65535)
        throw UsageError{texts::kNotAPort + text};
    if (t.path == "/")
        t.path.clear();
    t.remotehost = t.host + ":" + port;
    return t;
}

// A queue name as a URL path segment: everything but the unreserved ASCII characters escaped.
std::string PercentEncoded(const std::string& name)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (char c : name) {
        const auto b = static_cast<unsigned char>(c);
        if ((b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') || c == '-' ||
            c == '.' || c == '_' || c == '~') {
            out += c;
        } else {
            out += '%';
            out += kHex[b >> 4];
            out += kHex[b & 0x0F];
        }
    }
    return out;
}

struct Queue {
    std::string name;
    std::string info;
    bool isClass = false;
};

// Why a request did not give the queues; empty when it did.
struct Exchange {
    std::vector<Queue> queues;
    std::string failure;
    bool refused = false;  // the server answered, but not with the queues
};

// Posts one IPP request to http://remotehost + path and walks the printer groups of the answer.
Exchange Ask(const Target& target, const std::string& path, const IppMessage& request, const Args& args,
             const ProxySettings& proxy, const std::string& password)
{
    THttpCli http;
    http.SetURL("http://" + target.remotehost + path);
    http.SetUsername(args.valueOr("user", ""));
    http.SetPassword(password);
    http.SetProxy(proxy.Proxy);
    http.SetProxyPort(proxy.ProxyPort);
    http.SetProxyUsername(proxy.ProxyUsername);
    http.SetProxyPassword(proxy.ProxyPassword);
    http.SetNoProgressTimeout(std::chrono::seconds(30));
    http.SetContentTypePost("application/ipp");
    std::istringstream body(request);
    std::ostringstream reply;
    http.SetPostStream(&body);
    http.SetReplyStream(&reply);

    Exchange result;
    try {
        http.ExecuteRequest(hrPost);
        if (http.CredentialsWentPlain())
            WarnPasswordWentPlain("");
    } catch (const EHttpException& e) {
        result.failure = e.Message() + " (HTTP " + std::to_string(http.ReplyStatus()) + ")";
        result.refused = http.ReplyStatus() >= 400 && http.ReplyStatus() != 404;
        return result;
    }
    std::optional<Queue> open;
    const auto close = [&] {
        if (open && !open->name.empty())
            result.queues.push_back(std::move(*open));
        open.reset();
    };
    const std::optional<IppResponseHeader> header = WalkResponse(
        reply.str(), kIppPrinterWalkDelimiterLimit,
        [&](const IppAttribute& a) {
            if (!open)
                return;
            if (a.name == "printer-name" && open->name.empty())
                open->name = std::string(a.text);
            else if (a.name == "printer-info" && open->info.empty())
                open->info = std::string(a.text);
            else if (a.name == "printer-type")
                open->isClass = (a.integer & 1) != 0;
        },
        [&](int tag) {
            close();
            if (tag == kIppTagPrinterAttributes)
                open.emplace();
        });
    if (!header) {
        result.failure = "the answer is not IPP";
        result.refused = true;
    } else if (header->statusCode >= 0x0100) {
        static const char kHex[] = "0123456789abcdef";
        std::string code = "0x";
        for (int shift = 12; shift >= 0; shift -= 4)
            code += kHex[(header->statusCode >> shift) & 0xF];
        result.failure = "IPP status " + code;
        result.refused = true;
        result.queues.clear();
    }
    return result;
}

// The printers file to add to, and whether it exists.
std::string FileToAddTo(const Args& args)
{
    if (const std::optional<std::string> given = GivenPrintersFile(args))
        return *given;
    if (const std::optional<std::string> dir = LocatePrintersFile())
        return *dir + kPrintersFileName;
    return UserPrintersFilePath(PrintersFileSearch::FromProcess());
}

std::vector<Queue> QueuesOf(const Target& target, const Args& args, const ProxySettings& proxy,
                            const std::string& password)
{
    const std::string user = args.valueOr("user", "");
    Exchange asked = target.path.empty()
                         ? Ask(target, "/", BuildCupsGetPrintersRequest(user), args, proxy, password)
                         : Ask(target, target.path,
                               BuildGetPrinterAttributesRequest("http://" + target.remotehost + target.path),
                               args, proxy, password);
    if (!asked.failure.empty()) {
        std::cerr << texts::kAdd << target.remotehost << " ";
        if (!asked.refused)
            std::cerr << texts::kCouldNotBeAsked << EscapedField(asked.failure) << "\n";
        else if (target.path.empty())
            std::cerr << texts::kRefusedQueueList << EscapedField(asked.failure)
                      << "\n" << texts::kNameTheQueue << target.remotehost << "/printers/NAME\n";
        else
            std::cerr << texts::kRefusedAttributes << target.path << ": "
                      << EscapedField(asked.failure) << "\n";
        return {};
    }
    if (asked.queues.empty())
        std::cerr << texts::kAdd << target.remotehost << target.path << texts::kListsNoQueue << "\n";
    return asked.queues;
}

// The entries to add for `queues` to the file at `path`, laid out as `layout`: the lines for the
// file and what standard output is to say of each queue. Queues the file lists already, or whose names a
// code page 1250 file cannot hold, are left out.
// One queue's line of --json: the entry as it is (to be) written, the password only as whether
// there is one.
std::string EntryJson(const NewPrinterEntry& entry, const char* result)
{
    return JsonObject()
               .Text("result", result)
               .Text("name", entry.name)
               .Text("remotehost", entry.remotehost)
               .Text("url", entry.url)
               .Text("comment", entry.comment)
               .Text("user", entry.user)
               .Bool("password", !entry.pass.empty())
               .Text("encryption", entry.encryption)
               .Line() +
           "\n";
}

struct Additions {
    std::string lines;   // UTF-8, in the file's line ends
    std::string report;  // for standard output
    int added = 0;
};

Additions AdditionsFor(const std::vector<Queue>& queues, const Target& target, const Args& args,
                       const std::string& path, const FileLayout& layout)
{
    PrinterList listed;
    ProxySettings ignored;
    ReadPrintersFileAt(path, DirectoryPrefix(path), listed, ignored);
    const auto nameTaken = [&](const std::string& asRead) {
        for (const TAList& e : listed)
            if (e.name == asRead)
                return true;
        return false;
    };
    Additions result;
    for (const Queue& q : queues) {
        NewPrinterEntry entry;
        entry.remotehost = target.remotehost;
        entry.url = !target.path.empty() ? target.path
                                         : (q.isClass ? "/classes/" : "/printers/") + PercentEncoded(q.name);
        // The url keeps the name's own bytes, which the server knows the queue by; the file gets text.
        entry.name = OneLineValue(WellFormedUtf8(q.name));
        entry.comment = WellFormedUtf8(q.info);
        entry.user = args.valueOr("user", "");
        entry.pass = args.valueOr("pass", "");
        // A server on another machine is reached over TLS only, so its password never crosses in clear.
        entry.encryption = IsThisMachine(target.host) ? "" : "Required";
        bool already = false;
        for (const TAList& e : listed)
            already = already || (e.remotehost == entry.remotehost && e.url == entry.url);
        if (already) {
            result.report += args.flag("json") ? EntryJson(entry, "listed already")
                                               : "listed already\t" + EscapedField(entry.name) + "\t" + entry.remotehost + entry.url + "\n";
            continue;
        }
        std::optional<std::string> asRead = TextAsRead(entry.name, layout.charset);
        if (asRead && nameTaken(*asRead)) {
            entry.name += " (" + target.host + ")";
            asRead = TextAsRead(entry.name, layout.charset);
        }
        if (!asRead) {
            std::cerr << texts::kAdd << texts::kSkipped << EscapedField(entry.name) << ": " << EscapedField(path)
                      << texts::kInCodePage1250 << "\n";
            continue;
        }
        // Later queues of this run must see this one's name and address too.
        TAList& now = listed.emplace_back();
        now.name = *asRead;
        now.remotehost = entry.remotehost;
        now.url = entry.url;
        const std::string entryLines = EntryLines(entry, layout.lineEnd);
        result.lines += entryLines;
        ++result.added;
        if (args.flag("json")) {
            result.report += EntryJson(entry, args.flag("dry-run") ? "to add" : "added");
        } else if (args.flag("dry-run")) {
            std::size_t start = 0;
            for (std::size_t end; (end = entryLines.find('\n', start)) != std::string::npos; start = end + 1)
                result.report +=
                    EscapedField(entryLines.substr(start, end - start - (layout.lineEnd == "\r\n"))) + "\n";
        } else {
            result.report += "added\t" + EscapedField(entry.name) + "\t" + entry.remotehost + entry.url + "\n";
        }
    }
    return result;
}

int RunAdd(const std::vector<std::string>& argv)
{
    const Args args(argv, {"user", "pass", "config"}, {"dry-run", "json"});
    if (args.positional().size() != 1)
        throw UsageError{args.positional().empty() ? texts::kHostMissing : texts::kOneHost};
    const Target target = ParseTarget(args.positional().front());
    const std::string path = FileToAddTo(args);
    if (path.empty()) {
        std::cerr << texts::kAdd << texts::kNoFolderForFile << "\n";
        return 1;
    }

    PrinterList printers;
    ProxySettings proxy;
    ReadPrintersFileAt(path, DirectoryPrefix(path), printers, proxy);
    // Without --pass the password is asked for and kept in the credential store, never in the file.
    const std::string user = args.valueOr("user", "");
    std::string asked;
    if (args.value("pass"))
        std::cerr << texts::kAdd << texts::kWarning << texts::kPassOnTheCommandLine << "\n";
    else if (!user.empty())
        asked = AskPassword(platform::CredentialServer(target.remotehost, kDefaultPort), user).value_or("");
    struct Wipe {
        std::string& secret;
        ~Wipe() { platform::ClearSecret(secret); }
    } wipe{asked};
    const std::vector<Queue> queues = QueuesOf(target, args, proxy, args.value("pass").value_or(asked));
    if (queues.empty())
        return 1;

    // Another add may have changed the file while the server was asked: it is read again, and held
    // until the new one is in place, so that two runs at once neither lose nor repeat an entry.
    const bool dryRun = args.flag("dry-run");
    std::optional<platform::FileLock> lock;
    if (!dryRun) {
        lock.emplace(path);
        if (!lock->Held()) {
            std::cerr << texts::kAdd << lock->Failure() << "\n";
            return 1;
        }
    }
    const std::string old = platform::FileBytes(path);
    const FileLayout layout = LayoutOfFile(old);
    const Additions additions = AdditionsFor(queues, target, args, path, layout);
    if (additions.added == 0 || dryRun) {
        std::cout << additions.report;
        std::cout.flush();
        std::cerr << texts::kAdd << path << texts::kNotChanged << (dryRun ? texts::kDryRun : "") << "\n";
        return 0;
    }

    // A file made here starts with the administrator's window and the watch on; a file that was
    // there keeps its settings.
    std::error_code error;
    const bool made = !std::filesystem::exists(path, error) && !error;
    const std::string global = made ? NewFileGlobalLines(layout.lineEnd) : std::string();
    const bool secret = !args.valueOr("pass", "").empty();
    if (const std::optional<std::string> failure =
            platform::ReplaceFileBytes(path, old + BytesToAppend(layout, global + additions.lines), secret)) {
        std::cerr << texts::kAdd << *failure << "\n";
        return 1;
    }
    lock.reset();
    // Only now: "added" is a promise that the file holds the entry.
    std::cout << additions.report;
    std::cout.flush();
    std::cerr << texts::kAdd << additions.added << (additions.added == 1 ? texts::kOnePrinterWritten : texts::kPrintersWritten)
              << path << (secret ? texts::kReadableByYouOnly : "") << "\n";
    if (!asked.empty() &&
        !KeepPassword("add", platform::CredentialServer(target.remotehost, kDefaultPort), user, asked))
        return 1;
    return 0;
}

const CommandRegistration kAdd{Command{"add", "HOST[:PORT][/PATH] [--user U] [--pass P] [--config FILE] [--dry-run] [--json]",
                                       RunAdd}};

}  // namespace

}  // namespace quenlo::cli
