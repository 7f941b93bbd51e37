// The HTTP client's encrypted connections: which connection is encrypted, the proxy's CONNECT
// tunnel, the handshake driven by the socket's own events, the server's certificate, and the
// repeat of a request over the other transport. Every text a user may read about TLS is here.
#include "net/HttpProt.h"
#include "net/HttpTls.h"
#include "net/TlsTrust.h"
#include "net/WSocket.h"
#include "platform/Text.h"
#include "platform/Tls.h"
#include "platform/Winsock.h"

#include <mutex>
#include <set>

namespace quenlo {

namespace {

constexpr std::size_t kTunnelReplyLimit = 8192;
constexpr const char* kAllowPlainHint = "To allow plain HTTP for this entry, set encryption=Never";

std::mutex rememberedLock;
std::set<std::string>& RememberedServers()
{
    static std::set<std::string> servers;
    return servers;
}

std::set<std::string>& ServersThatSpokeTls()
{
    static std::set<std::string> servers;
    return servers;
}

bool ServerSpokeTls(const std::string& key)
{
    const std::lock_guard lock(rememberedLock);
    return ServersThatSpokeTls().count(key) != 0;
}

// ---- Texts -------------------------------------------------------------------------------------

std::string NotTlsText(const std::string& server, bool silent)
{
    return silent ? "TLS required, but " + server + " closed the connection instead of answering TLS"
                  : "TLS required, but " + server + " does not speak TLS (it answered in plain HTTP)";
}

// IfRequested without a plain repeat: the entry asked for nothing, so the text says what the
// server did and how the entry can allow plain HTTP.
std::string NoPlainRepeatText(const std::string& server, bool silent, bool spokeTls)
{
    const std::string what = silent ? "closed the connection instead of answering TLS" : "answered in plain HTTP";
    return (spokeTls ? server + " no longer speaks TLS (it " + what + ")" : server + " " + what) +
           "; the request was not repeated without TLS. " + std::string(kAllowPlainHint);
}

std::string HandshakeFailedText(const std::string& server, const std::string& reason)
{
    return "TLS handshake with " + server + " failed: " + reason;
}

std::string CertificateChangedText(const std::string& server, const std::string& kept, const std::string& now)
{
    return "TLS certificate of " + server + " has changed and is not trusted: kept SHA-256 " + kept +
           ", now SHA-256 " + now + ". If the change is expected, accept it with: quenlo-cli trust " + server;
}

std::string CertificateUnknownText(const std::string& server, const std::string& now)
{
    return "TLS certificate of " + server + " is not trusted yet (SHA-256 " + now +
           "). Accept it with: quenlo-cli trust " + server;
}

std::string TunnelRefusedText(const std::string& server, const std::string& statusLine)
{
    return statusLine.empty() ? "The proxy closed the connection instead of opening a tunnel to " + server
                              : "The proxy refused to open a tunnel to " + server + ": " + statusLine;
}

std::string BrokenText(const std::string& server, const std::string& reason)
{
    return "TLS connection to " + server + " broken: " + reason;
}

}  // namespace

bool IsThisMachine(const std::string& host)
{
    const std::string h = platform::AsciiLower(host);
    return h == "localhost" || h.rfind("127.", 0) == 0 || h == "::1" || h == "[::1]";
}

std::string TlsStalledText(const std::string& server, bool tunnel, std::chrono::milliseconds idle)
{
    const std::string seconds = std::to_string((idle.count() + 500) / 1000) + " s";
    return tunnel ? "The proxy did not answer the tunnel request to " + server + " for " + seconds
                  : "TLS handshake with " + server + " stalled: no answer for " + seconds;
}

void RememberTlsServer(const std::string& key)
{
    const std::lock_guard lock(rememberedLock);
    RememberedServers().insert(key);
}

bool TlsServerRemembered(const std::string& key)
{
    const std::lock_guard lock(rememberedLock);
    return RememberedServers().count(key) != 0;
}

void RememberServerSpokeTls(const std::string& key)
{
    const std::lock_guard lock(rememberedLock);
    ServersThatSpokeTls().insert(key);
}

std::optional<THttpEncryption> EncryptionOfText(const std::string& text)
{
    const std::string word = platform::AsciiLower(text);
    if (word == "ifrequested")
        return heIfRequested;
    if (word == "required")
        return heRequired;
    if (word == "never")
        return heNever;
    return std::nullopt;
}

// ---- The client's side ---------------------------------------------------------------------------

std::string THttpCli::ServerKey() const { return TrustKey(targetHost_, docPort_); }

void THttpCli::ChooseTransport()
{
    wantTls_ = false;
    tlsFallback_ = false;
    tunnel_ = false;
    if (offline_)
        return;  // no connection: the request's bytes are the plain ones
    if (schemeTls_ || encryption_ == heRequired) {
        wantTls_ = true;
    } else if (encryption_ == heIfRequested) {
        // Whether this build can speak TLS is asked last: the answer may cost a library's start.
        if (TlsServerRemembered(ServerKey())) {
            wantTls_ = platform::TlsSession::Available();
        } else if (!username_.empty() && sendCredentials_ && !IsThisMachine(targetHost_)) {
            // Credentials to another machine never go plain to a server that speaks TLS, nor to
            // one that did: whatever answers in its place now is not to be trusted with them.
            // Whether it did is asked only when the handshake fails (TlsSetupFailed): a request
            // that gets its TLS reads no trust file for it.
            wantTls_ = platform::TlsSession::Available();
            tlsFallback_ = wantTls_;
        }
    }
    tunnel_ = wantTls_ && !proxy_.empty();
}

void THttpCli::StartTlsSetup()
{
    if (tunnel_)
        SendTunnelRequest();
    else
        StartHandshake();
}

void THttpCli::SendTunnelRequest()
{
    tlsStage_ = TlsStage::Tunnel;
    const std::string authority = ServerKey();
    std::string request = "CONNECT " + authority + " HTTP/1.0\r\nHost: " + authority + "\r\n";
    if (!proxyUsername_.empty())
        request += "Proxy-Authorization: Basic " + Base64Encode(proxyUsername_ + ":" + proxyPassword_) + "\r\n";
    request += "\r\n";
    socket_->Send(request.data(), static_cast<int>(request.size()));
}

// The proxy's answer to CONNECT: a header ending in an empty line, and nothing after it until
// the handshake starts.
void THttpCli::ReadTunnelReply()
{
    char buffer[1024];
    for (;;) {
        const int n = socket_->Receive(buffer, sizeof buffer);
        if (n <= 0)
            return;
        NoteProgress();
        tunnelReply_.append(buffer, static_cast<std::size_t>(n));
        const std::size_t end = tunnelReply_.find("\r\n\r\n");
        if (end == std::string::npos) {
            if (tunnelReply_.size() <= kTunnelReplyLimit)
                continue;
            TlsFailure(TunnelRefusedText(ServerKey(), "answer too long"));
            return;
        }
        std::string statusLine = tunnelReply_.substr(0, tunnelReply_.find("\r\n"));
        const bool opened = statusLine.size() >= 12 && statusLine.compare(0, 5, "HTTP/") == 0 &&
                            statusLine.compare(8, 4, " 200") == 0;
        if (!opened) {
            if (!WireSafe(statusLine, true))
                statusLine = "(an unreadable answer)";
            TlsFailure(TunnelRefusedText(ServerKey(), statusLine));
            return;
        }
        tunnelReply_.clear();
        StartHandshake();
        return;
    }
}

void THttpCli::StartHandshake()
{
    tlsStage_ = TlsStage::Handshake;
    // TLS writes its records one by one: the handshake's last flight, then the request. With the
    // system holding a small segment until the one before it is acknowledged, and the server
    // delaying that acknowledgement, each connection waited about 40 ms for nothing.
    socket_->SendWithoutDelay();
    platform::TlsTransport transport;
    transport.Send = [this](const void* data, std::size_t len) -> long {
        try {
            return socket_->Send(data, static_cast<int>(len));
        } catch (const std::exception&) {
            return -1;
        }
    };
    transport.Receive = [this](void* buffer, std::size_t size) -> long {
        const int n = socket_->Receive(buffer, static_cast<int>(std::min<std::size_t>(size, 0x7FFFFFFF)));
        if (n >= 0)
            return n;
        return socket_->LastError() == platform::ws::WSAEWOULDBLOCK ? platform::kTlsWouldBlock : -1;
    };
    tls_ = std::make_unique<platform::TlsSession>(platform::AsciiLower(targetHost_), std::move(transport));
    ContinueHandshake();
}

void THttpCli::ContinueHandshake()
{
    const platform::TlsStep step = tls_->Handshake();
    if (step == platform::TlsStep::WantMore)
        return;
    NoteProgress();
    if (step == platform::TlsStep::Failed) {
        TlsSetupFailed(tls_->Error(), false);
        return;
    }
    const std::string refusal = CertificateRefusal();
    if (!refusal.empty()) {
        TlsFailure(refusal, HttpError::CertificateRefused);
        return;
    }
    tlsStage_ = TlsStage::Ready;
    encrypted_ = true;
    RememberServerSpokeTls(ServerKey());
    BeginExchange();
}

// Empty when the server's certificate is trusted: kept for this server, or by the system for the
// host name. One never seen before is kept, unless StrictTrust. The kept fingerprint is looked at
// first, so a server already known costs no reading of the system's certificates.
std::string THttpCli::CertificateRefusal()
{
    const std::string key = ServerKey();
    const std::string now = tls_->PeerFingerprint();
    if (now.empty())
        return HandshakeFailedText(key, "the server showed no certificate");
    const TTrustStore store(trustStorePath_);
    const std::optional<std::string> kept = store.Find(key);
    if (kept && *kept == now)
        return {};
    if (tls_->TrustedBySystem())
        return {};
    if (kept)
        return CertificateChangedText(key, *kept, now);
    if (strictTrust_ || !store.Keep(key, now))
        return CertificateUnknownText(key, now);
    return {};
}

// The tunnel or the handshake ended before the connection was ready: the peer closed it (or
// reset it), or the handshake failed. Only a server that answered the ClientHello in plain HTTP,
// and was never seen speaking TLS, gets the request in plain when that is allowed: a close or a
// reset may come from anyone in the path. Any other end is a failure that names itself.
void THttpCli::TlsSetupFailed(const std::string& reason, bool peerClosed)
{
    const std::string key = ServerKey();
    if (tlsStage_ == TlsStage::Tunnel) {
        TlsFailure(TunnelRefusedText(key, std::string()));
        return;
    }
    const bool spokeTls = tls_ && tls_->PeerAnsweredTls();
    if (spokeTls)
        RememberServerSpokeTls(key);
    const bool silent = !tls_ || tls_->PeerSilent();
    const bool answeredPlain = !spokeTls && !silent;
    if (tlsFallback_)
        tlsFallback_ = !ServerSpokeTls(key) && !TTrustStore(trustStorePath_).Find(key);
    if (answeredPlain && tlsFallback_) {
        credentialsPlain_ = true;
        RetryConnection(false);
        return;
    }
    const bool noTls = !spokeTls && (peerClosed || answeredPlain);
    if (!spokeTls && encryption_ == heIfRequested && !schemeTls_)
        TlsFailure(NoPlainRepeatText(key, silent, !tlsFallback_));
    else if (noTls)
        TlsFailure(NotTlsText(key, silent));
    else
        TlsFailure(HandshakeFailedText(key, reason.empty() ? "the server closed the connection" : reason));
}

void THttpCli::TlsFailure(const std::string& text, std::uint16_t code)
{
    if (Over() || RetryOnNewConnection())
        return;
    RecordFailure(code, 0, text);
    EndRequest(true);
}

// The connection is dropped and the same request starts again from the lookup, over TLS or
// plain, with nothing of the first answer kept.
void THttpCli::RetryConnection(bool tls)
{
    wantTls_ = tls;
    tlsFallback_ = false;
    tunnel_ = tls && !proxy_.empty();
    retrying_ = true;
    replyHeaderLines_.clear();
    replyStatus_ = 0;
    replyReason_.clear();
    parser_.Reset();
    headerLineCount_ = 0;
    bodyDataCount_ = 0;
    SetPhase(TRequestPhase::Relocating);
    CloseSocket();
}

// The server's close_notify ends its side of the session, and with it an answer the close frames:
// the connection is closed here rather than at the server's close, which may wait for ours.
void THttpCli::EndAtCloseNotify()
{
    if (tlsStage_ == TlsStage::Ready && tls_ && tls_->CloseNotified() && requestType_ != hrNone && !Over())
        CloseSocket();
}

int THttpCli::ReceiveBytes(void* buffer, int size)
{
    if (tlsStage_ != TlsStage::Ready)
        return socket_->Receive(buffer, size);
    const long n = tls_->Read(buffer, static_cast<std::size_t>(size));
    if (n >= 0)
        return static_cast<int>(n);
    if (n == -1)
        TlsFailure(BrokenText(ServerKey(), tls_->Error()));
    return -1;
}

}  // namespace quenlo
