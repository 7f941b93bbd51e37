// THttpCli over the system's SChannel under wine (which builds it on GnuTLS): the private CUPS
// server that scripts/wine-test.sh starts (QUENLO_WINE_CUPS_PORT, its printer
// QUENLO_WINE_CUPS_PRINTER and the SHA-256 of its certificate as the Linux build reads it,
// QUENLO_WINE_CUPS_FINGERPRINT), with either credential structure, and servers of the test's own
// that answer a ClientHello badly.
#include "net/HttpProt.h"
#include "net/TlsTrust.h"
#include "platform/Winsock.h"
#include "platform/win/Win32.h"
#include "win/deep_folders.h"
#include "win/wine_peers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>

namespace quenlo {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
namespace ws = platform::ws;

// A trust store of the test's own, never the user's.
class WinTls : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = fs::temp_directory_path() / ("quenlo-tls-" + std::to_string(::GetCurrentProcessId()));
        store_ = (dir_ / "trusted-servers").string();
    }
    void TearDown() override { wintest::RemoveTree(dir_); }

    std::string Get(THttpCli& http, const std::string& url)
    {
        http.SetURL(url);
        http.SetTrustStorePath(store_);
        std::ostringstream reply;
        http.SetReplyStream(&reply);
        body_.clear();
        try {
            http.Get();
        } catch (const EHttpException& e) {
            code_ = e.ErrorCode();
            return e.Message();
        }
        body_ = reply.str();
        return {};
    }

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

    fs::path dir_;
    std::string store_;
    std::string body_;
    std::uint16_t code_ = 0;
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

// Answers one connection with `reply` (and then closes), or holds it without a word; the layer's
// sockets never block, so the server polls a few milliseconds at a time.
class OneReplyServer {
public:
    OneReplyServer(std::string reply, bool hold) : reply_(std::move(reply)), hold_(hold)
    {
        listener_ = ws::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ws::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ws::listen(listener_, 2);
        socklen_t len = sizeof a;
        ws::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~OneReplyServer()
    {
        stop_ = true;
        thread_.join();
        ws::closesocket(listener_);
    }
    std::string Url() const { return "https://127.0.0.1:" + std::to_string(port_) + "/"; }

private:
    void Serve()
    {
        ws::SOCKET s = ws::INVALID_SOCKET;
        while (!stop_ && (s = ws::accept(listener_, nullptr, nullptr)) == ws::INVALID_SOCKET)
            std::this_thread::sleep_for(5ms);
        if (s == ws::INVALID_SOCKET)
            return;
        char hello[4096];
        for (int i = 0; i < 200 && !stop_ && ws::recv(s, hello, sizeof hello, 0) <= 0; ++i)
            std::this_thread::sleep_for(5ms);  // the ClientHello, at most a second
        if (!hold_)
            ws::send(s, reply_.data(), static_cast<int>(reply_.size()), 0);
        while (hold_ && !stop_)
            std::this_thread::sleep_for(5ms);
        ws::closesocket(s);
    }

    std::string reply_;
    bool hold_;
    ws::SOCKET listener_;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST_F(WinTls, ServersThatAnswerTheHandshakeBadlyEndTheRequestWithTheirReason)
{
    THttpCli http;
    http.SetEncryption(heRequired);
    http.SetNoProgressTimeout(1500ms);
    {
        OneReplyServer server("HTTP/1.0 400 Bad Request\r\nContent-Length: 2\r\n\r\nno", false);
        const std::string failure = Get(http, server.Url());
        EXPECT_NE(failure.find("does not speak TLS"), std::string::npos) << failure;
        EXPECT_EQ(code_, HttpError::TlsFailed);
    }
    {
        OneReplyServer server(std::string("\x16\x03\x03\x00\x08garbage!garbage!", 21), false);
        const std::string failure = Get(http, server.Url());
        EXPECT_NE(failure.find("TLS handshake with 127.0.0.1:"), std::string::npos) << failure;
        EXPECT_EQ(code_, HttpError::TlsFailed);
    }
    {
        OneReplyServer server("", true);
        const std::string failure = Get(http, server.Url());
        EXPECT_NE(failure.find("stalled"), std::string::npos) << failure;
    }
}

}  // namespace
}  // namespace quenlo
