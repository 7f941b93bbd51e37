// TLS on Linux: GnuTLS, the library the system's print server itself is built with, so one TLS
// implementation is exercised on both ends (and under wine, whose SChannel rests on it too).
#include "platform/Tls.h"

#include <arpa/inet.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <cerrno>
#include <cstdio>
#include <mutex>

namespace quenlo::platform {

namespace {

// TLS 1.2 at least; 1.3 whenever the server offers it.
constexpr const char* kPriorities = "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2";

// The system's trust store, loaded once for the whole program: reading it for each connection
// would cost more than the handshake.
gnutls_certificate_credentials_t SharedCredentials()
{
    static gnutls_certificate_credentials_t credentials = [] {
        gnutls_certificate_credentials_t c = nullptr;
        if (gnutls_certificate_allocate_credentials(&c) == GNUTLS_E_SUCCESS)
            gnutls_certificate_set_x509_system_trust(c);
        return c;
    }();
    return credentials;
}

bool IsAddress(const std::string& host)
{
    unsigned char buffer[16];
    return inet_pton(AF_INET, host.c_str(), buffer) == 1 || inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

}  // namespace

struct TlsSession::Impl {
    gnutls_session_t session = nullptr;
    TlsTransport transport;
    std::string host;
    std::string error;
    bool anyByte = false;
    bool firstByteTls = false;
    bool closeNotified = false;
    bool ended = false;  // the stream has ended (the library takes no read after a cut end)

    static ssize_t Push(gnutls_transport_ptr_t p, const void* data, size_t len)
    {
        auto* self = static_cast<Impl*>(p);
        const long n = self->transport.Send(data, len);
        if (n < 0) {
            gnutls_transport_set_errno(self->session, EPIPE);
            return -1;
        }
        return n;
    }

    static ssize_t Pull(gnutls_transport_ptr_t p, void* buffer, size_t size)
    {
        auto* self = static_cast<Impl*>(p);
        const long n = self->transport.Receive(buffer, size);
        if (n == kTlsWouldBlock) {
            gnutls_transport_set_errno(self->session, EAGAIN);
            return -1;
        }
        if (n < 0) {
            gnutls_transport_set_errno(self->session, ECONNRESET);
            return -1;
        }
        if (n > 0 && !self->anyByte) {
            self->anyByte = true;
            // A handshake record (22) or an alert (21) opens every TLS answer to a ClientHello.
            const auto first = static_cast<unsigned char*>(buffer)[0];
            self->firstByteTls = first == 22 || first == 21;
        }
        return n;
    }

