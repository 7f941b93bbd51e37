// THttpCli against real peers: the private CUPS server of the tests and tinyproxy with Basic
// authentication. Each skips when its server is not installed, and fails instead under CI=true.
#include "net/HttpProt.h"
#include "net/http_events.h"
#include "support/CupsLab.h"
#include "support/ScriptedPeer.h"
#include "support/IppEvePrinter.h"
#include "support/Tinyproxy.h"

#include <gtest/gtest.h>

#include <sstream>

namespace quenlo::test {
namespace {

using namespace std::chrono_literals;

void AppendShort(std::string& m, unsigned v)
{
    m += static_cast<char>((v >> 8) & 0xFF);
    m += static_cast<char>(v & 0xFF);
}

void AppendAttribute(std::string& m, unsigned char tag, const std::string& name, const std::string& value)
{
    m += static_cast<char>(tag);
    AppendShort(m, static_cast<unsigned>(name.size()));
    m += name;
    AppendShort(m, static_cast<unsigned>(value.size()));
    m += value;
}

// A request body with the operation attributes every request carries.
std::string IppRequest(unsigned op, const std::string& printerUri)
{
    std::string m;
    m += "\x01\x01";            // version-number 1.1
    AppendShort(m, op);         // operation-id
    m += std::string("\x00\x00\x00\x07", 4);  // request-id 7
    m += '\x01';                // operation-attributes-tag
    AppendAttribute(m, 0x47, "attributes-charset", "utf-8");
    AppendAttribute(m, 0x48, "attributes-natural-language", "en-us");
    AppendAttribute(m, 0x45, "printer-uri", printerUri);
    AppendAttribute(m, 0x44, "requested-attributes", "all");
    m += '\x03';                // end-of-attributes-tag
    return m;
}

constexpr unsigned kGetPrinterAttributes = 0x000B;
constexpr unsigned kGetJobs = 0x000A;

unsigned IppStatus(const std::string& body)
{
    return body.size() < 4 ? 0xFFFF : (static_cast<unsigned char>(body[2]) << 8) | static_cast<unsigned char>(body[3]);
}

TEST(HttpCups, PrinterPageAndIppRequestsAreAnswered)
{
    QUENLO_REQUIRE_CUPS_LAB(lab);
    const std::string printer = lab.AddUniquePrinter("http");
    THttpCli http;
    http.SetAgent("Internet Print Provider");
    http.SetContentTypePost("application/ipp");
    std::stringstream page;
    http.SetURL(lab.PrinterUrl(printer));
    http.SetReplyStream(&page);
    http.Get();
    EXPECT_EQ(http.ReplyStatus(), 200);
    EXPECT_NE(page.str().find(printer), std::string::npos);

    for (unsigned op : {kGetPrinterAttributes, kGetJobs}) {
        std::stringstream request(IppRequest(op, lab.PrinterUrl(printer)));
        std::stringstream answer;
        http.SetPostStream(&request);
        http.SetReplyStream(&answer);
        http.Post();
        EXPECT_EQ(http.ReplyStatus(), 200);
        EXPECT_EQ(http.ReplyContentType(), "application/ipp");
        EXPECT_EQ(IppStatus(answer.str()), 0u) << "operation " << op;  // successful-ok
        EXPECT_EQ(http.ReplyBytesReceived(), static_cast<std::int64_t>(answer.str().size()));
    }
}

// This printer answers an HTTP/1.0 request with its length and keeps the connection open: each
// request must end when its answer is in, not when the server gives up on the connection.
TEST(HttpIppEve, ARefreshsRequestsEndWhenTheirAnswersAreIn)
{
    QUENLO_REQUIRE_IPPEVEPRINTER(printer);
    THttpCli http;
    http.SetNoProgressTimeout(20s);  // the server's own idle limit is longer
    http.SetContentTypePost("application/ipp");
    http.SetURL(printer.Url());
    std::stringstream probe;
    http.SetReplyStream(&probe);
    try {
        http.Get();
    } catch (const EHttpException& e) {
        EXPECT_LT(e.ErrorCode(), 10000) << e.Message() << "\n" << printer.Log();
    }
    EXPECT_GT(http.ReplyStatus(), 0) << http.ReplyReason();

    for (unsigned op : {kGetJobs, kGetPrinterAttributes}) {
        std::stringstream request(IppRequest(op, "ipp://localhost:" + std::to_string(printer.Port()) + "/ipp/print"));
        std::stringstream answer;
        http.SetPostStream(&request);
        http.SetReplyStream(&answer);
        ASSERT_NO_THROW(http.Post()) << printer.Log();
        EXPECT_EQ(http.ReplyStatus(), 200) << http.ReplyReason();
        EXPECT_EQ(IppStatus(answer.str()), 0u) << "operation " << op;  // successful-ok
        EXPECT_EQ(http.ReplyBytesReceived(), http.ReplyLength());
    }
}

TEST(HttpCups, MissingPathRaises404WithTheReason)
{
    QUENLO_REQUIRE_CUPS_LAB(lab);
    THttpCli http;
    http.SetURL("http://" + lab.HostPort() + "/quenlo/no/such/place");
    const EHttpException e = Raised([&] { http.Get(); });
    EXPECT_EQ(e.ErrorCode(), 404);
    EXPECT_EQ(e.Message(), http.ReplyReason());
    EXPECT_EQ(e.Message(), "Not Found");
}

TEST(HttpProxy, RequestsGoThroughWithProxyCredentials)
{
    QUENLO_REQUIRE_TINYPROXY(proxy);
    ScriptedPeer server;
    server.Connection().ReadRequest().Send(ScriptedPeer::Response(200, "OK", "behind the proxy"));
    THttpCli http;
    std::stringstream reply;
    http.SetNoProgressTimeout(10s);
    http.SetReplyStream(&reply);
    http.SetURL(server.Url("/printers/p1"));
    http.SetProxy("127.0.0.1");
    http.SetProxyPort(std::to_string(proxy.Port()));
    http.SetProxyUsername(proxy.User());
    http.SetProxyPassword(proxy.Password());
    http.Get();
    EXPECT_EQ(http.ReplyStatus(), 200) << proxy.Log();
    EXPECT_EQ(reply.str(), "behind the proxy");
    // The proxy took the absolute request URI and passed the document's path on.
    EXPECT_EQ(server.Received(0).rfind("GET /printers/p1 HTTP/1.", 0), 0u) << server.Received(0);
}

TEST(HttpProxy, IppPostReachesCupsThroughTheProxy)
{
    QUENLO_REQUIRE_TINYPROXY(proxy);
    QUENLO_REQUIRE_CUPS_LAB(lab);
    const std::string printer = lab.AddUniquePrinter("proxied");
    THttpCli http;
    http.SetNoProgressTimeout(10s);
    http.SetContentTypePost("application/ipp");
    http.SetProxy("127.0.0.1:" + std::to_string(proxy.Port()));
    http.SetProxyUsername(proxy.User());
    http.SetProxyPassword(proxy.Password());
    std::stringstream request(IppRequest(kGetPrinterAttributes, lab.PrinterUrl(printer)));
    std::stringstream answer;
    http.SetURL(lab.PrinterUrl(printer));
    http.SetPostStream(&request);
    http.SetReplyStream(&answer);
    http.Post();
    EXPECT_EQ(http.ReplyStatus(), 200) << proxy.Log();
    EXPECT_EQ(IppStatus(answer.str()), 0u);
}

TEST(HttpProxy, RefusedProxyCredentialsRaise)
{
    QUENLO_REQUIRE_TINYPROXY(proxy);
    ScriptedPeer server;
    server.RepeatLast(true);
    server.Connection().ReadRequest().Send(ScriptedPeer::Response(200, "OK", "must not be reached"));
    THttpCli http;
    http.SetNoProgressTimeout(10s);
    http.SetURL(server.Url("/x"));
    http.SetProxy("127.0.0.1:" + std::to_string(proxy.Port()));

    // Without credentials the proxy asks for them: 407.
    const EHttpException withoutCredentials = Raised([&] { http.Get(); });
    EXPECT_EQ(withoutCredentials.ErrorCode(), 407);
    EXPECT_EQ(withoutCredentials.Message(), "Proxy Authentication Required");
    // With a wrong password the request is refused too (this proxy answers 401 then, with a
    // challenge that ends up in AuthRequests).
    http.SetProxyUsername(proxy.User());
    http.SetProxyPassword("wrong");
    const std::uint16_t wrongPassword = Raised([&] { http.Get(); }).ErrorCode();
    EXPECT_TRUE(wrongPassword == 407 || wrongPassword == 401) << wrongPassword;
    EXPECT_EQ(wrongPassword, http.ReplyStatus());
    EXPECT_EQ(server.Connections(), 0u);
}

}  // namespace
}  // namespace quenlo::test
