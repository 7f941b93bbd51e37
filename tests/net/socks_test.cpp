// TWSocket through SOCKS proxies: a scripted proxy for every reply, the requests on the wire, and
// the properties. (Real dante and microsocks servers: socks_real_test.cpp.)
#include "net/HttpFilter.h"
#include "net/SocksFilter.h"
#include "net/WSocket.h"
#include "net/socks_client.h"
#include "support/RunUntil.h"
#include "support/ScriptedPeer.h"
#include "wsocket_test_peer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace quenlo {
namespace {

using namespace std::chrono_literals;
using test::Bytes;
using test::EchoPeer;
using test::Link;
using test::runUntil;
using test::ScriptedPeer;
using test::SocksClient;
using testing::SocketError;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// ---------------------------------------------------------------------------------------------
// Scripted proxy: requests on the wire and every reply

// A SOCKS 5 proxy that accepts no authentication and answers the connect request with `reply`
// (and then `after`, if any).
// `after` follows the reply at once, or, given `afterThis`, once that is set (at most 30 s): only
// then can it not reach the client in the same read as the reply.
ScriptedPeer::Script Socks5Answer(std::string reply, std::string after = {},
                                  const std::atomic<bool>* afterThis = nullptr)
{
    return [reply, after, afterThis](Link& c) {
        c.Read(3);
        c.Write(Bytes({5, 0}));
        c.Read(4 + 1 + 9 + 2);  // "127.0.0.1" as a domain name
        c.Write(reply);
        for (int i = 0; afterThis && !*afterThis && i < 3000; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!after.empty())
            c.Write(after);
        c.WaitForClose();
    };
}

const std::string kGranted5 = Bytes({5, 0, 0, 1, 127, 0, 0, 1, 0x1F, 0x90});

TEST(SocksScripted, RequestsOnTheWireForEachLevel)
{
    struct Case {
        const char* level;
        std::string addr;
        std::string expected;
        std::string reply;
    };
    const std::vector<Case> cases = {
        {"4", "127.0.0.1", Bytes({4, 1, 0x1F, 0x90, 127, 0, 0, 1}) + "usr" + Bytes({0}), Bytes({0, 90, 0, 0, 0, 0, 0, 0})},
        {"4A", "printer.test", Bytes({4, 1, 0x1F, 0x90, 0, 0, 0, 1}) + "usr" + Bytes({0}) + "printer.test" + Bytes({0}),
         Bytes({0, 90, 0, 0, 0, 0, 0, 0})},
        {"5", "printer.test", Bytes({5, 1, 2}) + Bytes({1, 3}) + "usr" + Bytes({2}) + "pw" + Bytes({5, 1, 0, 3, 12}) +
                                  "printer.test" + Bytes({0x1F, 0x90}),
         ""},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.level);
        ScriptedPeer peer([&tc](Link& c) {
            if (tc.reply.empty()) {
                c.Read(3);
                c.Write(Bytes({5, 2}));
                c.Read(8);
                c.Write(Bytes({1, 0}));
                c.Read(5 + 12 + 2);
                c.Write(kGranted5);
            } else {
                c.Read(tc.expected.size());
                c.Write(tc.reply);
            }
            c.WaitForClose();
        });
        SocksClient client(peer.Port(), 8080, tc.level);
        client.sock.SetAddr(tc.addr);
        client.sock.SetSocksUsercode("usr");
        client.sock.SetSocksPassword("pw");
        client.sock.SetSocksAuthentication(socksAuthenticateUsercode);
        ASSERT_TRUE(client.ConnectAndWait()) << ::testing::PrintToString(client.events);
        EXPECT_EQ(peer.Received(), tc.expected);
        EXPECT_EQ(client.sock.ReadCount(), 0);  // proxy bytes are not the application's
        client.sock.Close();
    }
}

