// THttpCli over the system's SChannel under wine (which builds it on GnuTLS): the private CUPS
// server that scripts/wine-test.sh starts (QUENLO_WINE_CUPS_PORT, its printer
// QUENLO_WINE_CUPS_PRINTER and the SHA-256 of its certificate as the Linux build reads it,
// QUENLO_WINE_CUPS_FINGERPRINT), with either credential structure. Servers that answer a
// ClientHello badly: tests/net/http_tls_handshake_test.cpp, built for both systems.
#include "net/HttpProt.h"
#include "net/TlsTrust.h"
#include "platform/win/Win32.h"
#include "win/deep_folders.h"
#include "win/wine_peers.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>

namespace quenlo {
namespace {

namespace fs = std::filesystem;

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

}  // namespace
}  // namespace quenlo
