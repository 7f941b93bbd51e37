// THttpCli over the system's SChannel under wine (which builds it on GnuTLS): the private CUPS
// server that scripts/wine-test.sh starts (QUENLO_WINE_CUPS_PORT, its printer
// QUENLO_WINE_CUPS_PRINTER and the SHA-256 of its certificate as the Linux build reads it,
// QUENLO_WINE_CUPS_FINGERPRINT), with either credential structure, and at the socket level through
// the SOCKS proxies it starts. Servers that answer a ClientHello badly:
// tests/net/http_tls_handshake_test.cpp, built for both systems.
#include "net/HttpProt.h"
#include "net/TlsTrust.h"
#include "net/trust_store_fixture.h"
#include "support/RunUntil.h"
#include "support/SocksServers.h"
#include "support/TlsOverSocket.h"
#include "win/wine_peers.h"
// After the socket layer: the system's WM_USER macro would otherwise rename the layer's constant.
#include "platform/win/Win32.h"

#include <gtest/gtest.h>

#include <string>

namespace quenlo {
namespace {

class WinTls : public test::TrustStoreTest {
protected:
    // The lab's printer page over TLS from the first byte.
    void GetsThePrinterPage(int port)
    {
        const std::string printer = wintest::FromEnvironment("QUENLO_WINE_CUPS_PRINTER");
        THttpCli http;
        http.SetEncryption(heRequired);
        ASSERT_EQ(Get(http, "http://127.0.0.1:" + std::to_string(port) + "/printers/" + printer), "");
        EXPECT_EQ(http.ReplyStatus(), 200);
        EXPECT_TRUE(http.Encrypted());
        EXPECT_NE(body_.find(printer), std::string::npos);
        EXPECT_EQ(TTrustStore(store_).Find("127.0.0.1:" + std::to_string(port)),
                  wintest::FromEnvironment("QUENLO_WINE_CUPS_FINGERPRINT"));
    }
};

TEST_F(WinTls, TheCupsServerIsKeptByTheFingerprintLinuxReadsAndAChangedOneIsRefused)
{
    QUENLO_REQUIRE_PORT(cups, "QUENLO_WINE_CUPS_PORT");
    GetsThePrinterPage(cups);
    const std::string key = "127.0.0.1:" + std::to_string(cups);
    const TTrustStore store(store_);
    const std::string kept = *store.Find(key);
    const std::string other(kept.rbegin(), kept.rend());
    ASSERT_TRUE(store.Keep(key, other));
    THttpCli http;
    http.SetEncryption(heRequired);
    const std::string refused = Get(http, "ipps://" + key + "/");
    EXPECT_EQ(code_, HttpError::CertificateRefused);
    EXPECT_NE(refused.find(other), std::string::npos) << refused;
    EXPECT_NE(refused.find(kept), std::string::npos) << refused;
    EXPECT_EQ(store.Find(key), other);
}

// Windows 10 before 1809 knows only SCHANNEL_CRED: the same page with it.
TEST_F(WinTls, TheOlderCredentialStructureGetsThePageToo)
{
    QUENLO_REQUIRE_PORT(cups, "QUENLO_WINE_CUPS_PORT");
    platform::win::UseOlderTlsCredentials();
    GetsThePrinterPage(cups);
}

// The session SChannel makes through each proxy reads the certificate Linux reads.
TEST_F(WinTls, DanteAndMicrosocksCarryASchannelSessionToTheCupsServer)
{
    QUENLO_REQUIRE_SOCKS(dante, test::SocksDaemon::Dante({"none"}));
    QUENLO_REQUIRE_SOCKS(microsocks, test::SocksDaemon::Microsocks("quenlo", "s3cret"));
    QUENLO_REQUIRE_PORT(cups, "QUENLO_WINE_CUPS_PORT");
    const std::string request = "GET / HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(cups) + "\r\n\r\n";
    for (const test::SocksDaemon* proxy : {&dante, &microsocks}) {
        SCOPED_TRACE(proxy->Port());
        TWSocket sock;
        sock.SetAddr("127.0.0.1");
        sock.SetPort(std::to_string(cups));
        sock.SetSocksServer("127.0.0.1");
        sock.SetSocksPort(std::to_string(proxy->Port()));
        sock.SetSocksLevel("5");
        if (proxy == &microsocks) {
            sock.SetSocksAuthentication(socksAuthenticateUsercode);
            sock.SetSocksUsercode("quenlo");
            sock.SetSocksPassword("s3cret");
        }
        test::TlsOverSocket session(sock, "127.0.0.1", request);
        sock.Connect();
        ASSERT_TRUE(test::runUntil([&] { return session.Over(); }, std::chrono::seconds(30))) << session.answer.size();
        EXPECT_EQ(session.error, "");
        EXPECT_EQ(session.answer.rfind("HTTP/1.0 200", 0), 0u) << session.answer.substr(0, 200);
        ASSERT_TRUE(session.tls);
        EXPECT_EQ(session.tls->PeerFingerprint(), wintest::FromEnvironment("QUENLO_WINE_CUPS_FINGERPRINT"));
        sock.Close();
    }
}

}  // namespace
}  // namespace quenlo
