// TLS on Linux: GnuTLS, the library the system's print server itself is built with, so one TLS
// implementation is exercised on both ends (and under wine, whose SChannel rests on it too).
#include "platform/Tls.h"
#include "platform/posix/LoadedLibrary.h"
#include "platform/TlsRules.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>

namespace quenlo::platform {

namespace {

// TLS 1.2 at least; 1.3 whenever the server offers it.
constexpr const char* kPriorities = "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2";

// GnuTLS and the eight libraries behind it are loaded by the first TLS session, not with the
// program: loading and starting them cost every start of a program that may never speak TLS a
// few milliseconds. The headers give the types; the file name is that of GnuTLS 3's library.
static_assert(GNUTLS_VERSION_MAJOR == 3, "libgnutls.so.30 is the library of GnuTLS 3");
constexpr const char* kLibrary = "libgnutls.so.30";

struct GnuTlsCalls {
    decltype(&::gnutls_alert_get) alert_get = nullptr;
    decltype(&::gnutls_alert_get_name) alert_get_name = nullptr;
    decltype(&::gnutls_certificate_allocate_credentials) certificate_allocate_credentials = nullptr;
    decltype(&::gnutls_certificate_get_peers) certificate_get_peers = nullptr;
    decltype(&::gnutls_certificate_set_x509_system_trust) certificate_set_x509_system_trust = nullptr;
    decltype(&::gnutls_certificate_verify_peers3) certificate_verify_peers3 = nullptr;
    decltype(&::gnutls_credentials_set) credentials_set = nullptr;
    decltype(&::gnutls_deinit) deinit = nullptr;
    decltype(&::gnutls_error_is_fatal) error_is_fatal = nullptr;
    decltype(&::gnutls_fingerprint) fingerprint = nullptr;
    decltype(&::gnutls_handshake) handshake = nullptr;
    decltype(&::gnutls_init) init = nullptr;
    decltype(&::gnutls_priority_set_direct) priority_set_direct = nullptr;
    decltype(&::gnutls_protocol_get_name) protocol_get_name = nullptr;
    decltype(&::gnutls_protocol_get_version) protocol_get_version = nullptr;
    decltype(&::gnutls_record_recv) record_recv = nullptr;
    decltype(&::gnutls_record_send) record_send = nullptr;
    decltype(&::gnutls_server_name_set) server_name_set = nullptr;
    decltype(&::gnutls_strerror) strerror = nullptr;
    decltype(&::gnutls_transport_set_errno) transport_set_errno = nullptr;
    decltype(&::gnutls_transport_set_ptr) transport_set_ptr = nullptr;
    decltype(&::gnutls_transport_set_pull_function) transport_set_pull_function = nullptr;
    decltype(&::gnutls_transport_set_push_function) transport_set_push_function = nullptr;
    decltype(&::gnutls_x509_crt_deinit) x509_crt_deinit = nullptr;
    decltype(&::gnutls_x509_crt_get_expiration_time) x509_crt_get_expiration_time = nullptr;
    decltype(&::gnutls_x509_crt_import) x509_crt_import = nullptr;
    decltype(&::gnutls_x509_crt_init) x509_crt_init = nullptr;
};

// Loaded once and kept for the program's life; nullptr where the library or an entry is missing.
const GnuTlsCalls* LoadedLibrary()
{
    static const GnuTlsCalls* calls = []() -> const GnuTlsCalls* {
        static GnuTlsCalls g;
        void* library = ::dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr)
            return nullptr;
        const bool bound = Bind(library, "gnutls_alert_get", g.alert_get) &&
               Bind(library, "gnutls_alert_get_name", g.alert_get_name) &&
               Bind(library, "gnutls_certificate_allocate_credentials", g.certificate_allocate_credentials) &&
               Bind(library, "gnutls_certificate_get_peers", g.certificate_get_peers) &&
               Bind(library, "gnutls_certificate_set_x509_system_trust", g.certificate_set_x509_system_trust) &&
               Bind(library, "gnutls_certificate_verify_peers3", g.certificate_verify_peers3) &&
               Bind(library, "gnutls_credentials_set", g.credentials_set) &&
               Bind(library, "gnutls_deinit", g.deinit) &&
               Bind(library, "gnutls_error_is_fatal", g.error_is_fatal) &&
               Bind(library, "gnutls_fingerprint", g.fingerprint) &&
               Bind(library, "gnutls_handshake", g.handshake) &&
               Bind(library, "gnutls_init", g.init) &&
               Bind(library, "gnutls_priority_set_direct", g.priority_set_direct) &&
               Bind(library, "gnutls_protocol_get_name", g.protocol_get_name) &&
               Bind(library, "gnutls_protocol_get_version", g.protocol_get_version) &&
               Bind(library, "gnutls_record_recv", g.record_recv) &&
               Bind(library, "gnutls_record_send", g.record_send) &&
               Bind(library, "gnutls_server_name_set", g.server_name_set) &&
               Bind(library, "gnutls_strerror", g.strerror) &&
               Bind(library, "gnutls_transport_set_errno", g.transport_set_errno) &&
               Bind(library, "gnutls_transport_set_ptr", g.transport_set_ptr) &&
               Bind(library, "gnutls_transport_set_pull_function", g.transport_set_pull_function) &&
               Bind(library, "gnutls_transport_set_push_function", g.transport_set_push_function) &&
               Bind(library, "gnutls_x509_crt_deinit", g.x509_crt_deinit) &&
               Bind(library, "gnutls_x509_crt_get_expiration_time", g.x509_crt_get_expiration_time) &&
               Bind(library, "gnutls_x509_crt_import", g.x509_crt_import) &&
               Bind(library, "gnutls_x509_crt_init", g.x509_crt_init);
        return bound ? &g : nullptr;
    }();
    return calls;
}

// Only reached once LoadedLibrary() has answered: by Available() or a session that exists.
const GnuTlsCalls& Gnu() { return *LoadedLibrary(); }

gnutls_certificate_credentials_t NewCredentials()
{
    gnutls_certificate_credentials_t c = nullptr;
    if (LoadedLibrary() == nullptr)
        return nullptr;
    return Gnu().certificate_allocate_credentials(&c) == GNUTLS_E_SUCCESS ? c : nullptr;
}

// The credentials every session starts with: no certificate of the system's is read for them, so
// a server whose certificate is judged by its kept fingerprint costs no reading of the trust store.
gnutls_certificate_credentials_t SessionCredentials()
{
    static const gnutls_certificate_credentials_t credentials = NewCredentials();
    return credentials;
}

std::atomic<bool> systemTrustRead{false};

// The system's trust store, read by the first certificate that must be checked against it and
// kept for the whole program: reading it for each connection would cost more than the handshake.
gnutls_certificate_credentials_t SystemTrustCredentials()
{
    static const gnutls_certificate_credentials_t credentials = [] {
        const gnutls_certificate_credentials_t c = NewCredentials();
        if (c != nullptr)
            Gnu().certificate_set_x509_system_trust(c);
        systemTrustRead = true;
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
            Gnu().transport_set_errno(self->session, EPIPE);
            return -1;
        }
        return n;
    }

