// quenlo-cli add HOST[:PORT][/PATH] [--user U] [--pass P] [--config FILE] [--dry-run]
//
// Adds a server's print queues to the printers file, one entry per queue. Without a path the server
// is asked for all its queues (CUPS-Get-Printers: printers and classes); with one, that one queue
// is checked with Get-Printer-Attributes. Each entry gets the queue's printer-name, remotehost
// HOST:PORT (631 when no port is given), url /printers/NAME, /classes/NAME or the path given,
// localport=-1 (no gateway), the printer-info as comment, user and pass when given, and
// encryption=Required when the server is another machine.
//
// The file is the one --config names, else the one the window would find, else a new one in the
// per-user folder (XDG config home or %APPDATA%, below Dorvane/Quenlo). A queue the file already
// lists (same remotehost and url) is not added again; a name another entry has gets " (HOST)"
// appended. The file keeps its bytes, encoding and line ends (see config/PrintersFileWriter.h); a
// name that a code page 1250 file cannot hold is skipped with a message. A file holding a password
// is made readable by its owner only.
//
// Output: one line per queue on standard output ("added", "listed already" or, with --dry-run,
// the entry's lines as they would be written, escaped as the tab-separated outputs are).
//
// Exit codes: 0 the file lists the server's queues (also when all were listed already); 1 the
// server could not be reached, refused the request or lists no queue, or the file could not be
// written: nothing was written; 2 a bad argument.
#include "cli/Command.h"
#include "config/PrintersFile.h"
#include "config/PrintersFileWriter.h"
#include "ipp/Ipp.h"
#include "net/HttpProt.h"

