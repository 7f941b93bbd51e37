// TWSocket against real peers on 127.0.0.1: event order, closing, lookups, errors, re-entrancy and
// the server side.
#include "net/WSocket.h"
#include "wsocket_test_peer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace quenlo {
namespace {

using namespace quenlo::testing;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
namespace ws = platform::ws;

// Records every event of a socket as a line of text.
struct EventLog {
    std::vector<std::string> lines;
    std::string received;

    void Attach(TCustomWSocket& s, bool readData = true)
    {
        s.OnDnsLookupDone = [this](TCustomWSocket&, std::uint16_t e) { Add("lookup " + std::to_string(e)); };
        s.OnChangeState = [this](TCustomWSocket&, TSocketState from, TSocketState to) {
            Add(std::string("state ") + to_string(from) + ">" + to_string(to));
        };
        s.OnSessionConnected = [this](TCustomWSocket&, std::uint16_t e) { Add("connected " + std::to_string(e)); };
        s.OnDataSent = [this](TCustomWSocket&, std::uint16_t e) { Add("sent " + std::to_string(e)); };
        s.OnSessionClosed = [this](TCustomWSocket& sock, std::uint16_t e) {
            Add("closed " + std::to_string(e) + " in " + to_string(sock.State()));
        };
        if (readData) {
            s.OnDataAvailable = [this](TCustomWSocket& sock, std::uint16_t) {
                char buf[7];  // small on purpose: the socket must offer the rest again
                int n = sock.Receive(buf, sizeof(buf));
                if (n > 0) {
                    received.append(buf, static_cast<std::size_t>(n));
                    if (lines.empty() || lines.back() != "data")
                        Add("data");
                }
            };
        }
    }
    void Add(const std::string& line) { lines.push_back(line); }
    int Count(const std::string& prefix) const
    {
        int n = 0;
        for (const auto& l : lines)
            n += l.rfind(prefix, 0) == 0;
        return n;
    }
};

// Exposes protected steps for the error-path tests.
class ProbeSocket : public TWSocket {
public:
    using TWSocket::ReportSocketError;
};

// ---------------------------------------------------------------------------------------------
// A whole exchange

TEST(WSocketExchange, LookupConnectSendReceiveAndPeerCloseInOrder)
{
    ScriptedPeer peer([](Link& c) {
        c.Read(4);
        c.Write("PONG and some more bytes");
    });

    TWSocket s;
    EventLog log;
    log.Attach(s);
    s.OnDnsLookupDone = [&](TCustomWSocket& sock, std::uint16_t e) {
        log.Add("lookup " + std::to_string(e));
        ASSERT_EQ(e, 0);
        sock.SetAddr(sock.DnsResult());
        sock.SetPort(peer.PortText());
        sock.SetProto("tcp");
        sock.Connect();
    };
    s.OnSessionConnected = [&](TCustomWSocket& sock, std::uint16_t e) {
        log.Add("connected " + std::to_string(e));
        sock.SendText("PING");
    };
    bool closed = false;
    s.OnSessionClosed = [&](TCustomWSocket& sock, std::uint16_t e) {
        log.Add("closed " + std::to_string(e) + " in " + to_string(sock.State()));
        closed = true;
    };

    s.DnsLookup("localhost");
    ASSERT_TRUE(RunLoopUntil([&] { return closed && s.State() == wsClosed; }));
    peer.Join();

    EXPECT_EQ(peer.Received(), "PING");
    EXPECT_EQ(log.received, "PONG and some more bytes");
    // OnDataSent follows the first write notification and the drained Send; both come before the
    // data since the peer answers only after reading the request.
    std::vector<std::string> lines = log.lines;
#if defined(_WIN32)
    // The system posts the write notification after the connect as a message of its own, which
    // under wine may come after the peer's quick answer: it is looked for anywhere after the connect.
    const auto connected = std::find(lines.begin(), lines.end(), "connected 0");
    const auto lastSent = std::find(std::make_reverse_iterator(lines.end()), std::make_reverse_iterator(connected), "sent 0");
    ASSERT_EQ(std::count(connected, lines.end(), "sent 0"), 2);
    lines.erase(std::prev(lastSent.base()));
    lines.insert(std::find(lines.begin(), lines.end(), "sent 0"), "sent 0");
#endif
    EXPECT_THAT(lines, ElementsAre("lookup 0", "state wsClosed>wsOpened", "state wsOpened>wsConnecting",
                                   "state wsConnecting>wsConnected", "connected 0", "sent 0", "sent 0", "data",
                                   "closed 0 in wsConnected", "state wsConnected>wsClosed"));
    EXPECT_EQ(s.ReadCount(), 0) << "ReadCount returns to 0 at the close";
}

TEST(WSocketExchange, RefusedConnectReports10061ThenClosesThroughConnected)
{
    TWSocket s;
    EventLog log;
    log.Attach(s);
    ConnectTo(s, RefusingPort());
    ASSERT_TRUE(RunLoopUntil([&] { return log.Count("closed") > 0; }));
    RunLoopFor(50ms);
    EXPECT_THAT(log.lines, ElementsAre("state wsClosed>wsOpened", "state wsOpened>wsConnecting",
                                       "state wsConnecting>wsConnected", "connected 10061", "state wsConnected>wsClosed",
                                       "closed 0 in wsClosed"));
    EXPECT_EQ(WSocketErrorText(10061), "Connection refused");
}

TEST(WSocketExchange, ARefusedAddressGivesWayToTheNextAtOnce)
{
    ScriptedPeer peer;
    peer.Connection().Send("here").Close();
    TWSocket s;
    EventLog log;
    log.Attach(s);
    // Nothing listens on 127.0.0.2 at the peer's port; the attempt's own limit is far beyond the
    // wait, so only the refusal can move the connection on to 127.0.0.1.
    s.SetAddr("127.0.0.2");
    s.SetFallbackAddrs({"127.0.0.1"});
    s.SetConnectAttemptTimeout(10min);
    s.SetPort(peer.PortText());
    s.SetProto("tcp");
    s.Connect();
    ASSERT_TRUE(RunLoopUntil([&] { return log.Count("closed") > 0; }, 60s)) << ::testing::PrintToString(log.lines);
    EXPECT_EQ(log.Count("connected"), 1);
    EXPECT_EQ(log.Count("connected 0"), 1);
    EXPECT_EQ(log.received, "here");
}

TEST(WSocketExchange, BytesSentJustBeforeThePeerClosesArriveBeforeSessionClosed)
{
    const std::string payload(100000, 'x');
    ScriptedPeer peer;
    peer.Serve([&](Link& c) { c.Write(payload); });

    TWSocket s;
    EventLog log;
    log.Attach(s);
    std::size_t bytesAtClose = 0;
    s.OnSessionClosed = [&](TCustomWSocket&, std::uint16_t e) {
        bytesAtClose = log.received.size();
        log.Add("closed " + std::to_string(e));
    };
    ConnectTo(s, peer.Port());
    ASSERT_TRUE(RunLoopUntil([&] { return log.Count("closed") > 0; }, 10000ms));
    EXPECT_EQ(bytesAtClose, payload.size());
    EXPECT_EQ(log.received, payload);
    EXPECT_EQ(log.Count("closed"), 1);
}

TEST(WSocketExchange, WithoutDataHandlerReceivedBytesAreDrainedAndCloseStillReported)
{
    ScriptedPeer peer;
    peer.Serve([&](Link& c) { c.Write(std::string(5000, 'y')); });
    TWSocket s;
    EventLog log;
    log.Attach(s, /*readData=*/false);
    ConnectTo(s, peer.Port());
    ASSERT_TRUE(RunLoopUntil([&] { return log.Count("closed") > 0; }));
    EXPECT_EQ(log.Count("closed 0"), 1);
    EXPECT_EQ(s.State(), wsClosed);
}

// ---------------------------------------------------------------------------------------------
// Closing

TEST(WSocketClose, PeerCloseRacingOurCloseReportsSessionClosedOnce)
{
    ScriptedPeer peer;
    std::atomic<bool> go{false};
    std::atomic<bool> peerDone{false};
    peer.Serve([&](Link& c) {
        // Held back until we are connected, so the loop never sees the close before that.
        for (int i = 0; i < 5000 && !go; ++i)
            std::this_thread::sleep_for(1ms);
        c.Write("bye");
        c.Shutdown(2);
        peerDone = true;
    });
    TWSocket s;
    EventLog log;
    log.Attach(s);
    ConnectTo(s, peer.Port());
    ASSERT_TRUE(RunLoopUntil([&] { return s.State() == wsConnected; }));
    go = true;
    // The peer's close is on its way (or queued) when we close ourselves.
    for (int i = 0; i < 5000 && !peerDone; ++i)
        std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(peerDone);
    std::this_thread::sleep_for(20ms);
    s.Close();
    EXPECT_EQ(log.Count("closed"), 1);
    RunLoopFor(200ms);
    EXPECT_EQ(log.Count("closed"), 1);
    EXPECT_EQ(s.State(), wsClosed);

    s.Close();  // closing a closed socket does nothing and fires nothing
    EXPECT_EQ(log.Count("closed"), 1);
}

TEST(WSocketClose, CloseInsideDataHandlerWhileThePeerClosesReportsOnce)
{
    ScriptedPeer peer;
    peer.Serve([&](Link& c) { c.Write("data then close"); });
    TWSocket s;
    EventLog log;
    log.Attach(s);
    s.OnDataAvailable = [&](TCustomWSocket& sock, std::uint16_t) {
        char buf[4];
        sock.Receive(buf, sizeof(buf));
        sock.Close();
    };
    ConnectTo(s, peer.Port());
    ASSERT_TRUE(RunLoopUntil([&] { return log.Count("closed") > 0; }));
    RunLoopFor(100ms);
    EXPECT_EQ(log.Count("closed"), 1);
}

TEST(WSocketClose, SettingsReturnToDefaultsAfterCloseAndAddrMustBeSetAgain)
{
    ScriptedPeer peer;
    peer.Serve([](Link& c) { c.Read(1, 2000ms); });
    TWSocket s;
    s.SetLingerOnOff(wsLingerOff);
    s.SetLingerTimeout(30);
    s.SetFlushTimeout(5);
    s.SetLocalPort("0");
    ConnectTo(s, peer.Port());
    ASSERT_TRUE(RunLoopUntil([&] { return s.State() == wsConnected; }));

    EXPECT_THROW(s.SetAddr("10.0.0.1"), ESocketException);
    EXPECT_EQ(SocketError([&] { s.SetPort("80"); }), "Cannot change Port if not closed");
    EXPECT_EQ(SocketError([&] { s.SetProto("udp"); }), "Cannot change Proto if not closed");
    EXPECT_EQ(SocketError([&] { s.SetLocalPort("1"); }), "Cannot change LocalPort if not closed");
    s.SetAddr("127.0.0.1");  // the same text on an assigned property is no change

    s.Close();
    EXPECT_EQ(s.Proto(), "tcp");
    EXPECT_EQ(s.LocalPort(), "0");
    EXPECT_EQ(s.LingerOnOff(), wsLingerOn);
    EXPECT_EQ(s.LingerTimeout(), 0);
    EXPECT_EQ(s.FlushTimeout(), 60);
    EXPECT_EQ(s.Addr(), "127.0.0.1") << "the texts stay";

    s.SetAddr("127.0.0.1");  // accepted: the close marked it unassigned
    EXPECT_EQ(SocketError([&] { s.Connect(); }), "Connect: No Port Specified");
    peer.Join();
}

TEST(WSocketClose, ResetOrNotConnectedErrorClosesWithoutSessionClosed)
{
    for (int error : {10054, 10057}) {
        ScriptedPeer peer;
        peer.Serve([](Link& c) { c.Read(1, 2000ms); });
        ProbeSocket s;
        EventLog log;
        log.Attach(s);
        ConnectTo(s, peer.Port());
        ASSERT_TRUE(RunLoopUntil([&] { return s.State() == wsConnected; }));
        int errors = 0;
        s.OnError = [&](TCustomWSocket&) { ++errors; };
        ws::WSASetLastError(error);
        s.ReportSocketError("Test");
        EXPECT_EQ(errors, 1);
        EXPECT_EQ(s.State(), wsClosed);
        EXPECT_EQ(s.HSocket(), ws::INVALID_SOCKET);
        EXPECT_EQ(s.LastError(), error);
        RunLoopFor(50ms);
        EXPECT_EQ(log.Count("closed"), 0) << error;
    }
}

TEST(WSocketClose, SendWhileConnectingEndsTheAttemptWithNotConnected)
{
    ScriptedPeer peer;
    TWSocket s;
    EventLog log;
    log.Attach(s);
    ConnectTo(s, peer.Port());
    ASSERT_EQ(s.State(), wsConnecting);
    EXPECT_EQ(SocketError([&] { s.SendText("early"); }), "Error 10057 in function Send\r\nSocket is not connected");
    EXPECT_EQ(s.State(), wsClosed);
    RunLoopFor(100ms);
    EXPECT_EQ(log.Count("closed"), 0);
    EXPECT_EQ(log.Count("connected"), 0) << "the stale connect outcome must be ignored";
}

// ---------------------------------------------------------------------------------------------
// Refusals and errors

TEST(WSocketErrors, ConnectRefusalsInOrderAndResolutionFailures)
{
    TWSocket s;
    auto connectMessage = [&] { return SocketError([&] { s.Connect(); }); };
    EXPECT_EQ(connectMessage(), "Connect: No Port Specified");
    s.SetPort("80");
    EXPECT_EQ(connectMessage(), "Connect: No IP Address Specified");
    s.SetAddr("  127.0.0.1  ");
    EXPECT_EQ(s.Addr(), "127.0.0.1");
    s.SetProto("");
    EXPECT_EQ(connectMessage(), "Connect: No Protocol Specified");
    s.SetProto("tcp");
    s.SetAddr("999.1.1.1");
    EXPECT_EQ(connectMessage(), "connect: WSocketResolveHost: '999.1.1.1' Invalid IP address.");
    s.SetAddr("127.0.0.1");
    s.SetPort("no-such-service-here");
    EXPECT_THAT(connectMessage(), HasSubstr("connect: WSocketResolvePort: Cannot convert port"));
    EXPECT_EQ(s.State(), wsClosed);
}

TEST(WSocketErrors, OnErrorReplacesTheExceptionAndSendFlagsAreChecked)
{
    TWSocket s;
    int errors = 0;
    s.OnError = [&](TCustomWSocket&) { ++errors; };
    s.Connect();  // no port: reported, not thrown
    EXPECT_EQ(errors, 1);
    s.SetSendFlags(static_cast<TSocketSendFlags>(7));
    EXPECT_EQ(errors, 2);
    EXPECT_EQ(s.SendFlags(), wsSendNormal);
    s.SetSendFlags(wsSendUrgent);
    EXPECT_EQ(s.SendFlags(), wsSendUrgent);

    s.OnError = nullptr;
    EXPECT_EQ(SocketError([&] { s.SetSendFlags(static_cast<TSocketSendFlags>(-1)); }), "Invalid SendFlags");
    EXPECT_EQ(s.PeerAddr(), "error");
    EXPECT_EQ(s.PeerPort(), "error");
    EXPECT_EQ(s.GetLocalPortText(), "error");
    EXPECT_EQ(s.ReceiveText(), "");
}

TEST(WSocketErrors, AnOnErrorHandlerMayDestroyItsSocket)
{
    // A port held by a listener: binding the local end to it fails inside Connect.
    ScriptedPeer holder;
    const std::string heldPort = holder.PortText();

    const std::vector<std::function<void(TWSocket&)>> failures = {
        [](TWSocket& s) { s.DnsLookup(""); },
        [](TWSocket& s) { s.ReverseLookup(""); },
        [&](TWSocket& s) {
            s.SetAddr("127.0.0.1");
            s.SetPort("1");
            s.SetProto("tcp");
            s.SetLocalPort(heldPort);
            s.Connect();
        },
    };
    for (std::size_t i = 0; i < failures.size(); ++i) {
        auto s = std::make_unique<TWSocket>();
        int errors = 0, lookups = 0;
        s->OnError = [&](TCustomWSocket&) {
            ++errors;
            s.reset();
        };
        s->OnDnsLookupDone = [&](TCustomWSocket&, std::uint16_t) { ++lookups; };
        failures[i](*s);
        EXPECT_EQ(errors, 1) << "case " << i;
        EXPECT_EQ(s, nullptr);
        EXPECT_EQ(lookups, 0) << "no event from a destroyed socket, case " << i;
    }
}

TEST(WSocketErrors, ExceptionInConnectedHandlerAbortsUnlessBgExceptionKeepsIt)
{
    for (bool keep : {false, true}) {
        ScriptedPeer peer;
        peer.Serve([](Link& c) { c.Read(1, 1000ms); });
        TWSocket s;
        EventLog log;
        log.Attach(s);
        s.OnSessionConnected = [](TCustomWSocket&, std::uint16_t) { throw std::runtime_error("handler failed"); };
        std::string seen;
        s.OnBgException = [&](TCustomWSocket&, const std::exception& e, bool& canClose) {
            seen = e.what();
            if (keep)
                canClose = false;
        };
        ConnectTo(s, peer.Port());
        ASSERT_TRUE(RunLoopUntil([&] { return !seen.empty(); }));
        RunLoopFor(50ms);
        EXPECT_EQ(seen, "handler failed");
        if (keep) {
            EXPECT_EQ(s.State(), wsConnected);
            EXPECT_EQ(log.Count("closed"), 0);
            s.Close();
        } else {
            EXPECT_EQ(s.State(), wsClosed);
            EXPECT_EQ(log.Count("closed 0"), 1);
        }
    }
}

TEST(WSocketErrors, ExceptionFromDataHandlerIsSwallowed)
{
    ScriptedPeer peer;
    peer.Serve([](Link& c) { c.Write("x"); c.Read(1, 1000ms); });
    TWSocket s;
    int bg = 0;
    s.OnBgException = [&](TCustomWSocket&, const std::exception&, bool&) { ++bg; };
    bool called = false;
    s.OnDataAvailable = [&](TCustomWSocket& sock, std::uint16_t) {
        called = true;
        char b[4];
        sock.Receive(b, sizeof(b));
        throw std::runtime_error("ignored");
    };
    ConnectTo(s, peer.Port());
    ASSERT_TRUE(RunLoopUntil([&] { return called; }));
    RunLoopFor(50ms);
    EXPECT_EQ(bg, 0);
    EXPECT_EQ(s.State(), wsConnected);
}

// ---------------------------------------------------------------------------------------------
// Lookups

TEST(WSocketLookup, DottedAddressCompletesInsideDnsLookup)
{
    TWSocket s;
    bool inside = false, done = false;
    s.OnDnsLookupDone = [&](TCustomWSocket& sock, std::uint16_t e) {
        EXPECT_TRUE(inside);
        EXPECT_EQ(e, 0);
        EXPECT_EQ(sock.DnsResult(), "127.0.0.1");
        EXPECT_TRUE(sock.DnsResultList().empty());
        done = true;
    };
    inside = true;
    s.DnsLookup("127.0.0.1");
    inside = false;
    EXPECT_TRUE(done);
}

TEST(WSocketLookup, LocalhostAnInvalidNameAndAnEmptyOne)
{
    TWSocket s;
    EXPECT_THROW(s.DnsLookup(""), ESocketException) << "without an error handler";
    std::vector<int> results;
    s.OnDnsLookupDone = [&](TCustomWSocket&, std::uint16_t e) { results.push_back(e); };
    s.DnsLookup("localhost");
    EXPECT_TRUE(results.empty()) << "a name is looked up in the background";
    ASSERT_TRUE(RunLoopUntil([&] { return !results.empty(); }, 10000ms));
    EXPECT_EQ(results[0], 0);
    EXPECT_EQ(s.DnsResult(), "127.0.0.1");
    ASSERT_FALSE(s.DnsResultList().empty());
    EXPECT_EQ(s.DnsResultList().front(), s.DnsResult());

    s.DnsLookup("no-such-host.invalid");
    ASSERT_TRUE(RunLoopUntil([&] { return results.size() == 2; }, 15000ms));
    EXPECT_EQ(results[1], ws::WSAHOST_NOT_FOUND);
    EXPECT_EQ(s.DnsResult(), "");
    EXPECT_TRUE(s.DnsResultList().empty());

    s.OnError = [](TCustomWSocket&) {};
    s.DnsLookup("");
    EXPECT_EQ(results.back(), 10022);
    EXPECT_EQ(results.size(), 3u);
}

TEST(WSocketLookup, CancelledOrSupersededLookupsDropTheirLateAnswers)
{
    TWSocket s;
    std::vector<int> results;
    s.OnDnsLookupDone = [&](TCustomWSocket&, std::uint16_t e) { results.push_back(e); };

    s.DnsLookup("localhost");
    s.CancelLookup();
    ASSERT_EQ(results, std::vector<int>{10004});
    s.CancelLookup();  // nothing pending: nothing fires
    RunLoopFor(300ms);
    EXPECT_EQ(results, std::vector<int>{10004}) << "the cancelled answer must be dropped";

    results.clear();
    s.DnsLookup("localhost");
    s.DnsLookup("127.0.0.2");  // cancels the pending one silently, answers at once
    EXPECT_EQ(results, std::vector<int>{0});
    RunLoopFor(300ms);
    EXPECT_EQ(results, std::vector<int>{0});
    EXPECT_EQ(s.DnsResult(), "127.0.0.2");
}

TEST(WSocketLookup, ReverseLookupOfLoopback)
{
    TWSocket s;
    int result = -1;
    s.OnDnsLookupDone = [&](TCustomWSocket&, std::uint16_t e) { result = e; };
    s.ReverseLookup("127.0.0.1");
    ASSERT_TRUE(RunLoopUntil([&] { return result >= 0; }, 10000ms));
    ASSERT_EQ(result, 0);
    EXPECT_FALSE(s.DnsResult().empty());
    EXPECT_EQ(s.DnsResultList(), std::vector<std::string>{s.DnsResult()});
}

// ---------------------------------------------------------------------------------------------
// Re-entrancy

TEST(WSocketReentrancy, HandlersMayDestroyTheSocket)
{
    // Destroyed inside OnDataAvailable, with the peer's close in the same notification.
    {
        ScriptedPeer peer;
        peer.Serve([](Link& c) { c.Write("some data"); });
        auto s = std::make_unique<TWSocket>();
        s->OnDataAvailable = [&](TCustomWSocket&, std::uint16_t) { s.reset(); };
        ConnectTo(*s, peer.Port());
        ASSERT_TRUE(RunLoopUntil([&] { return s == nullptr; }));
        RunLoopFor(50ms);
    }
    // Destroyed inside OnSessionClosed of our own Close.
    {
        ScriptedPeer peer;
        peer.Serve([](Link& c) { c.Read(1, 1000ms); });
        auto s = std::make_unique<TWSocket>();
        s->OnSessionConnected = [&](TCustomWSocket& sock, std::uint16_t) { sock.Close(); };
        s->OnSessionClosed = [&](TCustomWSocket&, std::uint16_t) { s.reset(); };
        ConnectTo(*s, peer.Port());
        ASSERT_TRUE(RunLoopUntil([&] { return s == nullptr; }));
        RunLoopFor(50ms);
    }
    // Destroyed inside OnDnsLookupDone.
    {
        auto s = std::make_unique<TWSocket>();
        s->OnDnsLookupDone = [&](TCustomWSocket&, std::uint16_t) { s.reset(); };
        s->DnsLookup("localhost");
        ASSERT_TRUE(RunLoopUntil([&] { return s == nullptr; }, 10000ms));
    }
    EXPECT_EQ(SocketInstanceCount(), 0);
}

TEST(WSocketReentrancy, DestroyingAnOpenSocketFiresNothing)
{
    ScriptedPeer peer;
    peer.Serve([](Link& c) { c.Read(1, 1000ms); });
    EventLog log;
    {
        TWSocket s;
        log.Attach(s);
        ConnectTo(s, peer.Port());
        ASSERT_TRUE(RunLoopUntil([&] { return s.State() == wsConnected; }));
        s.DnsLookup("localhost");  // still pending when the socket goes
        log.lines.clear();
    }
    RunLoopFor(200ms);
    EXPECT_TRUE(log.lines.empty()) << log.lines.front();
    EXPECT_EQ(SocketInstanceCount(), 0);
}

TEST(WSocketReentrancy, NewConnectionStartedFromSessionClosed)
{
    ScriptedPeer peer;
    peer.Serve([](Link& c) { c.Write("one"); }, 2);
    TWSocket s;
    int connections = 0, closes = 0;
    std::string received;
    s.OnSessionConnected = [&](TCustomWSocket&, std::uint16_t e) {
        EXPECT_EQ(e, 0);
        ++connections;
    };
    s.OnDataAvailable = [&](TCustomWSocket& sock, std::uint16_t) {
        char b[16];
        int n = sock.Receive(b, sizeof(b));
        if (n > 0)
            received.append(b, static_cast<std::size_t>(n));
        if (connections == 1 && received == "one")
            sock.Close();  // our close: OnSessionClosed fires inside it
    };
    s.OnSessionClosed = [&](TCustomWSocket& sock, std::uint16_t) {
        if (++closes == 1)
            ConnectTo(sock, peer.Port());
    };
    ConnectTo(s, peer.Port());
    ASSERT_TRUE(RunLoopUntil([&] { return closes == 2; }));
    EXPECT_EQ(connections, 2);
    EXPECT_EQ(received, "oneone");
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(s.HSocket(), ws::INVALID_SOCKET);
}

// ---------------------------------------------------------------------------------------------
// Server side, datagrams, waiting

void ListenAcceptDupAndExchange(const std::string& host)
{
    SCOPED_TRACE(host);
    TWSocket server;
    server.SetAddr(host);
    server.SetPort("0");
    server.Listen();
    ASSERT_EQ(server.State(), wsListening);
    std::string port = server.GetLocalPortText();
    ASSERT_NE(port, "error");

    TWSocket accepted;
    std::string got;
    accepted.OnDataAvailable = [&](TCustomWSocket& sock, std::uint16_t) {
        char b[32];
        int n = sock.Receive(b, sizeof(b));
        if (n > 0) {
            got.append(b, static_cast<std::size_t>(n));
            sock.SendText("echo:" + std::string(b, static_cast<std::size_t>(n)));
        }
    };
    server.OnSessionAvailable = [&](TCustomWSocket& sock, std::uint16_t) { accepted.Dup(sock.Accept()); };

    TWSocket client;
    std::string reply;
    client.OnSessionConnected = [](TCustomWSocket& sock, std::uint16_t) { sock.SendText("hi"); };
    client.OnDataAvailable = [&](TCustomWSocket& sock, std::uint16_t) {
        char b[32];
        int n = sock.Receive(b, sizeof(b));
        if (n > 0)
            reply.append(b, static_cast<std::size_t>(n));
    };
    ConnectTo(client, port, host);
    ASSERT_TRUE(RunLoopUntil([&] { return reply == "echo:hi"; }));
    EXPECT_EQ(accepted.State(), wsConnected);
    EXPECT_EQ(accepted.PeerAddr(), host);
    EXPECT_EQ(client.PeerPort(), port);

    bool acceptedClosed = false;
    accepted.OnSessionClosed = [&](TCustomWSocket&, std::uint16_t) { acceptedClosed = true; };
    client.Close();
    ASSERT_TRUE(RunLoopUntil([&] { return acceptedClosed; }));
    EXPECT_EQ(accepted.State(), wsClosed);
    EXPECT_THROW(client.Accept(), ESocketException) << "not a listening socket";
}

TEST(WSocketServer, ListenAcceptDupAndExchange)
{
    for (const std::string host : {"127.0.0.1", "::1"})
        ListenAcceptDupAndExchange(host);
}

TEST(WSocketServer, AcceptOutsideListeningAndDupOfInvalidHandleAreRefused)
{
    TWSocket s;
    EXPECT_EQ(SocketError([&] { s.Accept(); }), "Error 10022 in function not a listening socket\r\nInvalid argument");
    EXPECT_THROW(s.Dup(ws::INVALID_SOCKET), ESocketException);
    EXPECT_EQ(SocketError([&] { s.Listen(); }), "Error 10022 in function listen: port not assigned\r\nInvalid argument");
}

TEST(WSocketServer, DatagramSocketIsReadyInsideConnectAndSends)
{
    const ws::SOCKET peer = ws::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(ws::bind(peer, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    socklen_t len = sizeof(a);
    ws::getsockname(peer, reinterpret_cast<sockaddr*>(&a), &len);

    TWSocket s;
    EventLog log;
    log.Attach(s);
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(ntohs(a.sin_port)));
    s.SetProto("udp");
    s.Connect();
    EXPECT_THAT(log.lines, ElementsAre("state wsClosed>wsOpened", "state wsOpened>wsConnected", "connected 0"));
    EXPECT_NE(s.LocalPort(), "0") << "a datagram socket is bound to a system-chosen port";
    EXPECT_EQ(s.SendText("datagram"), 8);
    Link datagrams(peer);
    EXPECT_EQ(datagrams.ReadSome(32), "datagram");
    s.Close();
    datagrams.Close();
}

TEST(WSocketWaiting, WaitUntilClosedReturnsWhenThePeerCloses)
{
    ScriptedPeer peer;
    peer.Serve([](Link& c) {
        std::this_thread::sleep_for(100ms);
        c.Write("late");
    });
    TWSocket s;
    EventLog log;
    log.Attach(s);
    ConnectTo(s, peer.Port());
    ASSERT_TRUE(RunLoopUntil([&] { return s.State() == wsConnected; }));
    s.WaitUntilClosed();
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(log.received, "late");
    EXPECT_EQ(log.Count("closed 0"), 1);
}

TEST(WSocketWaiting, APendingQuitEndsTheWaitsAtOnceAndStaysPending)
{
    ScriptedPeer peer;
    std::atomic<bool> release{false};
    peer.Serve([&](Link&) {
        // Holds the connection without reading, until the test is over (at most 30 s: closing
        // sooner, on a slow machine, would end the waits the test means to see end at the quit).
        for (int i = 0; i < 3000 && !release; ++i)
            std::this_thread::sleep_for(10ms);
    });
    TWSocket s;
    ConnectTo(s, peer.Port());
    ASSERT_TRUE(RunLoopUntil([&] { return s.State() == wsConnected; }));
    platform::PostQuitMessage(3);
    s.WaitUntilClosed();
    EXPECT_EQ(s.State(), wsConnected) << "the wait ended at the quit, not at the peer's close";
    std::string big(4 << 20, 'x');  // more than the socket buffers hold: Flush has to wait
    s.Send(big.data(), static_cast<int>(big.size()));
    s.Flush();
    EXPECT_EQ(s.State(), wsConnected);
    platform::MSG msg;
    while (platform::PeekMessage(msg) && msg.message != platform::WM_QUIT)
        platform::DispatchMessage(msg);
    EXPECT_EQ(msg.message, platform::WM_QUIT) << "the quit is left for the loop outside";
    EXPECT_EQ(msg.wParam, 3u);
    s.Abort();
    release = true;
}

TEST(WSocketWaiting, MultiThreadedSocketOnAWorkerThreadStopsAtTheQuitMessage)
{
    ScriptedPeer peer;
    peer.Serve([](Link& c) { c.Write("from worker's peer"); });
    std::string received;
    bool terminated = false, closedState = false;
    std::thread worker([&] {
        TWSocket s;
        s.SetMultiThreaded(true);
        s.OnDataAvailable = [&](TCustomWSocket& sock, std::uint16_t) {
            char b[64];
            int n = sock.Receive(b, sizeof(b));
            if (n > 0)
                received.append(b, static_cast<std::size_t>(n));
        };
        ConnectTo(s, peer.Port());
        s.WaitUntilClosed();
        closedState = s.State() == wsClosed;
        platform::PostQuitMessage(0);
        s.DrainThreadMessages();
        terminated = s.ThreadTerminated();
    });
    worker.join();
    EXPECT_EQ(received, "from worker's peer");
    EXPECT_TRUE(closedState);
    EXPECT_TRUE(terminated);
}

TEST(WSocketWaiting, PauseHoldsNotificationsUntilResume)
{
    ScriptedPeer peer;
    std::atomic<bool> go{false};
    peer.Serve([&](Link& c) {
        while (!go)
            std::this_thread::sleep_for(1ms);
        c.Write("held");
        c.Read(1, 2000ms);
    });
    TWSocket s;
    EventLog log;
    log.Attach(s);
    ConnectTo(s, peer.Port());
    ASSERT_TRUE(RunLoopUntil([&] { return s.State() == wsConnected; }));
    RunLoopFor(20ms);
    s.Pause();
    go = true;
    RunLoopFor(150ms);
    EXPECT_EQ(log.received, "");
    s.Resume();
    ASSERT_TRUE(RunLoopUntil([&] { return log.received == "held"; }));
    s.Close();
}

TEST(WSocketWaiting, PauseInsideTheDataHandlerStopsTheDelivery)
{
    ScriptedPeer peer;
    std::atomic<bool> release{false};
    peer.Serve([&](Link& c) {
        c.Write("waiting");
        for (int i = 0; i < 200 && !release; ++i)
            std::this_thread::sleep_for(10ms);
    });
    TWSocket s;
    int calls = 0;
    std::string received;
    s.OnDataAvailable = [&](TCustomWSocket& sock, std::uint16_t) {
        if (++calls == 1) {
            sock.Pause();  // nothing read: the bytes stay waiting
            return;
        }
        char b[64];
        const int n = sock.Receive(b, sizeof b);
        if (n > 0)
            received.append(b, static_cast<std::size_t>(n));
    };
    ConnectTo(s, peer.Port());
    ASSERT_TRUE(RunLoopUntil([&] { return calls > 0; }));
    RunLoopFor(100ms);
    EXPECT_EQ(calls, 1) << "a paused socket is not offered its bytes again";
    s.Resume();
    EXPECT_TRUE(RunLoopUntil([&] { return received == "waiting"; }));
    release = true;
    s.Close();
}

TEST(WSocketWaiting, AConnectionStartedInTheCloseHandlerCountsItsOwnBytes)
{
    ScriptedPeer peer;
    peer.Serve([](Link& c) {
        c.Write("12345");
        c.Read(1, 2000ms);  // until our side closes
    }, 2);
    TWSocket s;
    std::string received;
    int closes = 0;
    s.OnDataAvailable = [&](TCustomWSocket& sock, std::uint16_t) {
        char b[64];
        int n;
        while ((n = sock.Receive(b, sizeof b)) > 0)
            received.append(b, static_cast<std::size_t>(n));
    };
    s.OnSessionClosed = [&](TCustomWSocket& sock, std::uint16_t) {
        if (++closes == 1)
            ConnectTo(sock, peer.Port());
    };
    ConnectTo(s, peer.Port());
    ASSERT_TRUE(RunLoopUntil([&] { return received.size() == 5; }));
    s.Close();  // its close handler connects again
    ASSERT_TRUE(RunLoopUntil([&] { return received.size() == 10; }));
    EXPECT_EQ(s.ReadCount(), 5);
    s.Close();
}

}  // namespace
}  // namespace quenlo