TEST(SocksScripted, EveryFailureReplyHasItsCodeAndClosesTheSocket)
{
    struct Case {
        const char* level;
        ScriptedPeer::Script script;
        std::string error;
    };
    std::vector<Case> cases;
    const char* texts[] = {"general SOCKS server failure", "connection not allowed by ruleset", "network unreachable",
                           "host unreachable", "connection refused", "time to live expired",
                           "command not supported", "address type not supported"};
    for (int rep = 1; rep <= 8; ++rep)
        cases.push_back({"5", Socks5Answer(Bytes({5, rep, 0, 1, 0, 0, 0, 0, 0, 0})),
                         std::to_string(20003 + rep) + " " + texts[rep - 1]});
    cases.push_back({"5", Socks5Answer(Bytes({5, 42, 0, 1})), "20012 unassigned error #42"});
    cases.push_back({"5", Socks5Answer(Bytes({4, 0, 0, 1})), "20002 socks version error"});
    cases.push_back({"5", Socks5Answer(Bytes({5, 0, 0, 9, 0, 0, 0, 0, 0, 0})), "20011 address type not supported"});
    auto socks4 = [](int cd, int version = 0) {
        return [cd, version](Link& c) {
            c.Read(9);
            c.Write(Bytes({version, cd, 0, 0, 0, 0, 0, 0}));
            c.WaitForClose();
        };
    };
    cases.push_back({"4", socks4(91), "20016 request rejected or failed"});
    cases.push_back({"4", socks4(92), "20008 connection refused"});
    cases.push_back({"4", socks4(93), "20015 authentification failed"});
    cases.push_back({"4", socks4(94), "20012 unassigned error #94"});
    cases.push_back({"4", socks4(90, 4), "20002 socks version error"});
    auto method = [](std::string answer) {
        return [answer](Link& c) {
            c.Read(3);
            c.Write(answer);
            c.WaitForClose();
        };
    };
    cases.push_back({"5", method(Bytes({5, 0xFF})), "20003 authentification method not acceptable"});
    cases.push_back({"5", method(Bytes({4, 0})), "20002 socks version error"});
    // The password method was not offered: credentials are never sent unasked.
    cases.push_back({"5", method(Bytes({5, 2})), "20003 authentification method not acceptable"});
    auto auth = [](std::string answer) {
        return [answer](Link& c) {
            c.Read(3);
            c.Write(Bytes({5, 2}));
            c.Read(5);
            c.Write(answer);
            c.WaitForClose();
        };
    };
    cases.push_back({"5a", auth(Bytes({1, 1})), "20015 socks authentication failed"});
    cases.push_back({"5a", auth(Bytes({5, 0})), "20002 socks version error"});
    cases.push_back({"5a", auth(Bytes({1, 0, 0})), "20001 too much data availaible"});

    for (auto& tc : cases) {
        SCOPED_TRACE(tc.error);
        ScriptedPeer peer(tc.script);
        const bool withAuth = std::string(tc.level) == "5a";
        SocksClient c(peer.Port(), 631, withAuth ? "5" : tc.level);
        c.sock.SetSocksUsercode("u");
        c.sock.SetSocksPassword("p");
        if (withAuth)
            c.sock.SetSocksAuthentication(socksAuthenticateUsercode);
        c.sock.Connect();
        ASSERT_TRUE(runUntil([&] { return c.closed; }, 5s)) << ::testing::PrintToString(c.events);
        const std::string code = tc.error.substr(0, 5);
        std::vector<std::string> tail(c.events.end() - 3, c.events.end());
        EXPECT_THAT(tail, ElementsAre("error " + tc.error, "connected " + code, "closed " + code));
        EXPECT_EQ(c.sock.State(), wsClosed);
        EXPECT_EQ(c.sock.SocksServer(), "");
        EXPECT_EQ(c.sock.SocksLevel(), "5");
        if (withAuth) {
            EXPECT_TRUE(c.Has("auth socksAuthFailed"));
        }
    }
}

TEST(SocksScripted, ARepliesSplitOverManyReadsIsReassembled)
{
    // Domain-name bound address, one byte at a time, for every phase of a password negotiation.
    const std::string reply = Bytes({5, 0, 0, 3, 4}) + "host" + Bytes({0, 80});
    ScriptedPeer peer([&](Link& c) {
        auto trickle = [&](const std::string& bytes) {
            for (char b : bytes) {
                c.Write(std::string(1, b));
                std::this_thread::sleep_for(15ms);
            }
        };
        c.Read(3);
        trickle(Bytes({5, 2}));
        c.Read(1 + 1 + 1 + 1 + 1);
        trickle(Bytes({1, 0}));
        c.Read(5 + 9 + 2);
        trickle(reply);
        c.WaitForClose();
    });
    SocksClient c(peer.Port(), 631);
    c.LogOnAs("u", "p");
    ASSERT_TRUE(c.ConnectAndWait()) << ::testing::PrintToString(c.events);
    EXPECT_THAT(c.events, ElementsAre("proxy 0", "auth socksAuthBegin", "auth socksAuthSucceeded", "connected 0"));
    EXPECT_EQ(c.received, "");
}

