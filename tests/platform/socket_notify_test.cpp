// Socket notifications against real peers on 127.0.0.1, the same on both systems.
#include "both_systems.h"
#include "socket_peer.h"

namespace quenlo::test {
namespace {

using SocketNotifyTest = LoopTest;

TEST_F(SocketNotifyTest, ConnectGivesConnectFirstAndOneWrite)
{
    Peer peer;
    Client client;
    connectPair(client, peer);
    const auto first = client.target.got.front();
    EXPECT_EQ(first.wParam, static_cast<platform::WPARAM>(client.s));
    EXPECT_TRUE(ws::WSAGETSELECTEVENT(first.lParam) & ws::FD_CONNECT);
    EXPECT_EQ(ws::WSAGETSELECTERROR(first.lParam), 0u);
    if (!kSystemSockets) {
        EXPECT_EQ(ws::WSAGETSELECTEVENT(first.lParam), unsigned(ws::FD_CONNECT | ws::FD_WRITE)) << "found together";
    }

    runFor(100ms);
    EXPECT_EQ(client.times(ws::FD_WRITE), 1) << "an idle writable socket is not reported again";
    EXPECT_EQ(client.times(ws::FD_READ), 0);
}

TEST_F(SocketNotifyTest, ReadIsReportedOncePerReceiveCall)
{
    Peer peer;
    Client client;
    connectPair(client, peer);

    peer.sendText("0123456789");
    ASSERT_TRUE(runUntil([&] { return client.times(ws::FD_READ) == 1; }));
    unsigned long waiting = 0;
    EXPECT_EQ(ws::ioctlsocket_FIONREAD(client.s, &waiting), 0);
    EXPECT_EQ(waiting, 10u);
    peer.sendText("more bytes, same unread state");
    runFor(100ms);
    EXPECT_EQ(client.times(ws::FD_READ), 1) << "not again until a receive call";

    EXPECT_EQ(client.receive(4), "0123");
    ASSERT_TRUE(runUntil([&] { return client.times(ws::FD_READ) == 2; })) << "bytes left: reported again";

    client.receive(4096);
    runFor(100ms);
    EXPECT_EQ(client.times(ws::FD_READ), 2) << "nothing left after the receive";

    peer.sendText("x");
    ASSERT_TRUE(runUntil([&] { return client.times(ws::FD_READ) == 3; }));
    EXPECT_EQ(client.receive(10), "x");

    // A receive that finds nothing is "would block". The Linux layer answers a zero-length receive
    // the same way (the system itself would answer 0, which reads as the end of the stream).
    char c;
    EXPECT_EQ(ws::recv(client.s, &c, 1, 0), ws::SOCKET_ERROR);
    EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEWOULDBLOCK);
    if (!kSystemSockets) {
        EXPECT_EQ(ws::recv(client.s, &c, 0, 0), ws::SOCKET_ERROR);
        EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEWOULDBLOCK);
    }
}

TEST_F(SocketNotifyTest, WriteIsReportedAgainOnlyAfterASendWasRefused)
{
    Peer peer;
    Client client;
    const int small = 4096;  // a small send buffer fills quickly
    ws::setsockopt(client.s, kSolSocket, kSoSndBuf, &small, sizeof small);
    connectPair(client, peer);

    std::string block(65536, 'z');
    long sent = 0;
    for (int i = 0; i < 10000; ++i) {
        const int n = ws::send(client.s, block.data(), static_cast<int>(block.size()), 0);
        if (n == ws::SOCKET_ERROR) {
            ASSERT_EQ(ws::WSAGetLastError(), ws::WSAEWOULDBLOCK);
            break;
        }
        sent += n;
    }
    ASSERT_GT(sent, 0);
    EXPECT_EQ(client.times(ws::FD_WRITE), 1) << "only the connect's, before the refusal";

    // The peer drains everything; the refused send's notification follows, once, and a socket
    // that stays writable is not reported again without another refusal.
    long drained = 0;
    EXPECT_TRUE(runUntil([&] {
        drained += peer.drain();
        return client.times(ws::FD_WRITE) == 2 && drained >= sent;
    }));
    runFor(50ms);
    EXPECT_EQ(client.times(ws::FD_WRITE), 2);
}

