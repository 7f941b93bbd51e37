// Both ends of a connection on 127.0.0.1 for the socket tests, in the platform's socket calls: the
// far end (Peer) and our end registered with a recording target (Client).
#pragma once

#include "loop_fixture.h"
#include "support/ScriptedPeer.h"

#include <chrono>
#include <string>
#include <thread>

namespace quenlo::test {

namespace ws = platform::ws;
using namespace std::chrono_literals;

constexpr unsigned WM_SOCKET_EVENT = platform::WM_USER + 1;
constexpr long kAll = ws::FD_READ | ws::FD_WRITE | ws::FD_ACCEPT | ws::FD_CONNECT | ws::FD_CLOSE;
// Socket options by their Windows numbers, which the Linux layer translates.
constexpr int kSolSocket = 0xFFFF;
constexpr int kSoLinger = 0x0080;
constexpr int kSoSndBuf = 0x1001;

inline sockaddr_in loopback(std::uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

inline std::uint16_t portOf(ws::SOCKET s)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ws::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

// The far end: a listener on a free port and the connection it accepted, driven from the test's
// own thread. Non-blocking (registered for nothing), so that no call of the peer can hang a test.
class Peer {
public:
    Peer()
    {
        listener = BoundLoopback(false, port);
        EXPECT_EQ(ws::listen(listener, 8), 0);
        EXPECT_EQ(ws::WSAAsyncSelect(listener, quiet, 0, 0), 0);
    }
    ~Peer()
    {
        closeConnection();
        ws::closesocket(listener);
        platform::DestroyMessageTarget(quiet);
    }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    bool acceptOne()
    {
        closeConnection();
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        do {
            conn = ws::accept(listener, nullptr, nullptr);
            if (conn != ws::INVALID_SOCKET)
                return true;
            std::this_thread::sleep_for(5ms);
        } while (std::chrono::steady_clock::now() < deadline);
        return false;
    }
    void sendText(const std::string& s) const { ASSERT_TRUE(Link(conn).Write(s)); }
    // Reads whatever has arrived; returns how many bytes.
    long drain() const
    {
        Link link(conn);
        long got = 0;
        for (std::string piece; !(piece = link.ReadSome(1 << 16, 0ms)).empty();)
            got += static_cast<long>(piece.size());
        return got;
    }
    void resetConnection()
    {
        Link(conn).Reset();
        conn = ws::INVALID_SOCKET;
    }
    void closeConnection()
    {
        Link(conn).Close();
        conn = ws::INVALID_SOCKET;
    }

    platform::HWND quiet = platform::CreateMessageTarget({});
    ws::SOCKET listener = ws::INVALID_SOCKET;
    ws::SOCKET conn = ws::INVALID_SOCKET;
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

// Connects a client to the peer and runs until the connect and the first write notification have
// come (together on Linux, one after the other from the system).
inline void connectPair(Client& c, Peer& p)
{
    const int rc = c.connectTo(p.port);
    ASSERT_TRUE(rc == 0 || ws::WSAGetLastError() == ws::WSAEWOULDBLOCK) << ws::WSAGetLastError();
    ASSERT_TRUE(p.acceptOne());
    ASSERT_TRUE(runUntil([&] { return c.times(ws::FD_CONNECT) == 1 && c.times(ws::FD_WRITE) == 1; }));
}

}  // namespace quenlo::test