TEST(SocksScripted, TargetBytesInTheReplysReadComeFirstAndAreCounted)
{
    std::atomic<bool> connected{false};
    ScriptedPeer peer(Socks5Answer(kGranted5 + "early bytes", "later", &connected));
    SocksClient c(peer.Port(), 631);
    int countAtConnect = -1;
    std::string firstRead;
    c.sock.OnSessionConnected = [&](TCustomWSocket& s, std::uint16_t e) {
        c.Add("connected " + std::to_string(e));
        connected = true;
        countAtConnect = s.RcvdCount();
        char buf[5];
        int n = s.Receive(buf, sizeof buf);  // reads at once: must get the leftover, not "later"
        if (n > 0)
            firstRead.assign(buf, static_cast<std::size_t>(n));
    };
    ASSERT_TRUE(c.ConnectAndWait());
    EXPECT_EQ(countAtConnect, 11);
    EXPECT_EQ(firstRead, "early");
    ASSERT_TRUE(runUntil([&] { return c.received.size() >= 11; }, 5s));
    EXPECT_EQ(firstRead + c.received, "early byteslater");
    EXPECT_EQ(c.sock.ReadCount(), 16);
}

TEST(SocksScripted, TargetBytesInTheReplysReadAreCutIntoLinesInLineMode)
{
    ScriptedPeer peer(Socks5Answer(kGranted5 + "l1\r\nl2\r\npa", "rt\r\n"));
    SocksClient c(peer.Port(), 631);
    std::vector<std::string> lines;
    c.sock.SetLineMode(true);
    c.sock.OnDataAvailable = [&](TCustomWSocket& s, std::uint16_t) { lines.push_back(s.ReceiveText()); };
    ASSERT_TRUE(c.ConnectAndWait());
    ASSERT_TRUE(runUntil([&] { return lines.size() == 3; }, 5s));
    EXPECT_THAT(lines, ElementsAre("l1\r\n", "l2\r\n", "part\r\n"));
}

TEST(SocksScripted, ProxyClosingDuringAuthenticationReportsFailedAuth)
{
    ScriptedPeer peer([](Link& c) {
        c.Read(3);
        c.Write(Bytes({5, 2}));
        c.Read(5);
    });
    SocksClient c(peer.Port(), 631);
    c.LogOnAs("u", "p");
    c.sock.Connect();
    ASSERT_TRUE(runUntil([&] { return c.closed; }, 5s));
    EXPECT_THAT(c.events, ElementsAre("proxy 0", "auth socksAuthBegin", "auth socksAuthFailed", "closed 0"));
}

TEST(SocksScripted, ProxyThatWantsNoPasswordAfterAllIsReported)
{
    ScriptedPeer peer(Socks5Answer(kGranted5));
    SocksClient c(peer.Port(), 631);
    c.LogOnAs("u", "secret");
    ASSERT_TRUE(c.ConnectAndWait());
    EXPECT_THAT(c.events, ElementsAre("proxy 0", "auth socksAuthNotNeeded", "connected 0"));
    EXPECT_EQ(peer.Received().find("secret"), std::string::npos);
}

// A handler that starts again on socksAuthFailed: the refusal ends the first connection only.
TEST(SocksScripted, AConnectionRestartedWhenTheAuthenticationFailsIsNotClosedByThatFailure)
{
    ScriptedPeer refusing([](Link& c) {
        c.Read(3);
        c.Write(Bytes({5, 2}));
        c.Read(5);
        c.Write(Bytes({1, 1}));
        c.WaitForClose();
    });
    ScriptedPeer granting(Socks5Answer(kGranted5));
    SocksClient c(refusing.Port(), 631);
    c.LogOnAs("u", "p");
    c.sock.OnSocksAuthState = [&](TCustomWSocket&, TSocksAuthState state) {
        c.Add(std::string("auth ") + to_string(state));
        if (state != socksAuthFailed || c.Has("again"))
            return;
        c.Add("again");
        c.sock.Close();
        c.sock.SetAddr("127.0.0.1");  // the close cleared these
        c.sock.SetPort("631");
        c.sock.SetSocksServer("127.0.0.1");
        c.sock.SetSocksPort(std::to_string(granting.Port()));
        c.sock.SetSocksAuthentication(socksNoAuthentication);
        c.sock.Connect();
    };
    c.sock.Connect();
    ASSERT_TRUE(runUntil([&] { return c.Has("connected 0") || c.Has("closed 20015"); }, 10s)) << c.Events();
    EXPECT_TRUE(c.Has("connected 0")) << c.Events();
    EXPECT_FALSE(c.Has("closed 20015")) << c.Events();
}

