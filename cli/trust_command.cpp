// quenlo-cli trust HOST[:PORT] | --list [--json] | --forget HOST[:PORT]
//
// The certificates kept by trust on first use (net/TlsTrust.h): look at a server's and keep it
// (also after it has changed, which is the only way a changed one is ever accepted), list them,
// or forget one.
#include "cli/CliTexts.h"
#include "cli/Command.h"
#include "cli/Json.h"
#include "net/HttpProt.h"
#include "net/HttpUrl.h"
#include "net/TlsTrust.h"

#include <iostream>
#include <sstream>

namespace quenlo::cli {

namespace {

// "HOST[:PORT]" as the store keys it; 631 when no port is given.
std::string ServerKeyOf(const std::string& text)
{
    const TUrlParts parts = SplitUrl(text);
    if (parts.Host.empty() || !parts.Path.empty() || !parts.User.empty() || !WireSafe(text, false))
        throw UsageError{texts::kHostPortExpected + text};
    return TrustKey(parts.Host, parts.Port.empty() ? "631" : parts.Port);
}

int ListKept(const TTrustStore& store, bool json)
{
    for (const auto& [key, fingerprint] : store.List()) {
        if (json)
            std::cout << JsonObject().Text("server", key).Text("fingerprint", fingerprint).Line() << '\n';
        else
            std::cout << EscapedField(key) << '\t' << EscapedField(fingerprint) << '\n';
    }
    std::cout.flush();
    return std::cout ? 0 : 1;
}

int Forget(const TTrustStore& store, const std::string& key)
{
    if (store.Forget(key))
        return 0;
    std::cerr << texts::kProgram << texts::kNoCertificateOf << key << texts::kIsKeptIn << store.Path() << "\n";
    return 1;
}

// One request over TLS with the kept fingerprint set aside, so that the client keeps what the
// server shows now; the old one comes back when the server cannot be reached.
int Keep(const TTrustStore& store, const std::string& key)
{
    const std::optional<std::string> before = store.Find(key);
    if (before)
        store.Forget(key);
    THttpCli http;
    http.SetStrictTrust(false);
    http.SetTrustStorePath(store.Path());
    http.SetURL("https://" + key + "/");
    std::ostringstream ignored;
    http.SetReplyStream(&ignored);
    try {
        http.Get();
    } catch (const EHttpException&) {
        // Any answer will do: only the handshake matters here.
    }
    const std::optional<std::string> now = store.Find(key);
    if (now) {
        std::cout << key << "\tSHA-256 " << *now << (before && *before != *now ? "\t(replaces " + *before + ")" : "")
                  << "\n";
        return 0;
    }
    if (before)
        store.Keep(key, *before);
    if (http.Encrypted()) {
        std::cout << key << "\ttrusted by the system's certificate store\n";
        return 0;
    }
    std::cerr << texts::kProgram << key << ": " << EscapedField(http.ReplyReason()) << "\n";
    return 1;
}

int RunTrust(const std::vector<std::string>& argv)
{
    const Args args(argv, {"forget"}, {"list", "json"});
    const TTrustStore store(DefaultTrustStorePath());
    if (store.Path().empty()) {
        std::cerr << texts::kProgram << texts::kNoHome << "\n";
        return 1;
    }
    if (args.flag("list")) {
        if (!args.positional().empty() || args.value("forget"))
            throw UsageError{texts::kListTakesNothing};
        return ListKept(store, args.flag("json"));
    }
    if (const auto forget = args.value("forget")) {
        if (!args.positional().empty())
            throw UsageError{texts::kForgetTakesOne};
        return Forget(store, ServerKeyOf(*forget));
    }
    if (args.positional().size() != 1)
        throw UsageError{texts::kOneHostPort};
    return Keep(store, ServerKeyOf(args.positional().front()));
}

const CommandRegistration kTrust{Command{"trust", "HOST[:PORT] | --list [--json] | --forget HOST[:PORT]", RunTrust}};

}  // namespace

}  // namespace quenlo::cli