    void Fail(const char* what, int code)
    {
        error = std::string(what) + ": " + gnutls_strerror(code);
        if (code == GNUTLS_E_FATAL_ALERT_RECEIVED || code == GNUTLS_E_WARNING_ALERT_RECEIVED)
            error += std::string(" (") + gnutls_alert_get_name(gnutls_alert_get(session)) + ")";
    }
};

bool TlsSession::Available() noexcept { return SharedCredentials() != nullptr; }

TlsSession::TlsSession(const std::string& hostName, TlsTransport transport) : impl_(std::make_unique<Impl>())
{
    impl_->transport = std::move(transport);
    impl_->host = hostName;
    if (gnutls_init(&impl_->session, GNUTLS_CLIENT | GNUTLS_NONBLOCK) != GNUTLS_E_SUCCESS) {
        impl_->session = nullptr;
        impl_->error = "TLS could not be set up";
        return;
    }
    gnutls_session_t s = impl_->session;
    gnutls_priority_set_direct(s, kPriorities, nullptr);
    if (SharedCredentials() != nullptr)
        gnutls_credentials_set(s, GNUTLS_CRD_CERTIFICATE, SharedCredentials());
    if (!hostName.empty() && !IsAddress(hostName))
        gnutls_server_name_set(s, GNUTLS_NAME_DNS, hostName.data(), hostName.size());
    gnutls_transport_set_ptr(s, impl_.get());
    gnutls_transport_set_push_function(s, &Impl::Push);
    gnutls_transport_set_pull_function(s, &Impl::Pull);
}

TlsSession::~TlsSession()
{
    if (impl_->session != nullptr)
        gnutls_deinit(impl_->session);
}

TlsStep TlsSession::Handshake()
{
    if (impl_->session == nullptr)
        return TlsStep::Failed;
    const int r = gnutls_handshake(impl_->session);
    if (r == GNUTLS_E_SUCCESS)
        return TlsStep::Done;
    if (r == GNUTLS_E_AGAIN || r == GNUTLS_E_INTERRUPTED || gnutls_error_is_fatal(r) == 0)
        return TlsStep::WantMore;
    impl_->Fail("TLS handshake failed", r);
    return TlsStep::Failed;
}

long TlsSession::Read(void* buffer, std::size_t size)
{
    if (impl_->ended)
        return 0;
    for (;;) {
        const ssize_t r = gnutls_record_recv(impl_->session, buffer, size);
        if (r == 0 && size > 0)
            impl_->closeNotified = impl_->ended = true;
        if (r >= 0)
            return static_cast<long>(r);
        if (r == GNUTLS_E_AGAIN)
            return kTlsWouldBlock;
        if (r == GNUTLS_E_INTERRUPTED || r == GNUTLS_E_REHANDSHAKE)
            continue;
        // Servers that close a reply framed by its length or chunks without close_notify are the
        // rule, not an attack: the HTTP framing says whether the body is whole.
        if (r == GNUTLS_E_PREMATURE_TERMINATION) {
            impl_->ended = true;
            return 0;
        }
        if (gnutls_error_is_fatal(static_cast<int>(r)) == 0)
            continue;
        impl_->Fail("TLS connection failed", static_cast<int>(r));
        return -1;
    }
}

long TlsSession::Write(const void* data, std::size_t len)
{
    const char* p = static_cast<const char*>(data);
    std::size_t left = len;
    while (left > 0) {
        const ssize_t r = gnutls_record_send(impl_->session, p, left);
        if (r > 0) {
            p += r;
            left -= static_cast<std::size_t>(r);
            continue;
        }
        // The transport queues everything it is given, so only a real failure stops here.
        if (r == GNUTLS_E_AGAIN || r == GNUTLS_E_INTERRUPTED)
            continue;
        impl_->Fail("TLS send failed", static_cast<int>(r));
        return -1;
    }
    return static_cast<long>(len);
}

const std::string& TlsSession::Error() const noexcept { return impl_->error; }
bool TlsSession::PeerAnsweredTls() const noexcept { return impl_->firstByteTls; }
bool TlsSession::PeerSilent() const noexcept { return !impl_->anyByte; }
bool TlsSession::CloseNotified() const noexcept { return impl_->closeNotified; }

std::string TlsSession::PeerFingerprint() const
{
    unsigned int count = 0;
    const gnutls_datum_t* chain = gnutls_certificate_get_peers(impl_->session, &count);
    if (chain == nullptr || count == 0)
        return {};
    unsigned char digest[32];
    size_t size = sizeof digest;
    if (gnutls_fingerprint(GNUTLS_DIG_SHA256, &chain[0], digest, &size) != GNUTLS_E_SUCCESS)
        return {};
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, i == 0 ? "%02X" : ":%02X", digest[i]);
        text += hex;
    }
    return text;
}

bool TlsSession::TrustedBySystem() const
{
    unsigned int status = 0;
    const char* host = impl_->host.empty() ? nullptr : impl_->host.c_str();
    return gnutls_certificate_verify_peers3(impl_->session, host, &status) == GNUTLS_E_SUCCESS && status == 0;
}

std::string TlsSession::ProtocolName() const
{
    const char* name = gnutls_protocol_get_name(gnutls_protocol_get_version(impl_->session));
    return name != nullptr ? name : "";
}

}  // namespace quenlo::platform