TEST_F(SocketNotifyTest, ARefusedConnectReportsConnectWithTheRefusal)
{
    std::uint16_t closedPort;
    {
        Peer gone;  // a port that was free a moment ago and now refuses
        closedPort = gone.port;
    }
    Client client;
    const int rc = client.connectTo(closedPort);
    ASSERT_EQ(rc, ws::SOCKET_ERROR);
    EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEWOULDBLOCK) << "the outcome always comes as FD_CONNECT";
    ASSERT_TRUE(runUntil([&] { return client.times(ws::FD_CONNECT) == 1; }));
    EXPECT_EQ(client.errorOf(ws::FD_CONNECT), unsigned(ws::WSAECONNREFUSED));
    runFor(100ms);
    EXPECT_EQ(client.times(ws::FD_CLOSE), 0);
    EXPECT_EQ(client.times(ws::FD_WRITE), 0);
    EXPECT_EQ(client.target.got.size(), 1u);
}

TEST_F(SocketNotifyTest, APeerResetIsACloseWithTheResetNumber)
{
    Peer peer;
    Client client;
    connectPair(client, peer);
    peer.resetConnection();
    ASSERT_TRUE(runUntil([&] { return client.times(ws::FD_CLOSE) == 1; }));
    // wine reports the reset as an orderly close (0); Windows and the Linux layer give 10054.
    EXPECT_EQ(client.errorOf(ws::FD_CLOSE), UnderWine() ? 0u : unsigned(ws::WSAECONNRESET));
    runFor(100ms);
    EXPECT_EQ(client.times(ws::FD_CLOSE), 1);
}

// The system tells of an orderly close once the bytes before it have been read; the Linux layer
// tells of it at once, in the message of the first read.
TEST_F(SocketNotifyTest, SendThenCloseGivesReadsThenOneCloseWithTheBytesKept)
{
    Peer peer;
    Client client;
    connectPair(client, peer);
    const std::size_t before = client.target.got.size();
    peer.sendText("last words");
    peer.closeConnection();
    ASSERT_TRUE(WaitForArrival(client.s, true));

    ASSERT_TRUE(runUntil([&] { return client.times(ws::FD_READ) == 1; }));
    if (!kSystemSockets) {
        EXPECT_EQ(client.target.got.size(), before + 1);
        EXPECT_EQ(ws::WSAGETSELECTEVENT(client.target.got.back().lParam), unsigned(ws::FD_READ | ws::FD_CLOSE))
            << "one message for both conditions";
    }
    EXPECT_EQ(client.receive(4), "last");
    ASSERT_TRUE(runUntil([&] { return client.times(ws::FD_READ) == 2; })) << "bytes left after the close";
    EXPECT_EQ(client.receive(100), " words");
    ASSERT_TRUE(runUntil([&] { return client.times(ws::FD_CLOSE) == 1; }));
    EXPECT_EQ(client.errorOf(ws::FD_CLOSE), 0u) << "an orderly close";
    EXPECT_EQ(ws::recv(client.s, nullptr, 0, 0), 0);
    runFor(100ms);
    EXPECT_EQ(client.times(ws::FD_READ), 2) << "the end of the stream is not a read";
    EXPECT_EQ(client.times(ws::FD_CLOSE), 1);
}

TEST_F(SocketNotifyTest, APeerThatAnswersAndClosesBeforeWeLookStillGivesConnectFirst)
{
    Peer peer;
    Client client;
    client.connectTo(peer.port);
    ASSERT_TRUE(peer.acceptOne());
    peer.sendText("bye");
    ws::shutdown(peer.conn, 2);
    ASSERT_TRUE(WaitForArrival(client.s, true));

    ASSERT_TRUE(runUntil([&] { return client.times(ws::FD_READ) == 1; }));
    EXPECT_TRUE(ws::WSAGETSELECTEVENT(client.target.got[0].lParam) & ws::FD_CONNECT);
    EXPECT_EQ(ws::WSAGETSELECTERROR(client.target.got[0].lParam), 0u);
    EXPECT_EQ(client.receive(10), "bye");
    ASSERT_TRUE(runUntil([&] { return client.times(ws::FD_CLOSE) == 1; }));
    EXPECT_EQ(client.errorOf(ws::FD_CLOSE), 0u);
    EXPECT_EQ(client.times(ws::FD_READ), 1);
}

