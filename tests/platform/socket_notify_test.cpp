// Socket notifications against real peers on 127.0.0.1.
#include "loop_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

namespace quenlo::test {
namespace {

using namespace std::chrono_literals;
namespace ws = platform::ws;

constexpr unsigned WM_SOCKET_EVENT = platform::WM_USER + 1;
constexpr long kAll = ws::FD_READ | ws::FD_WRITE | ws::FD_ACCEPT | ws::FD_CONNECT | ws::FD_CLOSE;

sockaddr_in loopback(std::uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

std::uint16_t portOf(int fd)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

// The far end, in plain POSIX calls: a listener on a free port and the connection it accepted.
class Peer {
public:
    Peer()
    {
        listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const auto a = loopback(0);
        EXPECT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(::listen(listener, 8), 0);
        port = portOf(listener);
    }
    ~Peer()
    {
        if (conn >= 0)
            ::close(conn);
        ::close(listener);
    }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    bool acceptOne()
    {
        pollfd p{listener, POLLIN, 0};
        if (::poll(&p, 1, 5000) != 1)
            return false;
        conn = ::accept(listener, nullptr, nullptr);
        return conn >= 0;
    }
    void sendText(const std::string& s) const { ASSERT_EQ(::send(conn, s.data(), s.size(), MSG_NOSIGNAL), static_cast<ssize_t>(s.size())); }
    void resetConnection()
    {
        const linger l{1, 0};
        ::setsockopt(conn, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        ::close(conn);
        conn = -1;
    }
    void closeConnection()
    {
        ::close(conn);
        conn = -1;
    }

    int listener = -1;
    int conn = -1;
    std::uint16_t port = 0;
};

// Our end: a ws socket registered with a recording target.
struct Client {
    RecordingTarget target;
    ws::SOCKET s = ws::socket(AF_INET, SOCK_STREAM, 0);

    Client() { EXPECT_EQ(ws::WSAAsyncSelect(s, target.hwnd, WM_SOCKET_EVENT, kAll), 0); }
    ~Client()
    {
        if (s != ws::INVALID_SOCKET)
            ws::closesocket(s);
    }
    int connectTo(std::uint16_t port) const
    {
        const auto a = loopback(port);
        return ws::connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    }
    // Bits of all socket events received so far, and how often each bit came.
    int times(long bit) const
    {
        int n = 0;
        for (const auto& r : target.got)
            n += (r.message == WM_SOCKET_EVENT && (ws::WSAGETSELECTEVENT(r.lParam) & bit)) ? 1 : 0;
        return n;
    }
    unsigned errorOf(long bit) const
    {
        for (const auto& r : target.got)
            if (r.message == WM_SOCKET_EVENT && (ws::WSAGETSELECTEVENT(r.lParam) & bit))
                return ws::WSAGETSELECTERROR(r.lParam);
        return 0xFFFF;
    }
    std::string receive(int max) const
    {
        std::string buf(static_cast<std::size_t>(max), '\0');
        const int n = ws::recv(s, buf.data(), max, 0);
        buf.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return buf;
    }
};

// Connects a client to the peer and runs until the connect notification has come.
void connectPair(Client& c, Peer& p)
{
    const int rc = c.connectTo(p.port);
    ASSERT_TRUE(rc == 0 || ws::WSAGetLastError() == ws::WSAEWOULDBLOCK) << ws::WSAGetLastError();
    ASSERT_TRUE(p.acceptOne());
    ASSERT_TRUE(runUntil([&] { return c.times(ws::FD_CONNECT) == 1; }));
}

bool waitReadable(int fd, short extra = 0)
{
    pollfd p{fd, static_cast<short>(POLLIN | extra), 0};
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < deadline) {
        p.revents = 0;
        if (::poll(&p, 1, 50) == 1 && (p.revents & (POLLIN | extra)) == (POLLIN | extra))
            return true;
    }
    return false;
}

using SocketNotifyTest = LoopTest;

TEST_F(SocketNotifyTest, ConnectGivesConnectAndOneWriteTogether)
{
    Peer peer;
    Client client;
    connectPair(client, peer);
    ASSERT_FALSE(client.target.got.empty());
    const auto first = client.target.got.front();
    EXPECT_EQ(first.wParam, static_cast<platform::WPARAM>(client.s));
    EXPECT_EQ(ws::WSAGETSELECTEVENT(first.lParam), unsigned(ws::FD_CONNECT | ws::FD_WRITE));
    EXPECT_EQ(ws::WSAGETSELECTERROR(first.lParam), 0u);

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

    // A receive that finds nothing still re-arms, and "would block" is 10035, also for a
    // zero-length receive (which the system itself would answer with 0).
    char c;
    EXPECT_EQ(ws::recv(client.s, &c, 1, 0), ws::SOCKET_ERROR);
    EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEWOULDBLOCK);
    EXPECT_EQ(ws::recv(client.s, &c, 0, 0), ws::SOCKET_ERROR);
    EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEWOULDBLOCK);
}

TEST_F(SocketNotifyTest, WriteIsReportedAgainOnlyAfterASendWasRefused)
{
    Peer peer;
    Client client;
    const int small = 4096;  // a small send buffer fills quickly
    ::setsockopt(client.s, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
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
    std::thread drain([&] {
        std::vector<char> buf(1 << 16);
        long got = 0;
        pollfd p{peer.conn, POLLIN, 0};
        while (got < sent && ::poll(&p, 1, 2000) == 1) {
            const ssize_t n = ::recv(peer.conn, buf.data(), buf.size(), 0);
            if (n <= 0)
                break;
            got += n;
        }
    });
    EXPECT_TRUE(runUntil([&] { return client.times(ws::FD_WRITE) == 2; }));
    drain.join();
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
    EXPECT_EQ(client.errorOf(ws::FD_CLOSE), unsigned(ws::WSAECONNRESET));
    runFor(100ms);
    EXPECT_EQ(client.times(ws::FD_CLOSE), 1);
}

TEST_F(SocketNotifyTest, SendThenCloseGivesReadAndCloseTogetherWithTheBytesKept)
{
    Peer peer;
    Client client;
    connectPair(client, peer);
    const std::size_t before = client.target.got.size();
    peer.sendText("last words");
    peer.closeConnection();
    ASSERT_TRUE(waitReadable(client.s, POLLRDHUP));

    ASSERT_TRUE(runUntil([&] { return client.times(ws::FD_CLOSE) == 1; }));
    ASSERT_EQ(client.target.got.size(), before + 1) << "one message for both conditions";
    const auto msg = client.target.got.back();
    EXPECT_EQ(ws::WSAGETSELECTEVENT(msg.lParam), unsigned(ws::FD_READ | ws::FD_CLOSE));
    EXPECT_EQ(ws::WSAGETSELECTERROR(msg.lParam), 0u) << "an orderly close";

    EXPECT_EQ(client.receive(4), "last");
    ASSERT_TRUE(runUntil([&] { return client.times(ws::FD_READ) == 2; })) << "bytes left after the close";
    EXPECT_EQ(client.receive(100), " words");
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
    ::shutdown(peer.conn, SHUT_RDWR);
    ASSERT_TRUE(waitReadable(client.s, POLLRDHUP));

    ASSERT_TRUE(runUntil([&] { return client.times(ws::FD_CLOSE) == 1; }));
    ASSERT_GE(client.target.got.size(), 2u);
    EXPECT_EQ(ws::WSAGETSELECTEVENT(client.target.got[0].lParam), unsigned(ws::FD_CONNECT | ws::FD_WRITE));
    EXPECT_EQ(ws::WSAGETSELECTERROR(client.target.got[0].lParam), 0u);
    EXPECT_EQ(client.times(ws::FD_READ), 1);
    EXPECT_EQ(client.errorOf(ws::FD_CLOSE), 0u);
    EXPECT_EQ(client.receive(10), "bye");
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
    ASSERT_TRUE(waitReadable(client.s));
    runFor(100ms);
    EXPECT_EQ(client.target.got.size(), before);

    ASSERT_EQ(ws::WSAAsyncSelect(client.s, client.target.hwnd, WM_SOCKET_EVENT, kAll), 0);
    ASSERT_TRUE(runUntil([&] { return client.times(ws::FD_READ) == 1; }));
    EXPECT_EQ(client.receive(100), "while paused");
}

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
    ASSERT_TRUE(waitReadable(a.s));
    ASSERT_TRUE(waitReadable(b.s));

    // Both reads are queued by the same wake-up; the first handler closes the other socket and
    // opens a new one, which gets the same descriptor number.
    RecordingTarget fresh;
    ws::SOCKET reused = ws::INVALID_SOCKET;
    bool handled = false;
    auto handler = [&](Client& self, Client& other) {
        return [&](unsigned, platform::WPARAM, platform::LPARAM) {
            if (handled)
                return;
            handled = true;
            const ws::SOCKET old = other.s;
            ws::closesocket(other.s);
            other.s = ws::INVALID_SOCKET;
            reused = ws::socket(AF_INET, SOCK_STREAM, 0);
            EXPECT_EQ(reused, old);
            EXPECT_EQ(ws::WSAAsyncSelect(reused, fresh.hwnd, WM_SOCKET_EVENT, kAll), 0);
            (void)self;
        };
    };
    a.target.onMessage = handler(a, b);
    b.target.onMessage = handler(b, a);
    ASSERT_TRUE(runUntil([&] { return handled; }));
    runFor(100ms);
    EXPECT_TRUE(fresh.got.empty()) << "a never-connected socket has nothing to report";
    EXPECT_EQ(a.times(ws::FD_READ) + b.times(ws::FD_READ), 1);
    ws::closesocket(reused);
}

TEST_F(SocketNotifyTest, ASocketClosedBehindOurBackLeavesNothingForTheNextOneWithItsNumber)
{
    Peer peer;
    auto stale = std::make_unique<Client>();
    connectPair(*stale, peer);
    const std::size_t before = stale->target.got.size();
    ::close(stale->s);  // not closesocket: the registration is left behind

    const ws::SOCKET next = ws::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(next, stale->s);
    stale->s = ws::INVALID_SOCKET;
    const auto a = loopback(peer.port);
    ws::connect(next, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    ASSERT_TRUE(peer.acceptOne());
    peer.sendText("for the new socket");
    runFor(100ms);
    EXPECT_EQ(stale->target.got.size(), before);
    char buf[64];
    EXPECT_GT(ws::recv(next, buf, sizeof buf, 0), 0);
    runFor(50ms);
    EXPECT_EQ(stale->target.got.size(), before);
    ws::closesocket(next);
}

TEST_F(SocketNotifyTest, NothingSpinsWhileSocketsWaitInEveryState)
{
    // A silent connection, one whose bytes nobody reads, one the peer closed, one the peer reset.
    Peer silentPeer, unreadPeer, closedPeer, resetPeer;
    Client silent, unread, closed, reset;
    connectPair(silent, silentPeer);
    connectPair(unread, unreadPeer);
    connectPair(closed, closedPeer);
    connectPair(reset, resetPeer);
    unreadPeer.sendText("nobody reads this");
    closedPeer.sendText("nor this");
    closedPeer.closeConnection();
    resetPeer.resetConnection();
    ASSERT_TRUE(runUntil([&] {
        return unread.times(ws::FD_READ) == 1 && closed.times(ws::FD_CLOSE) == 1 && reset.times(ws::FD_CLOSE) == 1;
    }));
    const auto messagesBefore = silent.target.got.size() + unread.target.got.size() + closed.target.got.size() +
                                reset.target.got.size();

    rusage before{}, after{};
    ::getrusage(RUSAGE_THREAD, &before);
    const auto start = std::chrono::steady_clock::now();
    platform::WaitAndProcess(2000ms);
    const auto waited = std::chrono::steady_clock::now() - start;
    ::getrusage(RUSAGE_THREAD, &after);
    auto micros = [](const timeval& t) { return std::int64_t{t.tv_sec} * 1000000 + t.tv_usec; };
    const std::int64_t cpuUs = micros(after.ru_utime) - micros(before.ru_utime) + micros(after.ru_stime) -
                               micros(before.ru_stime);
    RecordProperty("cpu_us_over_2s", static_cast<int>(cpuUs));
    std::printf("[ figure   ] CPU used while waiting 2 s on idle sockets: %.3f ms\n", cpuUs / 1000.0);

    EXPECT_GE(waited, 1900ms) << "nothing should have woken the wait";
    EXPECT_LT(cpuUs, 200000);
    EXPECT_EQ(silent.target.got.size() + unread.target.got.size() + closed.target.got.size() + reset.target.got.size(),
              messagesBefore);
}

}  // namespace
}  // namespace quenlo::test
