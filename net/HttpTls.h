// Inside the HTTP client: the layers of an encrypted connection (net/HttpTls.cpp), the proxy's
// CONNECT tunnel and TLS, and what the TLS part lends the rest (net/HttpProt.cpp).
// Not for users of the client: they include net/HttpProt.h.
#pragma once

#include "net/HttpFilter.h"
#include "net/HttpParser.h"

#include <chrono>
#include <memory>
#include <string>

namespace quenlo {

namespace platform {
class TlsSession;
}

// Servers that asked for TLS (a 426) are reached over TLS for the rest of the run.
void RememberTlsServer(const std::string& key);
bool TlsServerRemembered(const std::string& key);
// Servers seen answering a handshake in TLS during the run: credentials never go to them plain.
void RememberServerSpokeTls(const std::string& key);
// The failure text of a tunnel or handshake that brought nothing for `idle`.
std::string TlsStalledText(const std::string& server, bool tunnel, std::chrono::milliseconds idle);

// Opens a tunnel through an HTTP proxy to `authority` ("host:port"), then carries bytes as they are.
class TTunnelFilter final : public THttpFilter {
public:
    // `credentials`: "user:password" for the proxy, or empty.
    TTunnelFilter(THttpFilter& below, THttpChainListener& listener, std::string authority, std::string credentials);

    void StartOpening() override;
    void ContinueOpening() override;
    std::string StalledText(std::chrono::milliseconds idle) const override;
    THttpFilterFailure ClosedWhileOpening() const override;

private:
    std::string authority_;
    std::string credentials_;
    THttpConnectReply reply_;
};

// What a TLS layer checks and what it may allow.
struct TTlsPolicy {
    std::string host;            // the name the certificate must carry
    std::string key;             // "host:port" of the server: its trust entry and its name in texts
    std::string trustStorePath;  // see THttpCli::TrustStorePath
    bool strictTrust = false;
    bool plainAllowed = false;   // a server that answers in plain HTTP may get the request plain
    bool unasked = false;        // the entry asked for nothing (IfRequested, no https/ipps scheme)
};

class TTlsFilter final : public THttpFilter {
public:
    TTlsFilter(THttpFilter& below, THttpChainListener& listener, TTlsPolicy policy);
    ~TTlsFilter() override;

    long Send(const char* data, std::size_t len) override;
    int Receive(void* buffer, int size) override;
    bool Quiet() override;
    bool EndMarked() const override;
    bool CloseIsTheEnd() const override;
    bool Encrypted() const override;
    void StartOpening() override;
    void ContinueOpening() override;
    std::string StalledText(std::chrono::milliseconds idle) const override;
    THttpFilterFailure ClosedWhileOpening() const override;

private:
    std::string CertificateRefusal(bool& kept) const;
    THttpFilterFailure SetupFailure(const std::string& reason, bool peerClosed) const;

    TTlsPolicy policy_;
    std::unique_ptr<platform::TlsSession> session_;
};

}  // namespace quenlo
