// THttpCli over TLS: the private CUPS server serving its own self-signed certificate, tinyproxy's
// CONNECT tunnel, SOCKS proxies carrying a session at the socket level, and a server that breaks
// off a body with an alert (servers that answer a ClientHello badly: http_tls_handshake_test.cpp).
#include "net/HttpProt.h"
#include "net/TlsTrust.h"
#include "net/trust_store_fixture.h"
#include "support/CupsLab.h"
#include "support/PrivateFiles.h"
#include "support/RunUntil.h"
#include "support/SocksServers.h"
#include "support/Tinyproxy.h"
#include "support/TlsOverSocket.h"

#include <gtest/gtest.h>

#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace quenlo::test {
namespace {

using namespace std::chrono_literals;

using TlsTest = TrustStoreTest;

TEST_F(TlsTest, CupsServerIsTrustedOnFirstUseAndRefusedOnceItsCertificateChanges)
{
    QUENLO_REQUIRE_CUPS_LAB(lab);
    const std::string printer = lab.AddUniquePrinter("tls");
    const std::string key = "127.0.0.1:" + std::to_string(lab.Port());
    const TTrustStore store(store_);

    THttpCli http;
    http.SetEncryption(heRequired);
    ASSERT_EQ(Get(http, lab.PrinterUrl(printer)), "");
    EXPECT_EQ(http.ReplyStatus(), 200);
    EXPECT_TRUE(http.Encrypted());
    EXPECT_NE(body_.find(printer), std::string::npos);
    const std::optional<std::string> kept = store.Find(key);
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->size(), 95u);  // 32 bytes as AB:CD:..
    // What a monitor is told of it: kept, and valid beyond now (the server made it for years).
    const std::optional<TServerCertificate> shown = LastServerCertificate(key);
    ASSERT_TRUE(shown);
    EXPECT_TRUE(shown->kept);
    EXPECT_GT(shown->expires, std::time(nullptr) + 86400);
    EXPECT_LT(shown->expires, std::time(nullptr) + 200LL * 365 * 86400);

    // The same certificate again, and an ipps:// URL naming the same server.
    EXPECT_EQ(Get(http, "ipps://" + key + "/printers/" + printer), "");
    EXPECT_TRUE(http.Encrypted());

    // Another certificate than the kept one: refused, with both fingerprints and the way out.
    const std::string other(kept->rbegin(), kept->rend());
    ASSERT_TRUE(store.Keep(key, other));
    const std::string changed = Get(http, lab.PrinterUrl(printer));
    EXPECT_EQ(code_, HttpError::CertificateRefused);
    EXPECT_NE(changed.find(other), std::string::npos) << changed;
    EXPECT_NE(changed.find(*kept), std::string::npos) << changed;
    EXPECT_NE(changed.find("quenlo-cli trust " + key), std::string::npos) << changed;
    EXPECT_EQ(store.Find(key), other);  // never silently replaced
    EXPECT_FALSE(LastServerCertificate(key)->kept);

    // Forgotten, and strict: not kept again.
    ASSERT_TRUE(store.Forget(key));
    http.SetStrictTrust(true);
    const std::string strict = Get(http, lab.PrinterUrl(printer));
    EXPECT_NE(strict.find("not trusted yet"), std::string::npos) << strict;
    EXPECT_FALSE(store.Find(key));

    // Never: plain, as always.
    http.SetEncryption(heNever);
    EXPECT_EQ(Get(http, lab.PrinterUrl(printer)), "");
    EXPECT_FALSE(http.Encrypted());
}

