// quenlo-cli get URL [options]
// quenlo-cli post URL [options] < BODY
//
// One HTTP/1.0 request through the monitor's own client (THttpCli). The reply body goes to
// standard output as it arrives, byte for byte; "HTTP <status> <reason>" goes to standard error
// afterwards, the reason escaped as the tab-separated outputs are. Options:
//   --user U --pass P               Basic credentials for the server
//   --proxy HOST[:PORT]             an HTTP proxy; --proxy-port PORT when HOST names none (80)
//   --proxy-user U --proxy-pass P   Basic credentials for the proxy
//   --content-type TYPE             post only; default "application/ipp"
//   --timeout SECONDS               longest time without network progress (default 60; 0: none)
//
// Exit codes: 0 the request was answered with a status below 400; 1 the client raised (a status of
// 400 or more, a lookup, connect or time-out failure, a protocol failure): its message and code on
// standard error; 2 a bad argument.
#include "cli/CliTexts.h"
#include "cli/Command.h"
#include "net/HttpProt.h"

#include <iostream>
#include <sstream>

namespace quenlo::cli {

namespace {

const std::set<std::string> kGetOptions = {"user", "pass", "proxy", "proxy-port", "proxy-user",
                                           "proxy-pass", "timeout"};

int RunRequest(const std::vector<std::string>& argv, THttpRequest kind)
{
    std::set<std::string> options = kGetOptions;
    if (kind == hrPost)
        options.insert("content-type");
    const Args args(argv, options);
    if (args.positional().empty())
        throw UsageError{texts::kUrlRequired};
    if (args.positional().size() > 1)
        throw UsageError{texts::kUnexpectedArgument + args.positional()[1]};
    const std::optional<long long> timeout = args.number("timeout");
    if (timeout && *timeout > 24LL * 3600 * 365)
        throw UsageError{texts::kTimeoutTooLong};

    THttpCli http;
    http.SetURL(args.positional().front());
    http.SetUsername(args.valueOr("user", ""));
    http.SetPassword(args.valueOr("pass", ""));
    http.SetProxy(args.valueOr("proxy", ""));
    http.SetProxyPort(args.valueOr("proxy-port", "80"));
    http.SetProxyUsername(args.valueOr("proxy-user", ""));
    http.SetProxyPassword(args.valueOr("proxy-pass", ""));
    if (timeout)
        http.SetNoProgressTimeout(std::chrono::seconds(*timeout));
    http.SetReplyStream(&std::cout);

    std::stringstream body;
    if (kind == hrPost) {
        http.SetContentTypePost(args.valueOr("content-type", "application/ipp"));
        body.str(ReadAllStdin());
        http.SetPostStream(&body);
    }

    int exitCode = 0;
    std::string failure;
    try {
        http.ExecuteRequest(kind);
    } catch (const EHttpException& e) {
        failure = e.Message() + " (code " + std::to_string(e.ErrorCode()) + ")";
        exitCode = 1;
    }
    std::cout.flush();
    if (http.CredentialsWentPlain())
        WarnPasswordWentPlain("");
    // The reason phrase and the failure's text carry the server's own bytes.
    std::cerr << "HTTP " << http.ReplyStatus() << " " << EscapedField(http.ReplyReason()) << "\n";
    if (exitCode != 0)
        std::cerr << texts::kProgram << EscapedField(failure) << "\n";
    return exitCode;
}

const char* const kUsage =
    "URL [--user U] [--pass P] [--proxy HOST[:PORT]] [--proxy-port PORT] [--proxy-user U] "
    "[--proxy-pass P] [--timeout SECONDS]";

const CommandRegistration kGet{Command{"get", kUsage, [](const std::vector<std::string>& a) {
                                           return RunRequest(a, hrGet);
                                       }}};
const CommandRegistration kPost{Command{
    "post", std::string(kUsage) + " [--content-type TYPE] < BODY",
    [](const std::vector<std::string>& a) { return RunRequest(a, hrPost); }}};

}  // namespace

}  // namespace quenlo::cli
