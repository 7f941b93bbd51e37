// quenlo-cli get / post against the scripted peer.
#include "CliRun.h"
#include "support/ScriptedPeer.h"
#include "support/PrivateFiles.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <unistd.h>

namespace quenlo::test {
namespace {

using namespace std::chrono_literals;

struct CliRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs quenlo-cli with `arguments`, standard input from `input`, and both outputs captured.
CliRun Cli(const std::string& arguments, const std::string& input = "")
{
    char inPath[] = "/tmp/quenlo-http-cli-in-XXXXXX";
    char errPath[] = "/tmp/quenlo-http-cli-err-XXXXXX";
    const int inFd = ::mkstemp(inPath);
    const int errFd = ::mkstemp(errPath);
    ::close(errFd);
    {
        std::ofstream in(inPath, std::ios::binary);
        in << input;
    }
    ::close(inFd);
    const CliOutcome o = RunCli(arguments, "<" + ShellQuoted(inPath) + " 2>" + ShellQuoted(errPath));
    std::ifstream err(errPath, std::ios::binary);
    std::stringstream errText;
    errText << err.rdbuf();
    ::unlink(inPath);
    ::unlink(errPath);
    return {o.exitCode, o.out, errText.str()};
}

TEST(HttpCli, GetWritesTheBodyAndTheStatus)
{
    ScriptedPeer server;
    const std::string body("binary\0body\r\n", 13);
    server.Connection().ReadRequest().Send(ScriptedPeer::Response(200, "OK", body));
    const CliRun r = Cli("get " + ShellQuoted(server.Url("/printers/p1")) + " --user anna --pass pw");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, body);
    EXPECT_EQ(r.err, "HTTP 200 OK\n");
    EXPECT_EQ(server.Received(0).rfind("GET /printers/p1 HTTP/1.0\r\n", 0), 0u);
    EXPECT_NE(server.Received(0).find("\r\nAuthorization: Basic YW5uYTpwdw==\r\n"), std::string::npos);
}

// The reason phrase is the server's text: what drives a terminal goes as visible escapes.
TEST(HttpCli, TheReasonPhraseReachesNoTerminal)
{
    ScriptedPeer server;
    server.Connection().ReadRequest().Send(
        ScriptedPeer::Response(403, "No \x1b]0;owned\x07 \xe2\x80\xae\x9b" "2J", "")).Close();
    const CliRun r = Cli("get " + ShellQuoted(server.Url("/")));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err.substr(0, r.err.find('\n')), "HTTP 403 No \\x1b]0;owned\\x07 \\u202e\\x9b2J");
    EXPECT_EQ(r.err.find_first_of("\x1b\x07\x9b"), std::string::npos) << r.err;
}

TEST(HttpCli, PostSendsStandardInput)
{
    ScriptedPeer server;
    server.Connection().ReadRequest().Send(ScriptedPeer::Response(200, "OK", "answer"));
    server.Connection().ReadRequest().Send(ScriptedPeer::Response(200, "OK", "answer"));
    const std::string body("\x01\x01\x00\x0b\x00\x00\x00\x01\x01\x03", 10);
    const CliRun ipp = Cli("post " + ShellQuoted(server.Url("/printers/p1")), body);
    EXPECT_EQ(ipp.exitCode, 0) << ipp.err;
    EXPECT_EQ(ipp.out, "answer");
    const std::string sent = server.Received(0);
    EXPECT_NE(sent.find("\r\nContent-Type: application/ipp\r\n"), std::string::npos) << sent;
    EXPECT_NE(sent.find("\r\nContent-Length: 10\r\n\r\n" + body), std::string::npos) << sent;

    const CliRun form = Cli("post " + ShellQuoted(server.Url("/form")) + " --content-type text/plain", "x=1");
    EXPECT_EQ(form.exitCode, 0) << form.err;
    EXPECT_NE(server.Received(1).find("\r\nContent-Type: text/plain\r\n"), std::string::npos);
}

TEST(HttpCli, ThroughAProxy)
{
    ScriptedPeer proxy;
    proxy.Connection().ReadRequest().Send(ScriptedPeer::Response(200, "OK", "via proxy"));
    const CliRun r = Cli("get http://printhost:631/x --proxy 127.0.0.1 --proxy-port " +
                      std::to_string(proxy.Port()) + " --proxy-user pu --proxy-pass pp");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(proxy.Received(0).rfind("GET http://printhost:631/x HTTP/1.0\r\n", 0), 0u);
    EXPECT_NE(proxy.Received(0).find("\r\nProxy-Authorization: Basic cHU6cHA=\r\n"), std::string::npos);
}

TEST(HttpCli, FailuresExitOneWithMessageAndCode)
{
    ScriptedPeer server;
    server.Connection().ReadRequest().Send(ScriptedPeer::Response(404, "Not Found", "gone"));
    server.Connection().ReadRequest().Hold();
    server.Connection().ReadRequest().Send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + std::string(3000, 'x'));
    const CliRun missing = Cli("get " + ShellQuoted(server.Url("/missing")));
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(missing.out, "gone");
    EXPECT_EQ(missing.err, "HTTP 404 Not Found\nquenlo-cli: Not Found (code 404)\n");

    const CliRun silent = Cli("get " + ShellQuoted(server.Url("/never")) + " --timeout 1");
    EXPECT_EQ(silent.exitCode, 1);
    EXPECT_NE(silent.err.find("quenlo-cli: Connection timed out (Error #10060) (code 404)"), std::string::npos)
        << silent.err;

    const CliRun cut = Cli("get " + ShellQuoted(server.Url("/cut")));
    EXPECT_EQ(cut.exitCode, 1);
    EXPECT_EQ(cut.out.size(), 3000u);
    EXPECT_NE(cut.err.find("quenlo-cli: the connection closed 97000 bytes before the end of the answer (code 16)"),
              std::string::npos)
        << cut.err;
}

