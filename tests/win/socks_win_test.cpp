// TWSocket through real SOCKS servers under wine: dante (levels 4 and 5) and microsocks (level 5,
// with and without a user name and password), started on Linux by scripts/wine-test.sh, which
// passes their ports in QUENLO_WINE_DANTE_PORT, QUENLO_WINE_MICROSOCKS_PORT and
// QUENLO_WINE_MICROSOCKS_AUTH_PORT (user "quenlo", password "s3cret"). Without them the tests are
// skipped, and fail under CI=true. The target is an echo peer of the test's own on 127.0.0.1, or
// the private CUPS server over TLS (QUENLO_WINE_CUPS_PORT, QUENLO_WINE_CUPS_FINGERPRINT).
#include "net/WSocket.h"
#include "net/socks_client.h"
#include "platform/EventLoop.h"
#include "support/ScriptedPeer.h"
#include "support/TlsOverSocket.h"
#include "win/wine_peers.h"

#include <gtest/gtest.h>

#include <string>

namespace quenlo {
namespace {

using namespace std::chrono_literals;

using test::EchoPeer;
using test::SocksClient;
using wintest::PumpUntil;

TEST(WinSocks, DanteCarriesLevels4And5AndMicrosocksLevel5ToTheTarget) {
    QUENLO_REQUIRE_PORT(dante, "QUENLO_WINE_DANTE_PORT");
    QUENLO_REQUIRE_PORT(microsocks, "QUENLO_WINE_MICROSOCKS_PORT");
    EchoPeer echo;
    struct Case {
        int proxy;
        const char* level;
    };
    for (const Case& c : {Case{dante, "4"}, Case{dante, "5"}, Case{microsocks, "5"}}) {
        SCOPED_TRACE(std::to_string(c.proxy) + " level " + c.level);
        SocksClient client(c.proxy, echo.Port(), c.level);
        client.sock.SetSocksUsercode("quenlo");  // the user id of a level 4 request
        ASSERT_TRUE(client.ConnectAndWait()) << client.Events();
        EXPECT_EQ(client.events.front(), "proxy 0");
        EXPECT_TRUE(client.Echo("hello through the proxy, longer than one read\r\n"))
            << client.received << " / " << client.Events();
        client.sock.Close();
        EXPECT_EQ(client.events.back(), "closed 0");
    }
}

TEST(WinSocks, MicrosocksLetsTheRightPasswordThroughAndClosesOnAWrongOneWith20015) {
    QUENLO_REQUIRE_PORT(proxy, "QUENLO_WINE_MICROSOCKS_AUTH_PORT");
    EchoPeer echo;
    {
        SocksClient client(proxy, echo.Port(), "5");
        client.sock.SetSocksAuthentication(socksAuthenticateUsercode);
        client.sock.SetSocksUsercode("quenlo");
        client.sock.SetSocksPassword("s3cret");
        ASSERT_TRUE(client.ConnectAndWait()) << client.Events();
        EXPECT_EQ(client.Events(), "proxy 0; auth socksAuthBegin; auth socksAuthSucceeded; connected 0; ");
        EXPECT_TRUE(client.Echo("through microsocks\r\n"));
        client.sock.Close();
    }
    {
        SocksClient client(proxy, echo.Port(), "5");
        client.sock.SetSocksAuthentication(socksAuthenticateUsercode);
        client.sock.SetSocksUsercode("quenlo");
        client.sock.SetSocksPassword("wrong");
        client.sock.Connect();
        ASSERT_TRUE(PumpUntil([&] { return client.closed; })) << client.Events();
        EXPECT_TRUE(client.Has("error 20015 socks authentication failed")) << client.Events();
        EXPECT_FALSE(client.Has("connected 0"));
        EXPECT_EQ(client.events.back(), "closed 20015");
        EXPECT_EQ(client.sock.State(), wsClosed);
    }
}

TEST(WinSocks, DanteAndMicrosocksCarryASchannelSessionToTheCupsServer) {
    QUENLO_REQUIRE_PORT(dante, "QUENLO_WINE_DANTE_PORT");
    QUENLO_REQUIRE_PORT(microsocks, "QUENLO_WINE_MICROSOCKS_AUTH_PORT");
    QUENLO_REQUIRE_PORT(cups, "QUENLO_WINE_CUPS_PORT");
    const std::string request = "GET / HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(cups) + "\r\n\r\n";
    for (const int proxy : {dante, microsocks}) {
        SCOPED_TRACE(proxy);
        TWSocket sock;
        sock.SetAddr("127.0.0.1");
        sock.SetPort(std::to_string(cups));
        sock.SetSocksServer("127.0.0.1");
        sock.SetSocksPort(std::to_string(proxy));
        sock.SetSocksLevel("5");
        if (proxy == microsocks) {
            sock.SetSocksAuthentication(socksAuthenticateUsercode);
            sock.SetSocksUsercode("quenlo");
            sock.SetSocksPassword("s3cret");
        }
        test::TlsOverSocket session(sock, "127.0.0.1", request);
        sock.Connect();
        ASSERT_TRUE(PumpUntil([&] { return session.Over(); })) << session.answer.size();
        EXPECT_EQ(session.error, "");
        EXPECT_EQ(session.answer.rfind("HTTP/1.0 200", 0), 0u) << session.answer.substr(0, 200);
        ASSERT_TRUE(session.tls);
        EXPECT_EQ(session.tls->PeerFingerprint(), wintest::FromEnvironment("QUENLO_WINE_CUPS_FINGERPRINT"));
        sock.Close();
    }
}

}  // namespace
}  // namespace quenlo