    static ssize_t Pull(gnutls_transport_ptr_t p, void* buffer, size_t size)
    {
        auto* self = static_cast<Impl*>(p);
        const long n = self->transport.Receive(buffer, size);
        if (n == kTlsWouldBlock) {
            Gnu().transport_set_errno(self->session, EAGAIN);
            return -1;
        }
        if (n < 0) {
            Gnu().transport_set_errno(self->session, ECONNRESET);
            return -1;
        }
        if (n > 0 && !self->anyByte) {
            self->anyByte = true;
            self->firstByteTls = tls::OpensTlsAnswer(static_cast<unsigned char*>(buffer)[0]);
        }
        return n;
    }

    void Fail(const char* what, int code)
    {
        error = std::string(what) + ": " + Gnu().strerror(code);
        if (code == GNUTLS_E_FATAL_ALERT_RECEIVED || code == GNUTLS_E_WARNING_ALERT_RECEIVED)
            error += std::string(" (") + Gnu().alert_get_name(Gnu().alert_get(session)) + ")";
    }
};

bool TlsSession::Available() noexcept { return SessionCredentials() != nullptr; }

bool TlsSession::SystemTrustRead() noexcept { return systemTrustRead; }

TlsSession::TlsSession(const std::string& hostName, TlsTransport transport) : impl_(std::make_unique<Impl>())
{
    impl_->transport = std::move(transport);
    impl_->host = hostName;
    if (LoadedLibrary() == nullptr || Gnu().init(&impl_->session, GNUTLS_CLIENT | GNUTLS_NONBLOCK) != GNUTLS_E_SUCCESS) {
        impl_->session = nullptr;
        impl_->error = "TLS could not be set up";
        return;
    }
    gnutls_session_t s = impl_->session;
    Gnu().priority_set_direct(s, kPriorities, nullptr);
    if (SessionCredentials() != nullptr)
        Gnu().credentials_set(s, GNUTLS_CRD_CERTIFICATE, SessionCredentials());
    if (!hostName.empty() && !IsAddress(hostName))
        Gnu().server_name_set(s, GNUTLS_NAME_DNS, hostName.data(), hostName.size());
    Gnu().transport_set_ptr(s, impl_.get());
    Gnu().transport_set_push_function(s, &Impl::Push);
    Gnu().transport_set_pull_function(s, &Impl::Pull);
}