TEST_F(SocketNotifyTest, AcceptIsReportedAgainAfterEachAcceptWhileConnectionsWait)
{
    RecordingTarget server;
    const ws::SOCKET listener = ws::socket(AF_INET, SOCK_STREAM, 0);
    const auto any = loopback(0);
    ASSERT_EQ(ws::bind(listener, reinterpret_cast<const sockaddr*>(&any), sizeof any), 0);
    ASSERT_EQ(ws::WSAAsyncSelect(listener, server.hwnd, WM_SOCKET_EVENT, kAll), 0);
    ASSERT_EQ(ws::listen(listener, 5), 0);

    Client a;
    Client b;
    a.connectTo(portOf(listener));
    b.connectTo(portOf(listener));
    auto accepts = [&] {
        int n = 0;
        for (const auto& r : server.got)
            n += (r.wParam == static_cast<platform::WPARAM>(listener) && (ws::WSAGETSELECTEVENT(r.lParam) & ws::FD_ACCEPT)) ? 1 : 0;
        return n;
    };
    ASSERT_TRUE(runUntil([&] { return accepts() == 1 && a.times(ws::FD_CONNECT) && b.times(ws::FD_CONNECT); }));
    runFor(50ms);
    EXPECT_EQ(accepts(), 1);

    const ws::SOCKET first = ws::accept(listener, nullptr, nullptr);
    ASSERT_NE(first, ws::INVALID_SOCKET);
    ASSERT_TRUE(runUntil([&] { return accepts() == 2; })) << "another connection still waits";
    const ws::SOCKET second = ws::accept(listener, nullptr, nullptr);
    ASSERT_NE(second, ws::INVALID_SOCKET);
    runFor(50ms);
    EXPECT_EQ(accepts(), 2);
    EXPECT_EQ(ws::accept(listener, nullptr, nullptr), ws::INVALID_SOCKET);
    EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEWOULDBLOCK);

    // Accepted sockets start with the listener's registration: they report as writable.
    EXPECT_TRUE(runUntil([&] {
        int n = 0;
        for (const auto& r : server.got)
            n += (r.wParam == static_cast<platform::WPARAM>(first) || r.wParam == static_cast<platform::WPARAM>(second)) ? 1 : 0;
        return n == 2;
    }));
    ws::closesocket(first);
    ws::closesocket(second);
    ws::closesocket(listener);
}

TEST_F(SocketNotifyTest, PausingStopsNotificationsAndResumingReportsWhatHolds)
{
    Peer peer;
    Client client;
    connectPair(client, peer);
    const std::size_t before = client.target.got.size();
    ASSERT_EQ(ws::WSAAsyncSelect(client.s, client.target.hwnd, 0, 0), 0);
    peer.sendText("while paused");
    ASSERT_TRUE(WaitForArrival(client.s, false));
    runFor(100ms);
    EXPECT_EQ(client.target.got.size(), before);

    ASSERT_EQ(ws::WSAAsyncSelect(client.s, client.target.hwnd, WM_SOCKET_EVENT, kAll), 0);
    ASSERT_TRUE(runUntil([&] { return client.times(ws::FD_READ) == 1; }));
    EXPECT_EQ(client.receive(100), "while paused");
}

// Both reads are queued before either is handled; the first handler closes the other socket and
// opens a new one. The closed socket's queued read never arrives, and the new socket (on Linux it
// gets the same descriptor number) hears nothing of it.
TEST_F(SocketNotifyTest, ClosingTakesBackQueuedNotificationsSoAReusedNumberGetsNoneOfThem)
{
    Peer peer;
    Client a;
    connectPair(a, peer);
    Peer peer2;
    Client b;
    connectPair(b, peer2);
    peer.sendText("for a");
    peer2.sendText("for b");
    ASSERT_TRUE(WaitForArrival(a.s, false));
    ASSERT_TRUE(WaitForArrival(b.s, false));

    RecordingTarget fresh;
    ws::SOCKET reused = ws::INVALID_SOCKET;
    bool handled = false;
    auto handler = [&](Client& other) {
        return [&](unsigned, platform::WPARAM, platform::LPARAM) {
            if (handled)
                return;
            handled = true;
            const ws::SOCKET old = other.s;
            ws::closesocket(other.s);
            other.s = ws::INVALID_SOCKET;
            reused = ws::socket(AF_INET, SOCK_STREAM, 0);
            if (!kSystemSockets) {
                EXPECT_EQ(reused, old);
            }
            EXPECT_EQ(ws::WSAAsyncSelect(reused, fresh.hwnd, WM_SOCKET_EVENT, kAll), 0);
        };
    };
    a.target.onMessage = handler(b);
    b.target.onMessage = handler(a);
    ASSERT_TRUE(runUntil([&] { return handled; }));
    runFor(100ms);
    EXPECT_TRUE(fresh.got.empty()) << "a never-connected socket has nothing to report";
    EXPECT_EQ(a.times(ws::FD_READ) + b.times(ws::FD_READ), 1);
    ws::closesocket(reused);
}

}  // namespace
}  // namespace quenlo::test