// The system's certificates are read by the first certificate that is neither kept nor refused
// by the kept one, never for a plain request nor for a server already known.
TEST_F(TlsTest, SystemCertificatesAreReadOnlyForACertificateNotKept)
{
    if (platform::TlsSession::SystemTrustRead())
        GTEST_SKIP() << "an earlier test of this process read them (ctest runs each test alone)";
    QUENLO_REQUIRE_CUPS_LAB(lab);
    const std::string printer = lab.AddUniquePrinter("trustread");
    const std::string key = "127.0.0.1:" + std::to_string(lab.Port());

    THttpCli http;
    ASSERT_EQ(Get(http, lab.PrinterUrl(printer)), "");
    EXPECT_FALSE(http.Encrypted());
    EXPECT_FALSE(platform::TlsSession::SystemTrustRead());

    // The server's certificate, taken without judging it, kept as the user would.
    TWSocket sock;
    sock.SetAddr("127.0.0.1");
    sock.SetPort(std::to_string(lab.Port()));
    TlsOverSocket session(sock, "127.0.0.1", "GET / HTTP/1.0\r\nHost: " + key + "\r\n\r\n");
    sock.Connect();
    ASSERT_TRUE(runUntil([&] { return session.Over(); }, 15s));
    ASSERT_TRUE(session.tls);
    const std::string fingerprint = session.tls->PeerFingerprint();
    sock.Close();
    ASSERT_FALSE(fingerprint.empty()) << session.error;
    ASSERT_TRUE(TTrustStore(store_).Keep(key, fingerprint));

    http.SetEncryption(heRequired);
    ASSERT_EQ(Get(http, lab.PrinterUrl(printer)), "");
    EXPECT_TRUE(http.Encrypted());
    EXPECT_FALSE(platform::TlsSession::SystemTrustRead());

    ASSERT_TRUE(TTrustStore(store_).Forget(key));
    ASSERT_EQ(Get(http, lab.PrinterUrl(printer)), "");
    EXPECT_TRUE(platform::TlsSession::SystemTrustRead());
    EXPECT_EQ(TTrustStore(store_).Find(key), fingerprint);
}

TEST_F(TlsTest, ProxyTunnelCarriesTlsAndARefusedTunnelSaysSo)
{
    QUENLO_REQUIRE_CUPS_LAB(lab);
    QUENLO_REQUIRE_TINYPROXY(proxy);
    const std::string printer = lab.AddUniquePrinter("tunnel");

    THttpCli http;
    http.SetEncryption(heRequired);
    http.SetProxy("127.0.0.1:" + std::to_string(proxy.Port()));
    http.SetProxyUsername(proxy.User());
    http.SetProxyPassword(proxy.Password());
    ASSERT_EQ(Get(http, lab.PrinterUrl(printer)), "") << proxy.Log();
    EXPECT_TRUE(http.Encrypted());
    EXPECT_NE(body_.find(printer), std::string::npos);
    EXPECT_NE(proxy.Log().find("CONNECT"), std::string::npos);

    std::string why;
    auto refusing = Tinyproxy::TryStart(why, "ConnectPort 0\n");
    ASSERT_TRUE(refusing) << why;
    http.SetProxy("127.0.0.1:" + std::to_string(refusing->Port()));
    const std::string refused = Get(http, lab.PrinterUrl(printer));
    EXPECT_EQ(code_, HttpError::TlsFailed);
    EXPECT_NE(refused.find("proxy refused to open a tunnel"), std::string::npos) << refused;
}

TEST_F(TlsTest, SocksProxiesCarryTlsToTheCupsServerAtTheSocketLevel)
{
    QUENLO_REQUIRE_CUPS_LAB(lab);
    QUENLO_REQUIRE_SOCKS(dante, SocksDaemon::Dante({"none"}));
    QUENLO_REQUIRE_SOCKS(microsocks, SocksDaemon::Microsocks("quenlo", "s3cret"));
    const std::string printer = lab.AddUniquePrinter("socks");
    const std::string key = "127.0.0.1:" + std::to_string(lab.Port());

    // The certificate the server shows on a direct connection, for comparison.
    THttpCli http;
    http.SetEncryption(heRequired);
    ASSERT_EQ(Get(http, lab.PrinterUrl(printer)), "");
    const std::optional<std::string> direct = TTrustStore(store_).Find(key);
    ASSERT_TRUE(direct);

    struct Case {
        SocksDaemon* proxy;
        const char* level;
    };
    for (const Case& c : {Case{&dante, "4"}, Case{&dante, "5"}, Case{&microsocks, "5"}}) {
        SCOPED_TRACE(std::to_string(c.proxy->Port()) + " level " + c.level);
        TWSocket sock;
        sock.SetAddr("127.0.0.1");
        sock.SetPort(std::to_string(lab.Port()));
        sock.SetSocksServer("127.0.0.1");
        sock.SetSocksPort(std::to_string(c.proxy->Port()));
        sock.SetSocksLevel(c.level);
        sock.SetSocksUsercode("quenlo");
        if (c.proxy == &microsocks) {
            sock.SetSocksAuthentication(socksAuthenticateUsercode);
            sock.SetSocksPassword("s3cret");
        }
        TlsOverSocket session(sock, "127.0.0.1", "GET /printers/" + printer + " HTTP/1.0\r\nHost: " + key + "\r\n\r\n");
        sock.Connect();
        ASSERT_TRUE(runUntil([&] { return session.Over(); }, 15s)) << c.proxy->Log();
        EXPECT_EQ(session.error, "") << c.proxy->Log();
        EXPECT_EQ(session.answer.rfind("HTTP/1.0 200", 0), 0u) << session.answer.substr(0, 200);
        EXPECT_NE(session.answer.find(printer), std::string::npos);
        ASSERT_TRUE(session.tls);
        EXPECT_EQ(session.tls->PeerFingerprint(), *direct);
        sock.Close();
    }
}

