// TWSocket through real SOCKS servers under wine: dante (levels 4 and 5) and microsocks (level 5,
// with and without a user name and password), started on Linux by scripts/wine-test.sh, which
// passes their ports in QUENLO_WINE_DANTE_PORT, QUENLO_WINE_MICROSOCKS_PORT and
// QUENLO_WINE_MICROSOCKS_AUTH_PORT (user "quenlo", password "s3cret"). Without them the tests are
// skipped, and fail under CI=true. The target is an echo server of the test's own on 127.0.0.1, or
// the private CUPS server over TLS (QUENLO_WINE_CUPS_PORT, QUENLO_WINE_CUPS_FINGERPRINT).
#include "net/WSocket.h"
#include "platform/EventLoop.h"
#include "platform/Winsock.h"
#include "support/TlsOverSocket.h"
#include "win/wine_peers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace quenlo {
namespace {

using namespace std::chrono_literals;

// Sends back what it receives, on one connection at a time, until destroyed.
class EchoServer {
public:
    EchoServer() {
        listener_ = platform::ws::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        platform::ws::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        platform::ws::listen(listener_, 5);
        socklen_t len = sizeof a;
        platform::ws::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~EchoServer() {
        stop_ = true;
        thread_.join();
        platform::ws::closesocket(listener_);
    }
    std::uint16_t Port() const { return port_; }

private:
    // The layer's sockets never block: the server polls, a few milliseconds at a time.
    static bool WouldBlock() { return platform::ws::WSAGetLastError() == 10035; }
    void Serve() {
        while (!stop_) {
            platform::ws::SOCKET s = platform::ws::accept(listener_, nullptr, nullptr);
            if (s == platform::ws::INVALID_SOCKET) {
                if (!WouldBlock())
                    return;
                std::this_thread::sleep_for(5ms);
                continue;
            }
            char buf[512];
            while (!stop_) {
                const int n = platform::ws::recv(s, buf, sizeof buf, 0);
                if (n > 0) {
                    for (int sent = 0; sent < n && !stop_;) {
                        const int m = platform::ws::send(s, buf + sent, n - sent, 0);
                        if (m > 0)
                            sent += m;
                        else if (WouldBlock())
                            std::this_thread::sleep_for(5ms);
                        else
                            break;
                    }
                } else if (n < 0 && WouldBlock()) {
                    std::this_thread::sleep_for(5ms);
                } else {
                    break;  // closed by the client, or an error
                }
            }
            platform::ws::closesocket(s);
        }
    }
    platform::ws::SOCKET listener_;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

using wintest::PumpUntil;

// A socket aimed at the echo server through the proxy, recording its events as text.
struct SocksClient {
    TWSocket sock;
    std::vector<std::string> events;
    std::string received;
    bool closed = false;

    SocksClient(int proxyPort, std::uint16_t target, const std::string& level) {
        sock.SetAddr("127.0.0.1");
        sock.SetPort(std::to_string(target));
        if (proxyPort != 0) {  // 0: straight to the target
            sock.SetSocksServer("127.0.0.1");
            sock.SetSocksPort(std::to_string(proxyPort));
            sock.SetSocksLevel(level);
        }
        sock.OnSocksConnected = [this](TCustomWSocket&, std::uint16_t e) { Add("proxy " + std::to_string(e)); };
        sock.OnSocksAuthState = [this](TCustomWSocket&, TSocksAuthState s) { Add(std::string("auth ") + to_string(s)); };
        sock.OnSocksError = [this](TCustomWSocket&, int e, const std::string& m) {
            Add("error " + std::to_string(e) + " " + m);
        };
        sock.OnSessionConnected = [this](TCustomWSocket&, std::uint16_t e) { Add("connected " + std::to_string(e)); };
        sock.OnSessionClosed = [this](TCustomWSocket&, std::uint16_t e) {
            Add("closed " + std::to_string(e));
            closed = true;
        };
        sock.OnDataAvailable = [this](TCustomWSocket& s, std::uint16_t) {
            char buf[7];  // small: the rest must be offered again by the next notification
            const int n = s.Receive(buf, sizeof buf);
            if (n > 0)
                received.append(buf, static_cast<std::size_t>(n));
        };
    }
    void Add(const std::string& e) { events.push_back(e); }
    bool Has(const std::string& e) const { return std::find(events.begin(), events.end(), e) != events.end(); }
    std::string Events() const {
        std::string all;
        for (const auto& e : events)
            all += e + "; ";
        return all;
    }
    bool ConnectAndWait() {
        sock.Connect();
        PumpUntil([&] { return Has("connected 0") || closed; });
        return Has("connected 0");
    }
    bool Echo(const std::string& text) {
        received.clear();
        sock.SendText(text);
        return PumpUntil([&] { return received.size() >= text.size() || closed; }) && received == text;
    }
};

TEST(WinSocks, DanteCarriesLevels4And5AndMicrosocksLevel5ToTheTarget) {
    QUENLO_REQUIRE_PORT(dante, "QUENLO_WINE_DANTE_PORT");
    QUENLO_REQUIRE_PORT(microsocks, "QUENLO_WINE_MICROSOCKS_PORT");
    EchoServer echo;
    struct Case {
        int proxy;
        const char* level;
    };
    for (const Case& c : {Case{0, "direct"}, Case{dante, "4"}, Case{dante, "5"}, Case{microsocks, "5"}}) {
        SCOPED_TRACE(std::to_string(c.proxy) + " level " + c.level);
        SocksClient client(c.proxy, echo.Port(), c.level);
        client.sock.SetSocksUsercode("quenlo");  // the user id of a level 4 request
        ASSERT_TRUE(client.ConnectAndWait()) << client.Events();
        EXPECT_EQ(client.events.front(), c.proxy ? "proxy 0" : "connected 0");
        EXPECT_TRUE(client.Echo("hello through the proxy, longer than one read\r\n"))
            << client.received << " / " << client.Events();
        client.sock.Close();
        EXPECT_EQ(client.events.back(), "closed 0");
    }
}

TEST(WinSocks, MicrosocksLetsTheRightPasswordThroughAndClosesOnAWrongOneWith20015) {
    QUENLO_REQUIRE_PORT(proxy, "QUENLO_WINE_MICROSOCKS_AUTH_PORT");
    EchoServer echo;
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