// Names with IPv6 addresses, in a network and mount namespace of the test's own: fd77::1,
// fd77::2 and fd77::10 to fd77::2c on its loopback, a private hosts file and address order.
// "only6.test" has only fd77::1; "first-hangs.test" has fd77::2 first, where a listener's accept
// queue is full so a connect hangs, and fd77::1 second, which answers with the Host line it
// received. "many.test" has 29 such hanging addresses and then 127.0.0.1, which answers too.
const char* const kNameServers = R"(import selectors, socket, sys
port = int(sys.argv[2])
answers = selectors.DefaultSelector()
for family, address in ((socket.AF_INET6, "fd77::1"), (socket.AF_INET, "127.0.0.1")):
    answer = socket.socket(family)
    answer.bind((address, port))
    answer.listen(8)
    answers.register(answer, selectors.EVENT_READ)
hung, fillers = [], []
for address in ["fd77::2"] + ["fd77::%x" % n for n in range(0x10, 0x2d)]:
    s = socket.socket(socket.AF_INET6)
    s.bind((address, port))
    s.listen(0)
    hung.append(s)
    fillers.append(socket.create_connection((address, port), timeout=5))
open(sys.argv[1], "w").close()
while True:
    ready = answers.select(60)
    if not ready:
        break
    c, _ = ready[0][0].fileobj.accept()
    c.settimeout(10)
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = c.recv(4096)
        if not chunk:
            break
        data += chunk
    host = [l for l in data.split(b"\r\n") if l.lower().startswith(b"host:")]
    body = host[0] if host else b"no host"
    c.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n" % len(body) + body)
    c.close()
)";

TEST(HttpCli, NamesWithIPv6AddressesAndAddressesThatHang)
{
    if (std::system("unshare -nm true 2>/dev/null") != 0)
        GTEST_SKIP() << "no network namespace here";
    const test::TempDir temp("names");
    const std::string& dir = temp.Path();
    temp.Write("servers.py", kNameServers);
    std::string hosts = "fd77::1 only6.test\nfd77::2 first-hangs.test\nfd77::1 first-hangs.test\n";
    std::string addresses;
    for (int n = 0x10; n < 0x2d; ++n) {
        char address[16];
        std::snprintf(address, sizeof address, "fd77::%x", n);
        hosts += std::string(address) + " many.test\n";
        addresses += std::string(" ") + address;
    }
    temp.Write("hosts", hosts + "127.0.0.1 many.test\n");
    temp.Write("gai.conf", "precedence fd77::2/128 60\nprecedence fd77::1/128 50\nprecedence ::/0 40\n"
                           "precedence ::ffff:0:0/96 10\n");
    const std::string cli = "LC_ALL=C timeout 60 " + ShellQuoted(QUENLO_CLI);
    const std::string script =
        "ip link set lo up && ip addr add fd77::1/128 dev lo nodad && ip addr add fd77::2/128 dev lo nodad &&"
        " for a in" + addresses + "; do ip addr add $a/128 dev lo nodad || exit 9; done &&"
        " mount --bind $D/hosts /etc/hosts && mount --bind $D/gai.conf /etc/gai.conf || exit 9\n"
        "timeout 90 python3 $D/servers.py $D/ready 8631 2>/dev/null & pid=$!\n"
        "for i in $(seq 100); do [ -e $D/ready ] && break; sleep 0.1; done\n"
        "echo \"[$(" + cli + " get http://only6.test:8631/ --timeout 20 2>/dev/null)]\"\n"
        "s=$(date +%s%N)\n"
        "echo \"[$(" + cli + " get http://first-hangs.test:8631/ --timeout 20 2>/dev/null)]\"\n"
        "echo $(( ($(date +%s%N) - s) / 1000000 ))\n"
        "echo \"[$(" + cli + " get http://many.test:8631/ --timeout 6 2>/dev/null)]\"\n"
        "kill $pid\n";
    const CliOutcome o = RunShell("D=" + ShellQuoted(dir) + " unshare -nm sh -c " + ShellQuoted(script));
    std::istringstream lines(o.out);
    std::string only6, firstHangs, ms, many;
    std::getline(lines, only6);
    std::getline(lines, firstHangs);
    std::getline(lines, ms);
    std::getline(lines, many);
    EXPECT_EQ(only6, "[Host: only6.test]") << o.out;
    EXPECT_EQ(firstHangs, "[Host: first-hangs.test]") << o.out;
    // Reached at the second address once the first attempt's own limit had passed.
    EXPECT_GE(std::atoll(ms.c_str()), 3900) << o.out;
    // The silent addresses share the time, so the last one is reached within the limit.
    EXPECT_EQ(many, "[Host: many.test]") << o.out;
}

TEST(HttpCli, BadArgumentsExitTwo)
{
    for (const char* args : {"get", "post", "get http://a/ http://b/", "get http://a/ --timeout soon",
                             "get http://a/ --content-type text/plain", "get http://a/ --bogus 1",
                             "post http://a/ --user"}) {
        const CliRun r = Cli(args);
        EXPECT_EQ(r.exitCode, 2) << args;
        EXPECT_NE(r.err.find("usage: quenlo-cli "), std::string::npos) << args << ": " << r.err;
    }
}

}  // namespace
}  // namespace quenlo::test