// A TLS server of the test's own (a self-signed certificate made for the run, for the address it
// is reached at): it answers the request with `head`, then ends as told: a fatal alert (keeping the
// connection open until the client closes it or 10 s pass), a bare TCP close as an attacker's FIN
// would, close_notify and the close, or close_notify and a wait for the client's end (at most 10 s).
class EndingServer {
public:
    enum class End { Alert, BareClose, CloseNotify, CloseNotifyAndWait };
    explicit EndingServer(End end, std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" +
                                                      std::string(3000, 'x'))
        : end_(end), head_(std::move(head))
    {
        MakeCredentials();
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(listener_, 4) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            throw std::runtime_error("TLS server: no listening socket");
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~EndingServer()
    {
        Wait();
        ::close(listener_);
        gnutls_certificate_free_credentials(credentials_);
        gnutls_x509_crt_deinit(certificate_);
        gnutls_x509_privkey_deinit(key_);
    }
    std::uint16_t Port() const { return port_; }
    void Wait()
    {
        if (thread_.joinable())
            thread_.join();
    }
    bool AlertSent() const { return alertSent_; }
    // After CloseNotifyAndWait: false when the server gave up waiting for the client's end.
    bool ClientEnded() const { return clientEnded_; }

private:
    void MakeCredentials()
    {
        gnutls_x509_privkey_init(&key_);
        gnutls_x509_privkey_generate(key_, GNUTLS_PK_ECDSA, GNUTLS_CURVE_TO_BITS(GNUTLS_ECC_CURVE_SECP256R1), 0);
        gnutls_x509_crt_init(&certificate_);
        gnutls_x509_crt_set_version(certificate_, 3);
        const unsigned char serial[] = {1};
        gnutls_x509_crt_set_serial(certificate_, serial, sizeof serial);
        const std::time_t now = std::time(nullptr);
        gnutls_x509_crt_set_activation_time(certificate_, now - 3600);
        gnutls_x509_crt_set_expiration_time(certificate_, now + 86400);
        gnutls_x509_crt_set_dn_by_oid(certificate_, GNUTLS_OID_X520_COMMON_NAME, 0, "alert.test", 10);
        const unsigned char loopback[] = {127, 0, 0, 1};
        gnutls_x509_crt_set_subject_alt_name(certificate_, GNUTLS_SAN_IPADDRESS, loopback, sizeof loopback,
                                             GNUTLS_FSAN_SET);
        gnutls_x509_crt_set_key(certificate_, key_);
        gnutls_x509_crt_sign2(certificate_, certificate_, key_, GNUTLS_DIG_SHA256, 0);
        gnutls_certificate_allocate_credentials(&credentials_);
        gnutls_certificate_set_x509_key(credentials_, &certificate_, 1, key_);
    }

    void Serve()
    {
        pollfd p{listener_, POLLIN, 0};
        if (::poll(&p, 1, 10000) != 1)
            return;
        const int fd = ::accept(listener_, nullptr, nullptr);
        if (fd < 0)
            return;
        gnutls_session_t session = nullptr;
        gnutls_init(&session, GNUTLS_SERVER);
        gnutls_set_default_priority(session);
        gnutls_credentials_set(session, GNUTLS_CRD_CERTIFICATE, credentials_);
        gnutls_transport_set_int(session, fd);
        gnutls_handshake_set_timeout(session, 10000);
        gnutls_record_set_timeout(session, 10000);
        if (gnutls_handshake(session) == GNUTLS_E_SUCCESS) {
            std::string request;
            char buffer[1024];
            while (request.find("\r\n\r\n") == std::string::npos) {
                const ssize_t n = gnutls_record_recv(session, buffer, sizeof buffer);
                if (n <= 0)
                    break;
                request.append(buffer, static_cast<std::size_t>(n));
            }
            const bool sent = gnutls_record_send(session, head_.data(), head_.size()) == static_cast<ssize_t>(head_.size());
            if (sent && end_ == End::Alert) {
                alertSent_ = gnutls_alert_send(session, GNUTLS_AL_FATAL, GNUTLS_A_INTERNAL_ERROR) == GNUTLS_E_SUCCESS;
                while (gnutls_record_recv(session, buffer, sizeof buffer) > 0) {
                }
            } else if (sent && end_ == End::CloseNotify) {
                gnutls_bye(session, GNUTLS_SHUT_WR);
            } else if (sent && end_ == End::CloseNotifyAndWait) {
                clientEnded_ = gnutls_bye(session, GNUTLS_SHUT_RDWR) != GNUTLS_E_TIMEDOUT;
            }
        }
        gnutls_deinit(session);
        ::close(fd);
    }

    gnutls_x509_privkey_t key_ = nullptr;
    gnutls_x509_crt_t certificate_ = nullptr;
    gnutls_certificate_credentials_t credentials_ = nullptr;
    End end_;
    std::string head_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> alertSent_{false};
    std::atomic<bool> clientEnded_{false};
    std::thread thread_;
};

TEST_F(TlsTest, ASelfSignedCertificateOfTheRightNameIsKeptAndAnAlertMidBodyBreaksTheConnection)
{
    EndingServer server(EndingServer::End::Alert);
    THttpCli http;
    http.SetEncryption(heRequired);
    http.SetNoProgressTimeout(20s);  // far beyond the alert: an end by the limit would be a hang
    const std::string failure = Get(http, "https://127.0.0.1:" + std::to_string(server.Port()) + "/");
    EXPECT_TRUE(server.AlertSent());
    EXPECT_EQ(code_, HttpError::TlsFailed) << failure;
    EXPECT_NE(failure.find("TLS connection to 127.0.0.1:" + std::to_string(server.Port()) + " broken"),
              std::string::npos)
        << failure;
    EXPECT_NE(failure.find("Internal error"), std::string::npos) << failure;
    EXPECT_EQ(http.ReplyStatus(), 200);
    EXPECT_LT(body_.size(), 100000u);  // the head of the body, never taken for all of it
    // Its name matches, but no authority vouches for it: it is trusted as kept, not by the system.
    EXPECT_TRUE(TTrustStore(store_).Find("127.0.0.1:" + std::to_string(server.Port())));
}

// Over TLS a close is the server's end only when close_notify comes first: a body cut short of
// its length, or one that only the close frames, ended by a bare FIN, is a failure.
TEST_F(TlsTest, ABodyCutWithoutCloseNotifyIsAFailure)
{
    const std::string byTheClose = "HTTP/1.0 200 OK\r\n\r\nthe whole page";
    struct Case {
        EndingServer::End end;
        std::string head;
        std::string failure;
    };
    for (const Case& c : {Case{EndingServer::End::BareClose, {}, "the connection closed 97000 bytes before the end of the answer"},
                          Case{EndingServer::End::BareClose, byTheClose,
                               "the connection closed without TLS close_notify: the end of the answer is not certain"},
                          Case{EndingServer::End::CloseNotify, byTheClose, ""},
                          Case{EndingServer::End::CloseNotifyAndWait, byTheClose, ""}}) {
        SCOPED_TRACE(c.failure);
        auto server = c.head.empty() ? std::make_unique<EndingServer>(c.end) : std::make_unique<EndingServer>(c.end, c.head);
        THttpCli http;
        http.SetEncryption(heRequired);
        http.SetNoProgressTimeout(30s);  // beyond the server's own wait
        EXPECT_EQ(Get(http, "https://127.0.0.1:" + std::to_string(server->Port()) + "/"), c.failure);
        EXPECT_EQ(http.ReplyStatus(), 200);
        if (c.failure.empty())
            EXPECT_EQ(body_, "the whole page");
        else
            EXPECT_EQ(code_, HttpError::CutShort);
        // close_notify ends the answer: a server that then waits for the client is not left to
        // give up first.
        server->Wait();
        if (c.end == EndingServer::End::CloseNotifyAndWait) {
            EXPECT_TRUE(server->ClientEnded());
        }
    }
}

}  // namespace
}  // namespace quenlo::test
