// TLS on Windows: the system's SChannel through the function table of secur32.dll, and crypt32.dll
// for the server's certificate, both loaded from the system folder by the first session, so the
// zip ships nothing for it. SChannel is told not to judge the certificate itself: the client
// decides from its SHA-256 and from the system store's verdict for the host name, by the same
// trust-on-first-use rules as on Linux.
//
// The session never blocks and owns no thread: each call takes what the transport has now and
// keeps the bytes of a record not yet complete for the next call.
#define SECURITY_WIN32
#define SCHANNEL_USE_BLACKLISTS  // SCH_CREDENTIALS
#include "platform/Tls.h"
#include "platform/TlsRules.h"

#include "platform/Path.h"
#include "platform/win/Bindings.h"

#include <sspi.h>
#include <subauth.h>  // UNICODE_STRING for SCH_CREDENTIALS
#include <schannel.h>
#include <wincrypt.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <vector>

namespace quenlo::platform {

namespace {

// ---- The system's libraries --------------------------------------------------------------------

struct SystemCalls {
    PSecurityFunctionTableW sspi = nullptr;
    decltype(&::CertGetCertificateChain) getChain = nullptr;
    decltype(&::CertVerifyCertificateChainPolicy) verifyPolicy = nullptr;
    decltype(&::CertFreeCertificateChain) freeChain = nullptr;
    decltype(&::CertFreeCertificateContext) freeCertificate = nullptr;
    decltype(&::CryptHashCertificate2) hash = nullptr;
};

template <typename Fn>
void Bind(HMODULE module, const char* name, Fn& out)
{
    out = reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(::GetProcAddress(module, name)));
}

// Loaded once and kept for the program's life; empty members where a library or entry is missing.
const SystemCalls& Calls()
{
    static const SystemCalls calls = [] {
        SystemCalls c;
        HMODULE crypt = win::LoadSystemLibrary("crypt32.dll");
        HMODULE secur = crypt != nullptr ? win::LoadSystemLibrary("secur32.dll") : nullptr;
        if (secur == nullptr)
            return c;
        Bind(crypt, "CertGetCertificateChain", c.getChain);
        Bind(crypt, "CertVerifyCertificateChainPolicy", c.verifyPolicy);
        Bind(crypt, "CertFreeCertificateChain", c.freeChain);
        Bind(crypt, "CertFreeCertificateContext", c.freeCertificate);
        Bind(crypt, "CryptHashCertificate2", c.hash);
        INIT_SECURITY_INTERFACE_W init = nullptr;
        Bind(secur, "InitSecurityInterfaceW", init);
        if (init != nullptr && c.getChain && c.verifyPolicy && c.freeChain && c.freeCertificate && c.hash)
            c.sspi = init();
        return c;
    }();
    return calls;
}

std::atomic<bool> systemTrustRead{false};

// ---- Credentials ---------------------------------------------------------------------------------

// The certificate is checked by the client (no SChannel verdict), no client certificate is ever
// offered on its own, and TLS 1.2 is the oldest version spoken.
constexpr DWORD kCredentialFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
constexpr DWORD kOlderVersionsOff =
    SP_PROT_SSL2_CLIENT | SP_PROT_SSL3_CLIENT | SP_PROT_TLS1_0_CLIENT | SP_PROT_TLS1_1_CLIENT;

struct Credentials {
    CredHandle handle{};
    bool valid = false;
};

bool Acquire(void* authData, Credentials& out)
{
    wchar_t package[] = UNISP_NAME_W;
    TimeStamp expiry{};
    const SECURITY_STATUS st = Calls().sspi->AcquireCredentialsHandleW(
        nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, authData, nullptr, nullptr, &out.handle, &expiry);
    out.valid = st == SEC_E_OK;
    return out.valid;
}

std::atomic<bool> olderStructureOnly{false};

Credentials AcquireCurrent()
{
    Credentials c;
    TLS_PARAMETERS parameters{};
    parameters.grbitDisabledProtocols = kOlderVersionsOff;
    SCH_CREDENTIALS current{};
    current.dwVersion = SCH_CREDENTIALS_VERSION;
    current.dwFlags = kCredentialFlags;
    current.cTlsParameters = 1;
    current.pTlsParameters = &parameters;
    Acquire(&current, c);
    return c;
}

Credentials AcquireOlder()
{
    Credentials c;
    SCHANNEL_CRED older{};
    older.dwVersion = SCHANNEL_CRED_VERSION;
    older.dwFlags = kCredentialFlags;
    older.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    Acquire(&older, c);
    return c;
}

// SCH_CREDENTIALS where the system knows it (TLS 1.3 where it offers it), else the older
// SCHANNEL_CRED that Windows 10 before 1809 takes, with TLS 1.2. Acquired once for the program:
// each acquisition reads the system's settings.
const Credentials& SharedCredentials()
{
    static const Credentials credentials = [] {
        if (Calls().sspi == nullptr)
            return Credentials{};
        if (!olderStructureOnly) {
            const Credentials current = AcquireCurrent();
            if (current.valid)
                return current;
        }
        return AcquireOlder();
    }();
    return credentials;
}

constexpr ULONG kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_MANUAL_CRED_VALIDATION;

// Encrypted bytes are taken from the transport in blocks of this size (a record's largest).
constexpr std::size_t kPullBlock = 16384 + 512;
// More than this waiting unused in the handshake is no server's certificate chain.
constexpr std::size_t kHandshakeLimit = 256 * 1024;
// The content type of a TLS record that carries an alert.
constexpr unsigned char kAlertRecord = 21;

// What SChannel's status means for the user, with its number for whoever looks further.
std::string StatusText(SECURITY_STATUS st)
{
    const char* what = "SChannel failed";
    switch (st) {
    case SEC_E_ILLEGAL_MESSAGE:
    case SEC_E_INVALID_TOKEN:
        what = "the server's answer is not valid TLS, or it ended the handshake with an alert";
        break;
    case SEC_E_ALGORITHM_MISMATCH:
    case SEC_E_UNSUPPORTED_FUNCTION:
        what = "the server offers no TLS version or cipher this system accepts";
        break;
    case SEC_E_DECRYPT_FAILURE:
    case SEC_E_MESSAGE_ALTERED:
        what = "a record could not be decrypted";
        break;
    case SEC_E_CONTEXT_EXPIRED:
        what = "the session has ended";
        break;
    case SEC_E_INTERNAL_ERROR:
        what = "an internal error of the system's TLS";
        break;
    default:
        break;
    }
    char number[16];
    std::snprintf(number, sizeof number, "0x%08lX", static_cast<unsigned long>(st));
    return std::string(what) + " (" + number + ")";
}

}  // namespace

