// Windows has no TLS in this build yet: every session fails at once, so a request that must be
// encrypted ends with a clear text and one that may fall back talks plain as before.
#include "platform/Tls.h"

namespace quenlo::platform {

struct TlsSession::Impl {
    std::string error = "TLS is not available in this build for Windows";
};

bool TlsSession::Available() noexcept { return false; }
TlsSession::TlsSession(const std::string&, TlsTransport) : impl_(std::make_unique<Impl>()) {}
TlsSession::~TlsSession() = default;
TlsStep TlsSession::Handshake() { return TlsStep::Failed; }
long TlsSession::Read(void*, std::size_t) { return -1; }
long TlsSession::Write(const void*, std::size_t) { return -1; }
const std::string& TlsSession::Error() const noexcept { return impl_->error; }
bool TlsSession::PeerAnsweredTls() const noexcept { return false; }
bool TlsSession::PeerSilent() const noexcept { return true; }
std::string TlsSession::PeerFingerprint() const { return {}; }
bool TlsSession::TrustedBySystem() const { return false; }
std::string TlsSession::ProtocolName() const { return {}; }

}  // namespace quenlo::platform
