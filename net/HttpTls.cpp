// The HTTP client's encrypted connections: the layers of the proxy's CONNECT tunnel and of TLS
// (the handshake, the server's certificate), which connection gets them, and the repeat of a
// request over the other transport. Every text a user may read about TLS is here.
#include "net/HttpTls.h"
#include "net/HttpProt.h"
#include "net/TlsTrust.h"
#include "net/WSocket.h"
#include "platform/Text.h"
#include "platform/Tls.h"
#include "platform/Winsock.h"

#include <algorithm>
#include <mutex>
#include <optional>
#include <set>
#include <span>

namespace quenlo {

namespace {

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

// ---- The proxy's CONNECT tunnel -------------------------------------------------------------------

TTunnelFilter::TTunnelFilter(THttpFilter& below, THttpChainListener& listener, std::string authority,
                             std::string credentials)
    : THttpFilter(&below, listener), authority_(std::move(authority)), credentials_(std::move(credentials))
{
}

void TTunnelFilter::StartOpening()
{
    std::string request = "CONNECT " + authority_ + " HTTP/1.0\r\nHost: " + authority_ + "\r\n";
    if (!credentials_.empty())
        request += "Proxy-Authorization: Basic " + Base64Encode(credentials_) + "\r\n";
    request += "\r\n";
    Below().Send(request.data(), request.size());
}

void TTunnelFilter::ContinueOpening()
{
    for (;;) {
        const std::span<char> room = reply_.Room();
        const int n = Below().Receive(room.data(), static_cast<int>(room.size()));
        if (n <= 0)
            return;
        Listener().ChainProgress();
        switch (reply_.Received(static_cast<std::size_t>(n))) {
        case THttpConnectReply::TOutcome::Waiting: continue;
        case THttpConnectReply::TOutcome::TooLong:
            Listener().ChainFailed({TunnelRefusedText(authority_, "answer too long")});
            return;
        case THttpConnectReply::TOutcome::Refused: {
            std::string statusLine = reply_.FirstLine();
            if (!WireSafe(statusLine, true))
                statusLine = "(an unreadable answer)";
            Listener().ChainFailed({TunnelRefusedText(authority_, statusLine)});
            return;
        }
        case THttpConnectReply::TOutcome::Opened:
            reply_.Reset();
            Opened();
            return;
        }
    }
}

std::string TTunnelFilter::StalledText(std::chrono::milliseconds idle) const
{
    return TlsStalledText(authority_, true, idle);
}

THttpFilterFailure TTunnelFilter::ClosedWhileOpening() const { return {TunnelRefusedText(authority_, std::string())}; }

// ---- TLS ------------------------------------------------------------------------------------------

TTlsFilter::TTlsFilter(THttpFilter& below, THttpChainListener& listener, TTlsPolicy policy)
    : THttpFilter(&below, listener), policy_(std::move(policy))
{
}

TTlsFilter::~TTlsFilter() = default;

void TTlsFilter::StartOpening()
{
    // TLS writes its records one by one: the handshake's last flight, then the request. With the
    // system holding a small segment until the one before it is acknowledged, and the server
    // delaying that acknowledgement, each connection waited about 40 ms for nothing.
    Below().SendPromptly();
    platform::TlsTransport transport;
    transport.Send = [this](const void* data, std::size_t len) -> long {
        try {
            return Below().Send(static_cast<const char*>(data), len);
        } catch (const std::exception&) {
            return -1;
        }
    };
    transport.Receive = [this](void* buffer, std::size_t size) -> long {
        const int n = Below().Receive(buffer, static_cast<int>(std::min<std::size_t>(size, 0x7FFFFFFF)));
        return n == kNothingWaiting ? platform::kTlsWouldBlock : n;
    };
    session_ = std::make_unique<platform::TlsSession>(platform::AsciiLower(policy_.host), std::move(transport));
    ContinueOpening();
}

void TTlsFilter::ContinueOpening()
{
    const platform::TlsStep step = session_->Handshake();
    if (step == platform::TlsStep::WantMore)
        return;
    Listener().ChainProgress();
    if (step == platform::TlsStep::Failed) {
        Listener().ChainFailed(SetupFailure(session_->Error(), false));
        return;
    }
    bool kept = false;
    const std::string refusal = CertificateRefusal(kept);
    RememberServerCertificate(policy_.key, {session_->PeerExpiry(), kept});
    if (!refusal.empty()) {
        Listener().ChainFailed({refusal, HttpError::CertificateRefused.number});
        return;
    }
    RememberServerSpokeTls(policy_.key);
    Opened();
}

// Empty when the server's certificate is trusted: kept for this server, or by the system for the
// host name. One never seen before is kept, unless StrictTrust. The kept fingerprint is looked at
// first, so a server already known costs no reading of the system's certificates. `kept` tells
// whether the certificate is the one kept for the server now.
std::string TTlsFilter::CertificateRefusal(bool& kept) const
{
    kept = false;
    const std::string& key = policy_.key;
    const std::string now = session_->PeerFingerprint();
    if (now.empty())
        return HandshakeFailedText(key, "the server showed no certificate");
    const TTrustStore store(policy_.trustStorePath);
    const std::optional<std::string> known = store.Find(key);
    kept = known && *known == now;
    if (kept || session_->TrustedBySystem())
        return {};
    if (known)
        return CertificateChangedText(key, *known, now);
    if (policy_.strictTrust || !store.Keep(key, now))
        return CertificateUnknownText(key, now);
    kept = true;
    return {};
}

// The handshake ended before the connection was ready: the peer closed it (or reset it), or the
// handshake failed. Only a server that answered the ClientHello in plain HTTP, and was never seen
// speaking TLS, gets the request in plain when that is allowed: a close or a reset may come from
// anyone in the path. Any other end is a failure that names itself.
THttpFilterFailure TTlsFilter::SetupFailure(const std::string& reason, bool peerClosed) const
{
    const std::string& key = policy_.key;
    const bool spokeTls = session_ && session_->PeerAnsweredTls();
    if (spokeTls)
        RememberServerSpokeTls(key);
    const bool silent = !session_ || session_->PeerSilent();
    const bool answeredPlain = !spokeTls && !silent;
    const bool plainAllowed =
        policy_.plainAllowed && !ServerSpokeTls(key) && !TTrustStore(policy_.trustStorePath).Find(key);
    if (answeredPlain && plainAllowed)
        return {std::string(), HttpError::TlsFailed.number, true};
    const bool noTls = !spokeTls && (peerClosed || answeredPlain);
    if (!spokeTls && policy_.unasked)
        return {NoPlainRepeatText(key, silent, !plainAllowed)};
    if (noTls)
        return {NotTlsText(key, silent)};
    return {HandshakeFailedText(key, reason.empty() ? "the server closed the connection" : reason)};
}

THttpFilterFailure TTlsFilter::ClosedWhileOpening() const { return SetupFailure(std::string(), true); }

std::string TTlsFilter::StalledText(std::chrono::milliseconds idle) const
{
    return TlsStalledText(policy_.key, false, idle);
}

long TTlsFilter::Send(const char* data, std::size_t len)
{
    if (!IsOpen())
        return Below().Send(data, len);
    const long n = session_->Write(data, len);
    if (n < 0)
        Listener().ChainFailed({session_->Error()});
    return n;
}

int TTlsFilter::Receive(void* buffer, int size)
{
    if (!IsOpen())
        return Below().Receive(buffer, size);
    const long n = session_->Read(buffer, static_cast<std::size_t>(size));
    if (n >= 0)
        return static_cast<int>(n);
    if (n == platform::kTlsWouldBlock)
        return kNothingWaiting;
    Listener().ChainFailed({BrokenText(policy_.key, session_->Error())});
    return -1;
}

// TLS records that bring no bytes (a session ticket) leave the connection quiet.
bool TTlsFilter::Quiet()
{
    if (!IsOpen())
        return Below().Quiet();
    char scratch[1024];
    return session_->Read(scratch, sizeof scratch) == platform::kTlsWouldBlock;
}

bool TTlsFilter::EndMarked() const { return IsOpen() && session_->CloseNotified(); }

// Only the close marks the end of a body without a length: over TLS an attacker's FIN is told from
// the server's end by close_notify alone.
bool TTlsFilter::CloseIsTheEnd() const { return !IsOpen() || session_->CloseNotified(); }

bool TTlsFilter::Encrypted() const { return IsOpen(); }

// ---- The client's choice ---------------------------------------------------------------------------

std::string THttpCli::ServerKey() const { return TrustKey(targetHost_, docPort_); }

THttpTransport THttpCli::ChooseTransport() const
{
    THttpTransport transport;
    if (!chain_.End()->CanEncrypt())
        return transport;  // no connection: the request's bytes are the plain ones
    bool& tls = transport.tls;
    if (schemeTls_ || opt_.encryption == heRequired) {
        tls = true;
    } else if (opt_.encryption == heIfRequested) {
        // Whether this build can speak TLS is asked last: the answer may cost a library's start.
        if (TlsServerRemembered(ServerKey())) {
            tls = platform::TlsSession::Available();
        } else if (!opt_.username.empty() && sendCredentials_ && !IsThisMachine(targetHost_)) {
            // Credentials to another machine never go plain to a server that speaks TLS, nor to
            // one that did: whatever answers in its place now is not to be trusted with them.
            // Whether it did is asked only when the handshake fails: a request that gets its TLS
            // reads no trust file for it.
            tls = platform::TlsSession::Available();
            transport.plainAllowed = tls;
        }
    }
    transport.tunnel = tls && !opt_.proxy.empty();
    return transport;
}

// The layers the transport asks for, then the ones the user adds.
void THttpCli::AddLayers()
{
    const THttpTransport& transport = chain_.Transport();
    if (transport.tunnel) {
        const std::string credentials = opt_.proxyUsername.empty() ? std::string() : opt_.proxyUsername + ":" + opt_.proxyPassword;
        chain_.Add(
            [&](THttpFilter& below, THttpChainListener& listener) {
                return std::make_unique<TTunnelFilter>(below, listener, ServerKey(), credentials);
            },
            *this);
    }
    if (transport.tls) {
        TTlsPolicy policy{targetHost_, ServerKey(), opt_.trustStorePath, opt_.strictTrust, transport.plainAllowed,
                          opt_.encryption == heIfRequested && !schemeTls_};
        chain_.Add(
            [&](THttpFilter& below, THttpChainListener& listener) {
                return std::make_unique<TTlsFilter>(below, listener, std::move(policy));
            },
            *this);
    }
    for (const THttpFilterFactory& make : opt_.filters)
        chain_.Add(make, *this);
}

void THttpCli::ChainFailed(const THttpFilterFailure& failure)
{
    if (failure.repeatPlain) {
        credentialsPlain_ = true;
        RetryConnection(false);
        return;
    }
    if (Over() || RetryOnNewConnection())
        return;
    RecordFailure(failure.code, 0, failure.text);
    EndRequest(true);
}

// The connection is dropped and the same request starts again from the lookup, over TLS or
// plain, with nothing of the first answer kept.
void THttpCli::RetryConnection(bool tls)
{
    chain_.SetTransport({tls, false, tls && !opt_.proxy.empty()});
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
    if (chain_.Top().EndMarked() && requestType_ != hrNone && !Over())
        CloseSocket();
}

}  // namespace quenlo