struct TlsSession::Impl {
    enum class Pull { Got, WouldBlock, Closed, Failed };

    TlsTransport transport;
    std::wstring target;      // the name SChannel sends and caches the session under; empty for an address
    std::wstring checkedName;  // the name the system store checks the certificate against
    std::string error;
    CtxtHandle context{};
    bool haveContext = false;
    bool started = false;
    bool ready = false;
    bool renegotiating = false;  // SChannel wants a message of the handshake after it taken back
    bool failed = false;
    bool closeNotified = false;
    bool anyByte = false;
    bool firstByteTls = false;
    ULONG contextFlags = kContextFlags;
    SecPkgContext_StreamSizes sizes{};
    PCCERT_CONTEXT certificate = nullptr;
    DWORD protocol = 0;
    std::string in;     // encrypted bytes not yet used
    std::string plain;  // decrypted bytes not yet handed out
    std::size_t plainTaken = 0;

    ~Impl()
    {
        if (certificate != nullptr)
            Calls().freeCertificate(certificate);
        if (haveContext)
            Calls().sspi->DeleteSecurityContext(&context);
    }

    TlsStep Fail(const char* stage, const std::string& reason)
    {
        error = std::string(stage) + ": " + reason;
        failed = true;
        return TlsStep::Failed;
    }

    Pull PullOnce()
    {
        const std::size_t had = in.size();
        in.resize(had + kPullBlock);
        const long n = transport.Receive(in.data() + had, kPullBlock);
        in.resize(had + static_cast<std::size_t>(std::max(n, 0L)));
        if (n == kTlsWouldBlock)
            return Pull::WouldBlock;
        if (n < 0)
            return Pull::Failed;
        if (n == 0)
            return Pull::Closed;
        if (!anyByte) {
            anyByte = true;
            firstByteTls = tls::OpensTlsAnswer(static_cast<unsigned char>(in[had]));
        }
        return Pull::Got;
    }

    bool SendAll(const void* data, std::size_t len) { return len == 0 || transport.Send(data, len) >= 0; }

    // Drops what SChannel used of `in`: everything but the unused tail it reports as extra.
    void Consume(const SecBuffer& extra)
    {
        const std::size_t left = extra.BufferType == SECBUFFER_EXTRA ? extra.cbBuffer : 0;
        in.erase(0, in.size() - std::min<std::size_t>(left, in.size()));
    }

