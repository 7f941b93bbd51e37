// THttpCli over TLS: the private CUPS server serving its own self-signed certificate, tinyproxy's
// CONNECT tunnel, and servers that answer a ClientHello badly.
#include "net/HttpProt.h"
#include "net/TlsTrust.h"
#include "support/CupsLab.h"
#include "support/FakeServer.h"
#include "support/Tinyproxy.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

namespace quenlo::test {
namespace {

using namespace std::chrono_literals;

// A trust store of the test's own, never the user's.
class TlsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/quenlo-tls-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        store_ = dir_ + "/sub/trusted-servers";
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // One GET; the failure text, or empty when it was answered below 400.
    std::string Get(THttpCli& http, const std::string& url, std::string* body = nullptr)
    {
        http.SetURL(url);
        http.SetTrustStorePath(store_);
        std::ostringstream reply;
        http.SetReplyStream(&reply);
        std::string failure;
        try {
            http.Get();
        } catch (const EHttpException& e) {
            failure = e.Message();
            code_ = e.ErrorCode();
        }
        if (body != nullptr)
            *body = reply.str();
        return failure;
    }

    std::string dir_;
    std::string store_;
    std::uint16_t code_ = 0;
};

TEST_F(TlsTest, CupsServerIsTrustedOnFirstUseAndRefusedOnceItsCertificateChanges)
{
    QUENLO_REQUIRE_CUPS_LAB(lab);
    const std::string printer = lab.AddUniquePrinter("tls");
    const std::string key = "127.0.0.1:" + std::to_string(lab.Port());
    const TTrustStore store(store_);

    THttpCli http;
    http.SetEncryption(heRequired);
    std::string page;
    ASSERT_EQ(Get(http, lab.PrinterUrl(printer), &page), "");
    EXPECT_EQ(http.ReplyStatus(), 200);
    EXPECT_TRUE(http.Encrypted());
    EXPECT_NE(page.find(printer), std::string::npos);
    const std::optional<std::string> kept = store.Find(key);
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->size(), 95u);  // 32 bytes as AB:CD:..

    // The same certificate again, and an ipps:// URL naming the same server.
    EXPECT_EQ(Get(http, "ipps://" + key + "/printers/" + printer), "");
    EXPECT_TRUE(http.Encrypted());

    // Another certificate than the kept one: refused, with both fingerprints and the way out.
    const std::string other(kept->rbegin(), kept->rend());
    ASSERT_TRUE(store.Keep(key, other));
    const std::string changed = Get(http, lab.PrinterUrl(printer));
    EXPECT_EQ(code_, HttpError::CertificateRefused);
    EXPECT_NE(changed.find(other), std::string::npos) << changed;
    EXPECT_NE(changed.find(*kept), std::string::npos) << changed;
    EXPECT_NE(changed.find("quenlo-cli trust " + key), std::string::npos) << changed;
    EXPECT_EQ(store.Find(key), other);  // never silently replaced

    // Forgotten, and strict: not kept again.
    ASSERT_TRUE(store.Forget(key));
    http.SetStrictTrust(true);
    const std::string strict = Get(http, lab.PrinterUrl(printer));
    EXPECT_NE(strict.find("not trusted yet"), std::string::npos) << strict;
    EXPECT_FALSE(store.Find(key));

    // Never: plain, as always.
    http.SetEncryption(heNever);
    EXPECT_EQ(Get(http, lab.PrinterUrl(printer)), "");
    EXPECT_FALSE(http.Encrypted());
}

TEST_F(TlsTest, ProxyTunnelCarriesTlsAndARefusedTunnelSaysSo)
{
    QUENLO_REQUIRE_CUPS_LAB(lab);
    QUENLO_REQUIRE_TINYPROXY(proxy);
    const std::string printer = lab.AddUniquePrinter("tunnel");

    THttpCli http;
    http.SetEncryption(heRequired);
    http.SetProxy("127.0.0.1:" + std::to_string(proxy.Port()));
    http.SetProxyUsername(proxy.User());
    http.SetProxyPassword(proxy.Password());
    std::string page;
    ASSERT_EQ(Get(http, lab.PrinterUrl(printer), &page), "") << proxy.Log();
    EXPECT_TRUE(http.Encrypted());
    EXPECT_NE(page.find(printer), std::string::npos);
    EXPECT_NE(proxy.Log().find("CONNECT"), std::string::npos);

    std::string why;
    auto refusing = Tinyproxy::TryStart(why, "ConnectPort 0\n");
    ASSERT_TRUE(refusing) << why;
    http.SetProxy("127.0.0.1:" + std::to_string(refusing->Port()));
    const std::string refused = Get(http, lab.PrinterUrl(printer));
    EXPECT_EQ(code_, HttpError::TlsFailed);
    EXPECT_NE(refused.find("proxy refused to open a tunnel"), std::string::npos) << refused;
}

TEST_F(TlsTest, ServersThatAnswerTheHandshakeBadlyEndTheRequestWithTheirReason)
{
    THttpCli http;
    http.SetEncryption(heRequired);
    http.SetNoProgressTimeout(1500ms);

    {  // plain HTTP where TLS is required
        FakeServer server;
        server.Connection().Wait(100ms).Send(FakeServer::Response(400, "Bad Request", "no")).Close();
        EXPECT_NE(Get(http, server.Url("/")).find("does not speak TLS"), std::string::npos);
        EXPECT_EQ(code_, HttpError::TlsFailed);
    }
    {  // a TLS record header, then garbage
        FakeServer server;
        server.Connection().Wait(100ms).Send(std::string("\x16\x03\x03\x00\x08garbage!garbage!", 21)).Close();
        const std::string failure = Get(http, server.Url("/"));
        EXPECT_NE(failure.find("TLS handshake with 127.0.0.1:"), std::string::npos) << failure;
    }
    {  // a server that takes the ClientHello and never answers: the no-progress limit ends it
        FakeServer server;
        server.Connection().Hold();
        const std::string failure = Get(http, server.Url("/"));
        EXPECT_NE(failure.find("stalled"), std::string::npos) << failure;
        EXPECT_EQ(http.ReplyStatus(), 404);
    }
    {  // a 426 is repeated over TLS, and the server is then asked over TLS from the start
        FakeServer server;
        server.Connection().ReadRequest().Send(FakeServer::Response(426, "Upgrade Required", "")).Close();
        server.RepeatLast(false);
        server.Connection().Wait(100ms).Send(FakeServer::Response(400, "Bad Request", "no")).Close();
        server.Connection().Wait(100ms).Send(FakeServer::Response(400, "Bad Request", "no")).Close();
        http.SetEncryption(heIfRequested);
        EXPECT_NE(Get(http, server.Url("/")).find("does not speak TLS"), std::string::npos);
        EXPECT_EQ(server.Received(0).rfind("GET / HTTP/1.0\r\n", 0), 0u);
        EXPECT_EQ(server.Received(1)[0], '\x16');  // a ClientHello
        EXPECT_NE(Get(http, server.Url("/")).find("does not speak TLS"), std::string::npos);
        EXPECT_EQ(server.Received(2)[0], '\x16');
        // Never keeps today's bytes: the 426 is the answer.
        FakeServer plain;
        plain.Connection().ReadRequest().Send(FakeServer::Response(426, "Upgrade Required", "")).Close();
        http.SetEncryption(heNever);
        EXPECT_EQ(Get(http, plain.Url("/")), "Upgrade Required");
        EXPECT_EQ(plain.Connections(), 1u);
    }
}

}  // namespace
}  // namespace quenlo::test