TEST(SocksScripted, Level4TargetThatCannotBeResolvedFailsWith20017WithoutConnecting)
{
    ScriptedPeer peer([](Link& c) { c.WaitForClose(); });
    SocksClient c(peer.Port(), 631, "4");
    c.sock.SetAddr("999.1.1.1");  // fails at once, without asking a name server
    c.sock.Connect();
    ASSERT_TRUE(runUntil([&] { return c.closed; }, 8s));
    ASSERT_EQ(c.events.size(), 3u) << ::testing::PrintToString(c.events);
    EXPECT_EQ(c.events[0], "proxy 0");
    EXPECT_THAT(c.events[1], StartsWith("error 20017 ESocketException WSocketResolveHost: '999.1.1.1'"));
    EXPECT_EQ(c.events[2], "closed 20017");
    runUntil([&] { return peer.Finished(); }, 5s);
    EXPECT_EQ(peer.Received(), "");
}

TEST(SocksScripted, ReplyLongerThanTheRequestAreaIsStillRead)
{
    // A bound domain name of 200 bytes: the whole reply is 207 bytes.
    const std::string reply = Bytes({5, 0, 0, 3, 200}) + std::string(200, 'n') + Bytes({0, 80});
    ScriptedPeer peer(Socks5Answer(reply, "data"));
    SocksClient c(peer.Port(), 631);
    ASSERT_TRUE(c.ConnectAndWait()) << ::testing::PrintToString(c.events);
    ASSERT_TRUE(runUntil([&] { return c.received == "data"; }, 5s)) << c.received;
}

TEST(SocksScripted, WithoutSocksServerTheConnectionIsDirect)
{
    EchoPeer echo;
    SocksClient c(0, echo.Port());
    c.sock.SetSocksServer("");
    ASSERT_TRUE(c.ConnectAndWait());
    EXPECT_THAT(c.events, ElementsAre("connected 0"));  // no SOCKS event at all
    EXPECT_TRUE(c.Echo("direct"));
}

// ---------------------------------------------------------------------------------------------
// The SOCKS layer in a connection chain of its own, over a plain socket

struct SocksChain final : THttpChainListener {
    TWSocket sock;
    THttpChain chain;
    std::string proxyPort;
    std::vector<std::string> events;
    std::string received;

    SocksChain(int port, TSocksRequest request) : proxyPort(std::to_string(port))
    {
        chain.SetEnd(std::make_unique<TSocketEnd>(sock, *this));
        auto observer = [this](TSocksAuthState state) {
            events.push_back(to_string(state));
            return true;
        };
        chain.Add([&](THttpFilter& below, THttpChainListener& listener) {
            return std::make_unique<TSocksFilter>(below, listener, std::move(request), observer);
        }, *this);
        chain.End()->Lookup("127.0.0.1");
    }
    void Drain()
    {
        char buf[5];
        for (int n; (n = chain.Top().Receive(buf, sizeof buf)) > 0;)
            received.append(buf, static_cast<std::size_t>(n));
    }
    void ChainLookupDone(std::uint16_t) override { chain.End()->Connect(proxyPort, 5s); }
    void ChainConnected(std::uint16_t e) override { e == 0 ? chain.Open() : events.push_back("unreached"); }
    void ChainOpened() override
    {
        events.push_back("opened");
        Drain();  // at once, as a client sends and reads: the reply's target bytes must come first
    }
    void ChainReadable() override
    {
        if (!chain.TakeReadable())
            Drain();
    }
    void ChainSent() override {}
    void ChainClosed(std::uint16_t e) override { events.push_back("closed " + std::to_string(e)); }
    void ChainProgress() override {}
    void ChainFailed(const THttpFilterFailure& f) override
    {
        events.push_back(std::to_string(f.code) + " " + f.text);
    }
};

TEST(SocksFilter, OpensAChainWithoutTheSocketsSocksClassAndServesTheReplysTargetBytesFirst)
{
    std::atomic<bool> opened{false};
    ScriptedPeer granting(Socks5Answer(kGranted5 + "early bytes", "later", &opened));
    ScriptedPeer refusing([](Link& c) {  // the refusal, then the proxy's close
        c.Read(3);
        c.Write(Bytes({5, 0}));
        c.Read(4 + 1 + 9 + 2);
        c.Write(Bytes({5, 2, 0, 1, 0, 0, 0, 0, 0, 0}));
    });
    const TSocksRequest request{false, false, true, "u", "p", "127.0.0.1", 631, 0};

    SocksChain ok(granting.Port(), request);
    ASSERT_TRUE(runUntil([&] { return !ok.events.empty() && ok.events.back() == "opened"; }, 10s))
        << ::testing::PrintToString(ok.events);
    opened = true;
    ASSERT_TRUE(runUntil([&] { return ok.received.size() >= 16; }, 10s)) << ok.received;
    EXPECT_EQ(ok.received, "early byteslater");
    EXPECT_THAT(ok.events, ElementsAre("socksAuthNotNeeded", "opened"));

    // The refusal is reported once: the proxy's close after it is no second failure.
    SocksChain refused(refusing.Port(), request);
    ASSERT_TRUE(runUntil([&] { return !refused.events.empty() && refused.events.back().starts_with("closed"); }, 10s))
        << ::testing::PrintToString(refused.events);
    EXPECT_THAT(refused.events,
                ElementsAre("socksAuthNotNeeded", "20005 connection not allowed by ruleset", StartsWith("closed")));
}