    // One call of InitializeSecurityContext with the bytes in `in` (none for the ClientHello);
    // its token goes out at once. WantMore when the next record is not complete yet.
    TlsStep HandshakeCall()
    {
        SecBuffer inBuffers[2] = {{static_cast<ULONG>(in.size()), SECBUFFER_TOKEN, in.data()},
                                  {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc inDesc{SECBUFFER_VERSION, 2, inBuffers};
        SecBuffer outBuffer{0, SECBUFFER_TOKEN, nullptr};
        SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &outBuffer};
        ULONG attributes = 0;
        const SECURITY_STATUS st = Calls().sspi->InitializeSecurityContextW(
            const_cast<CredHandle*>(&SharedCredentials().handle), haveContext ? &context : nullptr,
            target.empty() ? nullptr : target.data(), contextFlags, 0, 0, started ? &inDesc : nullptr, 0, &context,
            &outDesc, &attributes, nullptr);
        if (!haveContext && (st == SEC_E_OK || st == SEC_I_CONTINUE_NEEDED))
            haveContext = true;
        started = true;
        // A token comes with a failure too: the alert that tells the server why.
        const bool sent = outBuffer.pvBuffer == nullptr || SendAll(outBuffer.pvBuffer, outBuffer.cbBuffer);
        if (outBuffer.pvBuffer != nullptr)
            Calls().sspi->FreeContextBuffer(outBuffer.pvBuffer);
        if (st == SEC_E_INCOMPLETE_MESSAGE)
            return TlsStep::WantMore;
        if (st != SEC_E_OK && st != SEC_I_CONTINUE_NEEDED && st != SEC_I_INCOMPLETE_CREDENTIALS)
            return Fail("TLS handshake failed", StatusText(st));
        if (!sent)
            return Fail("TLS handshake failed", "the connection was reset");
        if (st == SEC_I_INCOMPLETE_CREDENTIALS) {
            // The server asks for a client certificate: go on without one, on the same bytes.
            if (contextFlags & ISC_REQ_USE_SUPPLIED_CREDS)
                return Fail("TLS handshake failed", "the server insists on a client certificate");
            contextFlags |= ISC_REQ_USE_SUPPLIED_CREDS;
            return HandshakeCall();
        }
        Consume(inBuffers[1]);
        return st == SEC_E_OK ? Finish() : TlsStep::WantMore;
    }

    TlsStep Finish()
    {
        auto& sspi = *Calls().sspi;
        if (sspi.QueryContextAttributesW(&context, SECPKG_ATTR_STREAM_SIZES, &sizes) != SEC_E_OK)
            return Fail("TLS handshake failed", "the session's record sizes are unknown");
        if (certificate != nullptr)
            Calls().freeCertificate(certificate);
        certificate = nullptr;
        sspi.QueryContextAttributesW(&context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate);
        SecPkgContext_ConnectionInfo info{};
        if (sspi.QueryContextAttributesW(&context, SECPKG_ATTR_CONNECTION_INFO, &info) == SEC_E_OK)
            protocol = info.dwProtocol;
        ready = true;
        return TlsStep::Done;
    }

    // Feeds SChannel every complete handshake record waiting, then asks the transport for more.
    TlsStep Handshake()
    {
        if (failed)
            return TlsStep::Failed;
        if (ready)
            return TlsStep::Done;
        if (!started) {
            if (SharedCredentials().valid == false)
                return Fail("TLS handshake failed", "the system's TLS (SChannel) is not available");
            return HandshakeCall();
        }
        for (;;) {
            if (!in.empty()) {
                const std::size_t before = in.size();
                const TlsStep step = HandshakeCall();
                if (step != TlsStep::WantMore)
                    return step;
                if (!in.empty() && in.size() != before)
                    continue;  // more records after the one used
            }
            if (in.size() > kHandshakeLimit)
                return Fail("TLS handshake failed", "the server's handshake messages are too long");
            switch (PullOnce()) {
            case Pull::Got:
                continue;
            case Pull::WouldBlock:
                return TlsStep::WantMore;
            case Pull::Closed:
                return Fail("TLS handshake failed", "the server closed the connection");
            case Pull::Failed:
                return Fail("TLS handshake failed", "the connection was reset");
            }
        }
    }

    enum class Decrypted { Data, Incomplete, Closed, Failed };

    // Decrypts the first record of `in` in place and moves its plain bytes to `plain`.
    Decrypted DecryptOne()
    {
        if (in.empty())
            return Decrypted::Incomplete;
        // Windows reports a close_notify as SEC_I_CONTEXT_EXPIRED; wine's layer decrypts it as an
        // alert record that gives no data. In TLS 1.2 the record's type is in the clear, so that
        // case is told from a record of data (an alert other than a closure fails to decrypt there).
        const bool alertRecord = static_cast<unsigned char>(in[0]) == kAlertRecord;
        SecBuffer buffers[4] = {{static_cast<ULONG>(in.size()), SECBUFFER_DATA, in.data()},
                                {0, SECBUFFER_EMPTY, nullptr},
                                {0, SECBUFFER_EMPTY, nullptr},
                                {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
        const SECURITY_STATUS st = Calls().sspi->DecryptMessage(&context, &desc, 0, nullptr);
        if (st == SEC_E_INCOMPLETE_MESSAGE)
            return Decrypted::Incomplete;
        if (st == SEC_I_CONTEXT_EXPIRED)
            return Decrypted::Closed;  // close_notify
        if (st != SEC_E_OK && st != SEC_I_RENEGOTIATE) {
            Fail("TLS connection failed", StatusText(st));
            return Decrypted::Failed;
        }
        const SecBuffer* extra = nullptr;
        plain.erase(0, plainTaken);
        plainTaken = 0;
        std::size_t got = 0;
        for (const SecBuffer& b : buffers) {
            if (b.BufferType == SECBUFFER_DATA && b.pvBuffer != nullptr) {
                plain.append(static_cast<const char*>(b.pvBuffer), b.cbBuffer);
                got += b.cbBuffer;
            } else if (b.BufferType == SECBUFFER_EXTRA) {
                extra = &b;
            }
        }
        Consume(extra != nullptr ? *extra : SecBuffer{0, SECBUFFER_EMPTY, nullptr});
        if (alertRecord && got == 0 && st == SEC_E_OK)
            return Decrypted::Closed;
        // A message of the handshake after it (a TLS 1.3 ticket or key update): SChannel takes it
        // back through InitializeSecurityContext before the next record.
        renegotiating = st == SEC_I_RENEGOTIATE;
        return Decrypted::Data;
    }

    // Feeds the bytes waiting to InitializeSecurityContext until SChannel has what it wanted.
    Decrypted Renegotiate()
    {
        switch (HandshakeCall()) {
        case TlsStep::Done:
            renegotiating = false;
            return Decrypted::Data;
        case TlsStep::Failed:
            return Decrypted::Failed;
        case TlsStep::WantMore:
            break;
        }
        return Decrypted::Incomplete;
    }

    long Read(void* buffer, std::size_t size)
    {
        for (;;) {
            if (plainTaken < plain.size()) {
                const std::size_t n = std::min(size, plain.size() - plainTaken);
                std::memcpy(buffer, plain.data() + plainTaken, n);
                plainTaken += n;
                return static_cast<long>(n);
            }
            if (failed)
                return -1;
            if (closeNotified)
                return 0;
            switch (renegotiating ? Renegotiate() : DecryptOne()) {
            case Decrypted::Data:
                continue;
            case Decrypted::Closed:
                closeNotified = true;
                return 0;
            case Decrypted::Failed:
                return -1;
            case Decrypted::Incomplete:
                break;
            }
            switch (PullOnce()) {
            case Pull::Got:
                continue;
            case Pull::WouldBlock:
                return kTlsWouldBlock;
            case Pull::Closed:
                // A close without close_notify: the HTTP framing says whether the body is whole.
                return 0;
            case Pull::Failed:
                Fail("TLS connection failed", "the connection was reset");
                return -1;
            }
        }
    }

    long Write(const void* data, std::size_t len)
    {
        if (!ready || failed)
            return -1;
        const char* p = static_cast<const char*>(data);
        std::size_t left = len;
        std::vector<char> record(sizes.cbHeader + sizes.cbMaximumMessage + sizes.cbTrailer);
        while (left > 0) {
            const std::size_t chunk = std::min<std::size_t>(left, sizes.cbMaximumMessage);
            std::memcpy(record.data() + sizes.cbHeader, p, chunk);
            SecBuffer buffers[4] = {{sizes.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
                                    {static_cast<ULONG>(chunk), SECBUFFER_DATA, record.data() + sizes.cbHeader},
                                    {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + sizes.cbHeader + chunk},
                                    {0, SECBUFFER_EMPTY, nullptr}};
            SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
            const SECURITY_STATUS st = Calls().sspi->EncryptMessage(&context, 0, &desc, 0);
            if (st != SEC_E_OK) {
                Fail("TLS send failed", StatusText(st));
                return -1;
            }
            const std::size_t total = buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer;
            if (!SendAll(record.data(), total)) {
                Fail("TLS send failed", "the connection was reset");
                return -1;
            }
            p += chunk;
            left -= chunk;
        }
        return static_cast<long>(len);
    }
};

namespace win {
void UseOlderTlsCredentials() { olderStructureOnly = true; }
}  // namespace win

bool TlsSession::SystemTrustRead() noexcept { return systemTrustRead; }

bool TlsSession::Available() noexcept
{
    try {
        return SharedCredentials().valid;
    } catch (...) {
        return false;
    }
}

TlsSession::TlsSession(const std::string& hostName, TlsTransport transport) : impl_(std::make_unique<Impl>())
{
    impl_->transport = std::move(transport);
    impl_->checkedName = WideFromUtf8(hostName);
    if (!hostName.empty() && !ws::ParseIpLiteral(hostName))
        impl_->target = impl_->checkedName;
}

TlsSession::~TlsSession() = default;
TlsStep TlsSession::Handshake() { return impl_->Handshake(); }
long TlsSession::Read(void* buffer, std::size_t size) { return impl_->Read(buffer, size); }
long TlsSession::Write(const void* data, std::size_t len) { return impl_->Write(data, len); }
const std::string& TlsSession::Error() const noexcept { return impl_->error; }
bool TlsSession::PeerAnsweredTls() const noexcept { return impl_->firstByteTls; }
bool TlsSession::PeerSilent() const noexcept { return !impl_->anyByte; }
bool TlsSession::CloseNotified() const noexcept { return impl_->closeNotified; }

std::string TlsSession::PeerFingerprint() const
{
    const PCCERT_CONTEXT cert = impl_->certificate;
    if (cert == nullptr)
        return {};
    BYTE digest[32];
    DWORD size = sizeof digest;
    if (!Calls().hash(L"SHA256", 0, nullptr, cert->pbCertEncoded, cert->cbCertEncoded, digest, &size))
        return {};
    return tls::FingerprintText(digest, size);
}

std::int64_t TlsSession::PeerExpiry() const
{
    const PCCERT_CONTEXT cert = impl_->certificate;
    if (cert == nullptr || cert->pCertInfo == nullptr)
        return 0;
    // FILETIME counts 100 ns steps from 1601-01-01.
    constexpr std::uint64_t kUnixEpoch = 116444736000000000ull, kPerSecond = 10000000ull;
    const FILETIME& end = cert->pCertInfo->NotAfter;
    const std::uint64_t ticks = (static_cast<std::uint64_t>(end.dwHighDateTime) << 32) | end.dwLowDateTime;
    return ticks <= kUnixEpoch ? 0 : static_cast<std::int64_t>((ticks - kUnixEpoch) / kPerSecond);
}

// The system store's verdict on the chain for a server of this name, from what is on this machine
// only: nothing is fetched, neither an address the certificate names nor the system's updates of
// its roots, so the check never waits on the network (a root not on the machine leaves the
// certificate to trust on first use).
bool TlsSession::TrustedBySystem() const
{
    const PCCERT_CONTEXT cert = impl_->certificate;
    if (cert == nullptr || impl_->checkedName.empty())
        return false;
    systemTrustRead = true;  // the first chain check reads the system's roots
    const SystemCalls& calls = Calls();
    char serverAuth[] = szOID_PKIX_KP_SERVER_AUTH;
    LPSTR usages[] = {serverAuth};
    CERT_CHAIN_PARA chainPara{};
    chainPara.cbSize = sizeof chainPara;
    chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
    chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
    chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    constexpr DWORD kLocalOnly =
        CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL | CERT_CHAIN_DISABLE_AIA | CERT_CHAIN_DISABLE_AUTH_ROOT_AUTO_UPDATE;
    if (!calls.getChain(nullptr, cert, nullptr, cert->hCertStore, &chainPara, kLocalOnly, nullptr, &chain))
        return false;
    std::wstring name = impl_->checkedName;
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.pwszServerName = name.data();
    CERT_CHAIN_POLICY_PARA policyPara{};
    policyPara.cbSize = sizeof policyPara;
    policyPara.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    const bool checked = calls.verifyPolicy(CERT_CHAIN_POLICY_SSL, chain, &policyPara, &status) != FALSE;
    calls.freeChain(chain);
    return checked && status.dwError == 0;
}

std::string TlsSession::ProtocolName() const
{
    const DWORD p = impl_->protocol;
    if (p & SP_PROT_TLS1_3_CLIENT)
        return "TLS1.3";
    if (p & SP_PROT_TLS1_2_CLIENT)
        return "TLS1.2";
    return p != 0 ? "TLS" : "";
}

}  // namespace quenlo::platform