#include <fstream>
#include <iostream>
#include <iterator>
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
    Target t;
    const std::size_t slash = text.find('/', text.starts_with("[") ? text.find(']') : 0);
    const std::string hostPort = text.substr(0, slash);
    if (slash != std::string::npos)
        t.path = text.substr(slash);
    std::size_t colon = hostPort.rfind(':');
    if (hostPort.starts_with("[") && (colon == std::string::npos || colon < hostPort.find(']')))
        colon = std::string::npos;
    t.host = hostPort.substr(0, colon);
    const std::string port = colon == std::string::npos ? kDefaultPort : hostPort.substr(colon + 1);
    if (t.host.empty() || t.host.find_first_of(" \t\r\n@?#") != std::string::npos)
        throw UsageError{"HOST is missing or not a host name: " + text};
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
        std::stol(port) < 1 || std::stol(port) > 65535)
        throw UsageError{"PORT is not a port number: " + text};
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
             const ProxySettings& proxy)
{
    THttpCli http;
    http.SetURL("http://" + target.remotehost + path);
    http.SetUsername(args.valueOr("user", ""));
    http.SetPassword(args.valueOr("pass", ""));
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

std::string ReadFileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The printers file to add to, and whether it exists.
std::string FileToAddTo(const Args& args)
{
    if (const std::optional<std::string> given = args.value("config")) {
        if (given->empty())
            throw UsageError{"--config needs a path"};
        return *given;
    }
    if (const std::optional<std::string> dir = LocatePrintersFile())
        return *dir + kPrintersFileName;
    return UserPrintersFilePath(PrintersFileSearch::FromProcess());
}

std::vector<Queue> QueuesOf(const Target& target, const Args& args, const ProxySettings& proxy)
{
    const std::string user = args.valueOr("user", "");
    Exchange asked = target.path.empty()
                         ? Ask(target, "/", BuildCupsGetPrintersRequest(user), args, proxy)
                         : Ask(target, target.path,
                               BuildGetPrinterAttributesRequest("http://" + target.remotehost + target.path),
                               args, proxy);
    if (!asked.failure.empty()) {
        std::cerr << "quenlo-cli add: " << target.remotehost << " ";
        if (!asked.refused)
            std::cerr << "could not be asked: " << asked.failure << "\n";
        else if (target.path.empty())
            std::cerr << "refused to list its queues (CUPS-Get-Printers): " << asked.failure
                      << "\nName the queue instead: quenlo-cli add " << target.remotehost << "/printers/NAME\n";
        else
            std::cerr << "refused Get-Printer-Attributes for " << target.path << ": " << asked.failure << "\n";
        return {};
    }
    if (asked.queues.empty())
        std::cerr << "quenlo-cli add: " << target.remotehost << target.path << " lists no queue\n";
    return asked.queues;
}

int RunAdd(const std::vector<std::string>& argv)
{
    const Args args(argv, {"user", "pass", "config"}, {"dry-run"});
    if (args.positional().size() != 1)
        throw UsageError{args.positional().empty() ? "HOST is missing" : "exactly one HOST is taken"};
    const Target target = ParseTarget(args.positional().front());
    const std::string path = FileToAddTo(args);
    if (path.empty()) {
        std::cerr << "quenlo-cli add: no folder for a printers file (HOME is not set); give one with --config\n";
        return 1;
    }

    const std::string old = ReadFileBytes(path);
    PrinterList listed;
    ProxySettings proxy;
    ReadPrintersFileAt(path, DirectoryPrefix(path), listed, proxy);
    const FileLayout layout = LayoutOfFile(old);

    const std::vector<Queue> queues = QueuesOf(target, args, proxy);
    if (queues.empty())
        return 1;

    const auto nameTaken = [&](const std::string& asRead) {
        for (const TAList& e : listed)
            if (e.name == asRead)
                return true;
        return false;
    };
    std::string lines;
    int added = 0;
    for (const Queue& q : queues) {
        NewPrinterEntry entry;
        entry.remotehost = target.remotehost;
        entry.url = !target.path.empty() ? target.path
                                         : (q.isClass ? "/classes/" : "/printers/") + PercentEncoded(q.name);
        entry.name = OneLineValue(q.name);
        entry.comment = q.info;
        entry.user = args.valueOr("user", "");
        entry.pass = args.valueOr("pass", "");
        // A server on another machine is reached over TLS only, so its password never crosses in clear.
        entry.encryption = IsThisMachine(target.host) ? "" : "Required";
        bool already = false;
        for (const TAList& e : listed)
            already = already || (e.remotehost == entry.remotehost && e.url == entry.url);
        if (already) {
            std::cout << "listed already\t" << EscapedField(entry.name) << "\t" << entry.remotehost << entry.url << "\n";
            continue;
        }
        std::optional<std::string> asRead = TextAsRead(entry.name, layout.charset);
        if (asRead && nameTaken(*asRead)) {
            entry.name += " (" + target.host + ")";
            asRead = TextAsRead(entry.name, layout.charset);
        }
        if (!asRead) {
            std::cerr << "quenlo-cli add: skipped " << EscapedField(entry.name) << ": " << path
                      << " is in code page 1250, which cannot hold the name\n";
            continue;
        }
        // Later queues of this run must see this one's name and address too.
        TAList& now = listed.emplace_back();
        now.name = *asRead;
        now.remotehost = entry.remotehost;
        now.url = entry.url;
        const std::string entryLines = EntryLines(entry, layout.lineEnd);
        lines += entryLines;
        ++added;
        if (args.flag("dry-run")) {
            std::size_t start = 0;
            for (std::size_t end; (end = entryLines.find('\n', start)) != std::string::npos; start = end + 1)
                std::cout << EscapedField(entryLines.substr(start, end - start - (layout.lineEnd == "\r\n"))) << "\n";
        } else {
            std::cout << "added\t" << EscapedField(entry.name) << "\t" << entry.remotehost << entry.url << "\n";
        }
    }
    if (added == 0 || args.flag("dry-run")) {
        std::cout.flush();
        std::cerr << "quenlo-cli add: " << path << (args.flag("dry-run") ? " not changed (dry run)\n" : " not changed\n");
        return 0;
    }

    const std::string bytes = BytesToAppend(layout, lines);
    const bool secret = !args.valueOr("pass", "").empty();
    if (const std::optional<std::string> failure = AppendToFile(path, bytes, secret)) {
        std::cerr << "quenlo-cli add: " << *failure << "\n";
        return 1;
    }
    std::cout.flush();
    std::cerr << "quenlo-cli add: " << added << (added == 1 ? " printer" : " printers") << " written to " << path
              << (secret ? " (readable by you only: it holds a password)\n" : "\n");
    return 0;
}

const CommandRegistration kAdd{Command{"add", "HOST[:PORT][/PATH] [--user U] [--pass P] [--config FILE] [--dry-run]",
                                       RunAdd}};

}  // namespace

}  // namespace quenlo::cli