TlsSession::~TlsSession()
{
    if (impl_->session != nullptr)
        Gnu().deinit(impl_->session);
}

TlsStep TlsSession::Handshake()
{
    if (impl_->session == nullptr)
        return TlsStep::Failed;
    const int r = Gnu().handshake(impl_->session);
    if (r == GNUTLS_E_SUCCESS)
        return TlsStep::Done;
    if (r == GNUTLS_E_AGAIN || r == GNUTLS_E_INTERRUPTED || Gnu().error_is_fatal(r) == 0)
        return TlsStep::WantMore;
    impl_->Fail("TLS handshake failed", r);
    return TlsStep::Failed;
}

long TlsSession::Read(void* buffer, std::size_t size)
{
    if (impl_->ended)
        return 0;
    for (;;) {
        const ssize_t r = Gnu().record_recv(impl_->session, buffer, size);
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
        if (Gnu().error_is_fatal(static_cast<int>(r)) == 0)
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
        const ssize_t r = Gnu().record_send(impl_->session, p, left);
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
    const gnutls_datum_t* chain = Gnu().certificate_get_peers(impl_->session, &count);
    if (chain == nullptr || count == 0)
        return {};
    unsigned char digest[32];
    size_t size = sizeof digest;
    if (Gnu().fingerprint(GNUTLS_DIG_SHA256, &chain[0], digest, &size) != GNUTLS_E_SUCCESS)
        return {};
    return tls::FingerprintText(digest, size);
}

std::int64_t TlsSession::PeerExpiry() const
{
    if (impl_->session == nullptr)
        return 0;
    unsigned int count = 0;
    const gnutls_datum_t* chain = Gnu().certificate_get_peers(impl_->session, &count);
    gnutls_x509_crt_t certificate = nullptr;
    if (chain == nullptr || count == 0 || Gnu().x509_crt_init(&certificate) != GNUTLS_E_SUCCESS)
        return 0;
    const time_t expiry = Gnu().x509_crt_import(certificate, &chain[0], GNUTLS_X509_FMT_DER) == GNUTLS_E_SUCCESS
                              ? Gnu().x509_crt_get_expiration_time(certificate)
                              : 0;
    Gnu().x509_crt_deinit(certificate);
    return expiry == static_cast<time_t>(-1) ? 0 : static_cast<std::int64_t>(expiry);
}

bool TlsSession::TrustedBySystem() const
{
    // The peer's certificates are the session's own; the credentials only lend the trust store
    // they are checked against, so they are exchanged for those that hold it only now.
    if (impl_->session == nullptr || SystemTrustCredentials() == nullptr)
        return false;
    Gnu().credentials_set(impl_->session, GNUTLS_CRD_CERTIFICATE, SystemTrustCredentials());
    unsigned int status = 0;
    const char* host = impl_->host.empty() ? nullptr : impl_->host.c_str();
    return Gnu().certificate_verify_peers3(impl_->session, host, &status) == GNUTLS_E_SUCCESS && status == 0;
}

std::string TlsSession::ProtocolName() const
{
    const char* name = Gnu().protocol_get_name(Gnu().protocol_get_version(impl_->session));
    return name != nullptr ? name : "";
}

}  // namespace quenlo::platform
