// quenlo-cli get / post against the scripted fake server.
#include "CliRun.h"
#include "support/FakeServer.h"

#include <gtest/gtest.h>

#include <cstdio>
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
    FakeServer server;
    const std::string body("binary\0body\r\n", 13);
    server.Connection().ReadRequest().Send(FakeServer::Response(200, "OK", body));
    const CliRun r = Cli("get " + ShellQuoted(server.Url("/printers/p1")) + " --user anna --pass pw");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, body);
    EXPECT_EQ(r.err, "HTTP 200 OK\n");
    EXPECT_EQ(server.Received(0).rfind("GET /printers/p1 HTTP/1.0\r\n", 0), 0u);
    EXPECT_NE(server.Received(0).find("\r\nAuthorization: Basic YW5uYTpwdw==\r\n"), std::string::npos);
}

TEST(HttpCli, PostSendsStandardInput)
{
    FakeServer server;
    server.Connection().ReadRequest().Send(FakeServer::Response(200, "OK", "answer"));
    server.Connection().ReadRequest().Send(FakeServer::Response(200, "OK", "answer"));
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
    FakeServer proxy;
    proxy.Connection().ReadRequest().Send(FakeServer::Response(200, "OK", "via proxy"));
    const CliRun r = Cli("get http://printhost:631/x --proxy 127.0.0.1 --proxy-port " +
                      std::to_string(proxy.Port()) + " --proxy-user pu --proxy-pass pp");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(proxy.Received(0).rfind("GET http://printhost:631/x HTTP/1.0\r\n", 0), 0u);
    EXPECT_NE(proxy.Received(0).find("\r\nProxy-Authorization: Basic cHU6cHA=\r\n"), std::string::npos);
}

TEST(HttpCli, FailuresExitOneWithMessageAndCode)
{
    FakeServer server;
    server.Connection().ReadRequest().Send(FakeServer::Response(404, "Not Found", "gone"));
    server.Connection().ReadRequest().Hold();
    const CliRun missing = Cli("get " + ShellQuoted(server.Url("/missing")));
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(missing.out, "gone");
    EXPECT_EQ(missing.err, "HTTP 404 Not Found\nquenlo-cli: Not Found (code 404)\n");

    const CliRun silent = Cli("get " + ShellQuoted(server.Url("/never")) + " --timeout 1");
    EXPECT_EQ(silent.exitCode, 1);
    EXPECT_NE(silent.err.find("quenlo-cli: Connection timed out (Error #10060) (code 404)"), std::string::npos)
        << silent.err;
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
