// TWSocket through real dante and microsocks servers in front of an echo peer: the same cases on
// Linux and under wine. Only Linux: a name that exists only in a network namespace of the test's own.
#include "net/WSocket.h"
#include "net/socks_client.h"
#include "support/ScriptedPeer.h"
#include "support/SocksServers.h"
#include "wsocket_test_peer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#ifndef _WIN32
#include "support/LocalServers.h"
#include "support/PrivateFiles.h"

#include <unistd.h>
#endif

namespace quenlo {
namespace {

using namespace std::chrono_literals;
using test::EchoPeer;
using test::runUntil;
using test::SocksClient;
using test::SocksDaemon;
using testing::SocketError;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

// ---------------------------------------------------------------------------------------------
// Real proxies

TEST(SocksRealProxy, DanteCarriesLevels4And5AndMicrosocksLevel5ToTheTarget)
{
    QUENLO_REQUIRE_SOCKS(dante, SocksDaemon::Dante({"none"}));
    QUENLO_REQUIRE_SOCKS(microsocks, SocksDaemon::Microsocks("", ""));
    EchoPeer echo;
    struct Case {
        SocksDaemon* proxy;
        const char* level;
    };
    for (const Case& k : {Case{&dante, "4"}, Case{&dante, "5"}, Case{&microsocks, "5"}}) {
        SCOPED_TRACE(std::to_string(k.proxy->Port()) + " level " + k.level);
        SocksClient c(k.proxy->Port(), echo.Port(), k.level);
        c.sock.SetSocksUsercode("quenlo");  // the user id of a level 4 request
        ASSERT_TRUE(c.ConnectAndWait()) << ::testing::PrintToString(c.events) << k.proxy->Log();
        EXPECT_EQ(c.events.front(), "proxy 0");
        EXPECT_TRUE(c.Echo("hello through the proxy, longer than one read\r\n"));
        c.sock.Close();
        EXPECT_EQ(c.events.back(), "closed 0");
        EXPECT_EQ(c.sock.SocksServer(), "");
    }
}

// Proxy and target named by IPv6 addresses: level 5 carries the target as an IPv6 address;
// levels 4 and 4A cannot, and say so before anything is sent.
TEST(SocksRealProxy, DanteOnIPv6CarriesAnIPv6TargetAtLevel5Only)
{
    QUENLO_REQUIRE_SOCKS(proxy, SocksDaemon::Dante({"none"}));
    EchoPeer echo({.ipv6 = true});
    SocksClient c(proxy.Port(), echo.Port());
    c.sock.SetSocksServer("[::1]");
    c.sock.SetAddr("[::1]");
    ASSERT_TRUE(c.ConnectAndWait()) << ::testing::PrintToString(c.events) << proxy.Log();
    EXPECT_TRUE(c.Echo("over six"));
    c.sock.Close();

    for (const char* level : {"4", "4A"}) {
        SocksClient old(proxy.Port(), echo.Port(), level);
        old.sock.SetSocksServer("::1");
        old.sock.SetAddr("::1");
        EXPECT_THAT(SocketError([&] { old.sock.Connect(); }), HasSubstr("cannot carry an IPv6 address")) << level;
        EXPECT_EQ(old.sock.State(), wsClosed);
    }
}

TEST(SocksRealProxy, DanteAnswersLevel4AWithTheHostNameResolvedByIt)
{
    QUENLO_REQUIRE_SOCKS(proxy, SocksDaemon::Dante({"none"}));
    EchoPeer echo;
    SocksClient c(proxy.Port(), echo.Port(), "4a");
    c.sock.SetAddr("localhost");
    EXPECT_EQ(c.sock.SocksLevel(), "4A");
    c.sock.Connect();
    ASSERT_TRUE(runUntil([&] { return c.Has("connected 0") || c.closed; }, 8s));
    if (c.Has("connected 0")) {
        EXPECT_TRUE(c.Echo("4A works"));
    } else {
        // Debian's dante takes 0.0.0.1 for the address itself and rejects the request (91).
        EXPECT_EQ(c.events[1], "error 20016 request rejected or failed");
        EXPECT_EQ(c.sock.State(), wsClosed);
    }
}

TEST(SocksRealProxy, DanteWithoutPasswordsRefusesTheOfferOfOne)
{
    QUENLO_REQUIRE_SOCKS(proxy, SocksDaemon::Dante({"none"}));
    EchoPeer echo;
    SocksClient c(proxy.Port(), echo.Port());
    c.LogOnAs("quenlo", "unused");
    c.sock.Connect();
    ASSERT_TRUE(runUntil([&] { return c.closed; }, 8s)) << proxy.Log();
    EXPECT_THAT(c.events, ElementsAre("proxy 0", "error 20003 authentification method not acceptable",
                                      "connected 20003", "closed 20003"));
}

TEST(SocksRealProxy, DanteRefusesAnUnknownUserWith20015AndCloses)
{
    QUENLO_REQUIRE_SOCKS(proxy, SocksDaemon::Dante({"username"}));
    EchoPeer echo;
    SocksClient c(proxy.Port(), echo.Port());
    c.LogOnAs("quenlo-no-such-user", "wrong");
    c.sock.Connect();
    ASSERT_TRUE(runUntil([&] { return c.closed; }, 8s)) << proxy.Log();
    EXPECT_THAT(c.events, ElementsAre("proxy 0", "auth socksAuthBegin", "auth socksAuthFailed",
                                      "error 20015 socks authentication failed", "connected 20015",
                                      "closed 20015"));
    EXPECT_EQ(c.sock.State(), wsClosed);
}

TEST(SocksRealProxy, MicrosocksChecksUserNameAndPassword)
{
    QUENLO_REQUIRE_SOCKS(proxy, SocksDaemon::Microsocks("quenlo", "s3cret"));
    EchoPeer echo;
    {
        SocksClient c(proxy.Port(), echo.Port());
        c.LogOnAs("quenlo", "s3cret");
        ASSERT_TRUE(c.ConnectAndWait()) << ::testing::PrintToString(c.events) << proxy.Log();
        EXPECT_THAT(c.events, ElementsAre("proxy 0", "auth socksAuthBegin", "auth socksAuthSucceeded", "connected 0"));
        EXPECT_TRUE(c.Echo("through microsocks, a longer text than one read takes\r\n"));
        c.sock.Close();
    }
    {
        SocksClient c(proxy.Port(), echo.Port());
        c.LogOnAs("quenlo", "wrong");
        c.sock.Connect();
        ASSERT_TRUE(runUntil([&] { return c.closed; }, 8s));
        EXPECT_TRUE(c.Has("error 20015 socks authentication failed"));
        EXPECT_EQ(c.events.back(), "closed 20015");
        EXPECT_FALSE(c.Has("connected 0"));
        EXPECT_EQ(c.sock.State(), wsClosed);
    }
}

#ifndef _WIN32
// Level 4 to a name that has only an IPv6 address: the request cannot carry it, and says so. The
// name exists only in a network and mount namespace of the test's own (a private hosts file),
// where the test program runs this test again.
TEST(SocksScripted, Level4ToANameWithOnlyAnIPv6AddressSaysItCannotCarryIt)
{
    if (!std::getenv("QUENLO_IN_NAME_NAMESPACE")) {
        if (std::system("unshare -nm true 2>/dev/null") != 0)
            GTEST_SKIP() << "no network namespace here";
        char self[4096];
        const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
        ASSERT_GT(n, 0);
        self[n] = '\0';
        const test::TempDir temp("socks-names");
        const std::string& dir = temp.Path();
        temp.Write("hosts", "127.0.0.1 localhost\n::1 only6.test\n");
        const std::string script = "ip link set lo up && mount --bind " + dir + "/hosts /etc/hosts && "
                                   "QUENLO_IN_NAME_NAMESPACE=1 exec timeout 60 '" + std::string(self) +
                                   "' --gtest_filter=" +
                                   ::testing::UnitTest::GetInstance()->current_test_info()->test_suite_name() +
                                   "." + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        const int rc = std::system(("unshare -nm sh -c \"" + script + "\" >" + dir + "/out 2>&1").c_str());
        const std::string out = test::ReadWholeFile(dir + "/out");
        EXPECT_EQ(rc, 0) << out;
        EXPECT_THAT(out, HasSubstr("[  PASSED  ] 1 test")) << out;
        return;
    }
    test::ScriptedPeer peer([](test::Link& c) { c.WaitForClose(); });
    SocksClient c(peer.Port(), 631, "4");
    c.sock.SetAddr("only6.test");
    c.sock.Connect();
    ASSERT_TRUE(runUntil([&] { return c.closed; }, 5s)) << ::testing::PrintToString(c.events);
    EXPECT_THAT(c.events, ::testing::Contains(HasSubstr(
                              "socks 4 cannot carry an IPv6 address, and 'only6.test' has no IPv4 address")));
}
#endif

}  // namespace
}  // namespace quenlo