// ---------------------------------------------------------------------------------------------
// Properties and refusals

TEST(SocksProperties, LevelsDefaultsAndRefusals)
{
    TWSocket s;
    EXPECT_EQ(s.SocksLevel(), "5");
    s.SetSocksLevel("4a");
    EXPECT_EQ(s.SocksLevel(), "4A");
    for (const char* bad : {"6", "", "4b", " 5", "5 "}) {
        EXPECT_EQ(SocketError([&] { s.SetSocksLevel(bad); }), "Invalid socks level. Must be 4, 4A or 5.") << bad;
    }
    EXPECT_EQ(s.SocksLevel(), "4A");
    s.SetSocksServer("  proxy.test \t");
    EXPECT_EQ(s.SocksServer(), "proxy.test");

    s.SetSocksPort("1080");
    s.SetProto("udp");
    s.SetAddr("127.0.0.1");
    s.SetPort("9");
    EXPECT_EQ(SocketError([&] { s.Connect(); }), "tcp is the only protocol supported thru socks server");
    EXPECT_EQ(SocketError([&] { s.Listen(); }), "listening is not supported thru socks server");
}

TEST(SocksProperties, SettingsAreRefusedWhileOpenAndClearedByTheClose)
{
    ScriptedPeer peer(Socks5Answer(kGranted5));
    SocksClient c(peer.Port(), 631);
    c.sock.SetSocksUsercode("keep");
    c.sock.SetSocksAuthentication(socksNoAuthentication);
    ASSERT_TRUE(c.ConnectAndWait());
    EXPECT_EQ(SocketError([&] { c.sock.SetSocksServer("x"); }), "Can't change socks server if not closed");
    EXPECT_EQ(SocketError([&] { c.sock.SetSocksPort("1"); }), "Can't change socks port if not closed");
    EXPECT_EQ(SocketError([&] { c.sock.SetSocksLevel("4"); }), "Can't change socks level if not closed");
    c.sock.Close();
    EXPECT_EQ(c.sock.SocksServer(), "");
    EXPECT_EQ(c.sock.SocksPort(), "");
    EXPECT_EQ(c.sock.SocksLevel(), "5");
    EXPECT_EQ(c.sock.SocksUsercode(), "keep");
}

TEST(SocksProperties, FieldsThatDoNotFitAreRefusedBeforeConnecting)
{
    struct Case {
        const char* level;
        std::string user, password, host;
        bool auth;
    };
    const std::vector<Case> cases = {
        {"4", std::string(120, 'u'), "", "127.0.0.1", false},
        {"4A", std::string(60, 'u'), "", std::string(59, 'h'), false},
        {"4", std::string("a\0b", 3), "", "127.0.0.1", false},
        {"5", "", "", std::string(122, 'h'), false},
        {"5", "", "p", "127.0.0.1", true},
        {"5", std::string(100, 'u'), std::string(26, 'p'), "127.0.0.1", true},
    };
    for (const auto& tc : cases) {
        TWSocket s;
        s.SetAddr(tc.host);
        s.SetPort("631");
        s.SetSocksServer("127.0.0.1");
        s.SetSocksPort("1");
        s.SetSocksLevel(tc.level);
        s.SetSocksUsercode(tc.user);
        s.SetSocksPassword(tc.password);
        if (tc.auth)
            s.SetSocksAuthentication(socksAuthenticateUsercode);
        EXPECT_THAT(SocketError([&] { s.Connect(); }), HasSubstr("socks: ")) << "a field that does not fit, level " << tc.level;
        EXPECT_EQ(s.State(), wsClosed);
    }
    // The largest that fit are accepted (and reach the proxy).
    TWSocket s;
    s.OnError = [](TCustomWSocket&) {};
    s.SetAddr(std::string(121, 'h'));
    s.SetPort("631");
    s.SetSocksServer("127.0.0.1");
    s.SetSocksPort("1");
    s.Connect();
    EXPECT_NE(s.State(), wsClosed);
}

}  // namespace
}  // namespace quenlo
