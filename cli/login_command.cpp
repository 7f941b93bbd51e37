// quenlo-cli login HOST[:PORT] --user USER [--password-stdin]
// quenlo-cli login --list
// quenlo-cli logout HOST[:PORT] --user USER
//
// Keeps a server's password in the user's credential store (the desktop's keyring; on Windows the
// Credential Manager) so that the printers file needs only "user=": the monitor takes a password
// from the store when an entry has a user and no "pass". A server is HOST:PORT, 631 when no port is
// given, as quenlo-cli add writes it; an entry whose remotehost has no port is at port 80.
//
// login asks for the password on the terminal without echo (with --password-stdin, or when standard
// input is not a terminal, it reads one line from standard input), checks it with GET /admin/ (401:
// wrong; 200 or 403: right) and stores it. A server that answers /admin/ without asking for a
// password cannot check it: it is stored, and that is said. Encrypted from the first byte when the
// server is another machine. --list prints one "HOST:PORT<TAB>USER" line per kept password.
//
// Exit codes: 0 stored, removed or listed; 1 no credential store (the text says what is missing),
// a wrong password, a server that cannot be reached, or nothing kept to remove; 2 a bad argument.
#include "cli/CliTexts.h"
#include "cli/Command.h"
#include "net/HttpProt.h"
#include "net/HttpUrl.h"
#include "platform/Credentials.h"

#include <iostream>
#include <sstream>
#include <utility>

namespace quenlo::cli {

namespace {

constexpr const char* kDefaultPort = "631";

struct Server {
    std::string host;
    std::string key;  // host:port, as the store knows it
};

Server ServerOf(const std::string& given)
{
    const TUrlParts parts = SplitUrl(given, TUrlStart::Host);
    if (parts.Host.empty() || !parts.Path.empty() || given.find('@') != std::string::npos ||
        given.find_first_of(" \t\r\n?#") != std::string::npos)
        throw UsageError{texts::kNotAHost + given};
    if (!parts.Port.empty() && parts.Port.find_first_not_of("0123456789") != std::string::npos)
        throw UsageError{texts::kNotAPort + given};
    return {parts.Host, platform::CredentialServer(given, kDefaultPort)};
}

enum class Check { Right, Wrong, NotAsked, Unreachable };

// The status of GET /admin/, with or without the credentials; 0 when nothing answered.
std::int32_t AdminStatus(const Server& server, const std::string& user, const std::string& password,
                         std::string& failure)
{
    THttpCli http;
    http.SetURL("http://" + server.key + "/admin/");
    http.SetEncryption(IsThisMachine(server.host) ? heIfRequested : heRequired);
    http.SetUsername(user);
    http.SetPassword(password);
    http.SetNoProgressTimeout(std::chrono::seconds(30));
    std::ostringstream ignored;
    http.SetReplyStream(&ignored);
    try {
        http.ExecuteRequest(hrGet);
    } catch (const EHttpException& e) {
        failure = e.Message();
        if (http.RequestDoneError() != 0)
            return 0;
    }
    http.SetPassword("");
    return http.ReplyStatus();
}

Check CheckPassword(const Server& server, const std::string& user, const std::string& password,
                    std::string& failure)
{
    const std::int32_t asked = AdminStatus(server, "", "", failure);
    if (asked == 0)
        return Check::Unreachable;
    if (asked != 401)
        return Check::NotAsked;
    const std::int32_t answered = AdminStatus(server, user, password, failure);
    if (answered == 0)
        return Check::Unreachable;
    return answered == 401 ? Check::Wrong : Check::Right;
}

// The one HOST[:PORT] and the --user that login and logout both take.
std::pair<Server, std::string> ServerAndUserOf(const Args& args)
{
    if (args.positional().size() != 1)
        throw UsageError{texts::kOneHostPortTaken};
    const std::string user = args.valueOr("user", "");
    if (user.empty())
        throw UsageError{texts::kUserMissing};
    return {ServerOf(args.positional().front()), user};
}

int RunLogin(const std::vector<std::string>& argv)
{
    const Args args(argv, {"user"}, {"password-stdin", "list"});
    if (args.flag("list")) {
        if (!args.positional().empty() || args.value("user"))
            throw UsageError{"--list takes nothing else"};
        std::vector<platform::StoredCredential> kept;
        std::string error;
        if (!platform::ListCredentials(kept, error)) {
            std::cerr << texts::kLogin << error << "\n";
            return 1;
        }
        for (const platform::StoredCredential& c : kept)
            std::cout << EscapedField(c.server) << "\t" << EscapedField(c.user) << "\n";
        return 0;
    }
    const auto [server, user] = ServerAndUserOf(args);

    std::optional<std::string> password = AskPassword(server.key, user);
    if (!password || password->empty()) {
        std::cerr << texts::kLogin << texts::kNoPasswordGiven << "\n";
        return 1;
    }
    std::string failure;
    const Check check = CheckPassword(server, user, *password, failure);
    if (check == Check::Unreachable || check == Check::Wrong) {
        platform::ClearSecret(*password);
        std::cerr << texts::kLogin << server.key
                  << (check == Check::Wrong ? texts::kRefusedThePasswordOf + EscapedField(user)
                                            : texts::kCouldNotBeReached + EscapedField(failure))
                  << texts::kNothingStored << "\n";
        return 1;
    }
    const bool kept = KeepPassword("login", server.key, user, *password);
    platform::ClearSecret(*password);
    if (!kept)
        return 1;
    if (check == Check::NotAsked)
        std::cerr << texts::kLogin << server.key << texts::kNotChecked << "\n";
    return 0;
}

int RunLogout(const std::vector<std::string>& argv)
{
    const Args args(argv, {"user"});
    const auto [server, user] = ServerAndUserOf(args);
    const platform::StoreAnswer answer = platform::ForgetPassword(server.key, user);
    switch (answer.status) {
    case platform::StoreAnswer::Found:
        std::cerr << texts::kLogout << texts::kRemoved << EscapedField(platform::CredentialLabel(server.key, user)) << "\n";
        return 0;
    case platform::StoreAnswer::Missing:
        std::cerr << texts::kLogout << texts::kNoPasswordKeptFor << EscapedField(user) << texts::kAt << server.key << "\n";
        return 1;
    case platform::StoreAnswer::NoStore:
        std::cerr << texts::kLogout << answer.text << "\n";
        return 1;
    }
    return 1;
}

const CommandRegistration kLogin{{"login", "HOST[:PORT] --user USER [--password-stdin] | --list", RunLogin}};
const CommandRegistration kLogout{{"logout", "HOST[:PORT] --user USER", RunLogout}};

}  // namespace

std::optional<std::string> AskPassword(const std::string& server, const std::string& user)
{
    return platform::ReadPasswordLine(texts::kPasswordFor + user + texts::kAt + server + ": ");
}

bool KeepPassword(const char* command, const std::string& server, const std::string& user,
                  const std::string& password)
{
    std::string error;
    if (!platform::StorePassword(server, user, password, error)) {
        std::cerr << "quenlo-cli " << command << ": " << texts::kPasswordNotKept << error << "\n";
        return false;
    }
    std::cerr << "quenlo-cli " << command << ": " << texts::kKeptAs << "\""
              << EscapedField(platform::CredentialLabel(server, user)) << "\"\n";
    return true;
}

}  // namespace quenlo::cli
