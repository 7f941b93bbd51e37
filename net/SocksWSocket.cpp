#include "net/SocksWSocket.h"
#include "net/SocksFilter.h"
#include "platform/Text.h"

#include <cstring>

#include "platform/SocketTypes.h"
#include "platform/Winsock.h"

namespace quenlo {

namespace ws = platform::ws;

namespace {

using platform::AsciiLower;

// Both the request area and the proxies' own buffers are this size.
constexpr std::size_t kRequestArea = 128;

bool IsIPv6Literal(const std::string& host)
{
    const auto literal = ws::ParseIpLiteral(host);
    return literal && literal->family == AF_INET6;
}

// The IPv4 address a socks 4 request carries for host: its first one, looked up (blocking) when
// host is a name.
std::uint32_t Socks4Address(const std::string& host)
{
    for (const ws::IpAddress& address : WSocketResolveHostAll(host)) {
        if (address.family == AF_INET) {
            std::uint32_t a;
            std::memcpy(&a, address.bytes.data(), 4);
            return a;
        }
    }
    throw ESocketException("socks 4 cannot carry an IPv6 address, and '" + host + "' has no IPv4 address");
}

}  // namespace

const char* to_string(TSocksAuthState state) noexcept
{
    switch (state) {
    case socksAuthBegin: return "socksAuthBegin";
    case socksAuthSucceeded: return "socksAuthSucceeded";
    case socksAuthFailed: return "socksAuthFailed";
    case socksAuthNotNeeded: return "socksAuthNotNeeded";
    }
    return "?";
}

// The bottom of the SOCKS layer: this socket's own sending and receiving, below every override
// of Receive and DoRecv (which serve the layer's leftover bytes). The socket connects and closes
// itself; the layer only sends and receives.
class TCustomSocksWSocket::TRawEnd final : public THttpEnd {
public:
    explicit TRawEnd(TCustomSocksWSocket& socket) : THttpEnd(socket), socket_(socket) {}

    long Send(const char* data, std::size_t len) override { return socket_.Send(data, static_cast<int>(len)); }
    int Receive(void* buffer, int size) override
    {
        const int n = socket_.TCustomWSocket::DoRecv(buffer, size, 0);
        if (n >= 0)
            return n;
        return socket_.LastError() == ws::WSAEWOULDBLOCK ? kNothingWaiting : -1;
    }
    bool Quiet() override { return socket_.TCustomWSocket::RcvdCount() <= 0; }
    void Lookup(const std::string&) override {}
    void Connect(const std::string&, std::chrono::milliseconds) override {}
    std::size_t Addresses() const override { return 1; }
    int LastError() const override { return socket_.LastError(); }
    bool Connected() const override { return socket_.State() == wsConnected; }
    void Close() override {}
    void Stop() override {}
    bool ReportsSent() const override { return true; }
    bool CanEncrypt() const override { return false; }

private:
    TCustomSocksWSocket& socket_;
};

TCustomSocksWSocket::TCustomSocksWSocket(TComponent* owner)
    : TCustomWSocket(owner)
{
    chain_.SetEnd(std::make_unique<TRawEnd>(*this));
}

bool TCustomSocksWSocket::SocksNegotiating() const noexcept
{
    return socks_ != nullptr && socks_->Negotiating();
}

int TCustomSocksWSocket::SocksLeftover() const noexcept
{
    return socks_ == nullptr ? 0 : static_cast<int>(socks_->Leftover().size());
}

bool TCustomSocksWSocket::AwaitingAuth() const noexcept
{
    return socks_ != nullptr && socks_->Stage() == TSocksExchange::Stage::AwaitingAuth;
}

// ---------------------------------------------------------------------------------------------
// Properties

void TCustomSocksWSocket::SetSocksServer(const std::string& value)
{
    if (State() != wsClosed) {
        ReportError("Can't change socks server if not closed");
        return;
    }
    socksServer_ = platform::TrimControls(value);
}

void TCustomSocksWSocket::SetSocksPort(const std::string& value)
{
    if (State() != wsClosed) {
        ReportError("Can't change socks port if not closed");
        return;
    }
    socksPort_ = platform::TrimControls(value);
}

void TCustomSocksWSocket::SetSocksLevel(const std::string& value)
{
    if (State() != wsClosed) {
        ReportError("Can't change socks level if not closed");
        return;
    }
    if (value != "4" && value != "5" && value != "4A" && value != "4a") {
        ReportError("Invalid socks level. Must be 4, 4A or 5.");
        return;
    }
    socksLevel_ = platform::AsciiUpper(value);
}

void TCustomSocksWSocket::ResetDefaults()
{
    TCustomWSocket::ResetDefaults();
    socksServer_.clear();
    socksPort_.clear();
    socksLevel_.assign(1, '5');  // (a literal assignment trips a false -Wrestrict in GCC 12)
    if (socks_ != nullptr)
        socks_->Stop();
    socks_ = nullptr;
    remoteIsProxy_ = false;
}

// ---------------------------------------------------------------------------------------------
// Connecting

std::string TCustomSocksWSocket::CheckFieldSizes() const
{
    const std::string& host = Addr();
    if (LevelIs4()) {
        // Fixed part: version, command, port, address: 8 bytes, and the user id's zero byte.
        const bool is4A = socksLevel_ == "4A";
        if (IsIPv6Literal(host))
            return "socks: socks 4 and 4A cannot carry an IPv6 address (socks 5 can)";
        if (socksUsercode_.find('\0') != std::string::npos || (is4A && host.find('\0') != std::string::npos))
            return "socks: user code and host name may not contain a zero byte";
        if (!is4A && socksUsercode_.size() > kRequestArea - 9)
            return "socks: user code too long (at most 119 bytes for socks 4)";
        if (is4A && socksUsercode_.size() + host.size() > kRequestArea - 10)
            return "socks: user code and host name too long (at most 118 bytes together for socks 4A)";
        return {};
    }
    // Version, command, reserved, address type, length, name, port.
    if (host.size() > kRequestArea - 7)
        return "socks: host name too long (at most 121 bytes for socks 5)";
    if (socksAuthentication_ == socksAuthenticateUsercode) {
        if (socksUsercode_.empty() || socksUsercode_.size() > 255 || socksPassword_.empty() ||
            socksPassword_.size() > 255)
            return "socks: user code and password must each be 1 to 255 bytes";
        if (socksUsercode_.size() + socksPassword_.size() > kRequestArea - 3)
            return "socks: user code and password too long (at most 125 bytes together)";
    }
    return {};
}

void TCustomSocksWSocket::Connect()
{
    // A Connect on a socket in use is refused below without touching the running connection.
    if (HSocket() != ws::INVALID_SOCKET && State() != wsClosed) {
        TCustomWSocket::Connect();
        return;
    }
    socks_ = nullptr;
    chain_.DropLayers();
    if (!UsesSocks()) {
        if (remoteIsProxy_) {
            // The record holds a proxy from a SOCKS Connect that never got to close: the target
            // must be resolved again.
            SetPortResolved(false);
            SetAddrResolved(false);
            remoteIsProxy_ = false;
        }
        TCustomWSocket::Connect();
        return;
    }
    if (AsciiLower(Proto()) != "tcp") {
        ReportError("tcp is the only protocol supported thru socks server");
        return;
    }
    const std::string refusal = CheckFieldSizes();
    if (!refusal.empty()) {
        ReportError(refusal);
        return;
    }
    std::uint16_t targetPort = 0;
    try {
        // The connection goes to the proxy: fill the remote record with its address and port,
        // marked resolved so that TCustomWSocket::Connect uses them as they are. Always resolved
        // afresh: the record may still hold the target of a direct Connect that was refused.
        RemoteRecord().sin_port = htons(WSocketResolvePort(socksPort_, Proto()));
        SetPortResolved(true);
        SetRemoteAddresses(WSocketResolveHostAll(socksServer_));
        remoteIsProxy_ = true;
        targetPort = WSocketResolvePort(Port(), Proto());
    } catch (const std::exception& e) {
        ReportError(std::string("connect: ") + e.what());
        return;
    }
    TSocksRequest request;
    request.level4 = LevelIs4();
    request.level4A = socksLevel_ == "4A";
    request.offerPassword = socksAuthentication_ == socksAuthenticateUsercode;
    request.usercode = socksUsercode_;
    request.password = socksPassword_;
    request.host = Addr();
    request.port = targetPort;
    // The layer calls this from a copy of its own, which a handler destroying this socket leaves
    // behind: hence the token.
    auto reportAuth = [this, alive = LivenessToken()](TSocksAuthState state) {
        if (alive.expired())
            return false;
        TriggerSocksAuthState(state);
        return !alive.expired() && State() == wsConnected;
    };
    chain_.Add(
        [&](THttpFilter& below, THttpChainListener& listener) {
            auto layer = std::make_unique<TSocksFilter>(below, listener, std::move(request), std::move(reportAuth));
            socks_ = layer.get();
            return layer;
        },
        *this);
    TCustomWSocket::Connect();
}

void TCustomSocksWSocket::Listen()
{
    if (UsesSocks()) {
        ReportError("listening is not supported thru socks server");
        return;
    }
    TCustomWSocket::Listen();
}

void TCustomSocksWSocket::TriggerSessionConnected(std::uint16_t error)
{
    if (socks_ == nullptr || socks_->Stage() != TSocksExchange::Stage::ConnectingToProxy) {
        TCustomWSocket::TriggerSessionConnected(error);
        return;
    }
    auto alive = LivenessToken();
    const ws::SOCKET handle = HSocket();
    TriggerSocksConnected(error);
    if (alive.expired() || HSocket() != handle || State() != wsConnected)
        return;  // the handler closed or restarted the socket
    if (error != 0) {
        // The dispatch closes the socket after this.
        TCustomWSocket::TriggerSessionConnected(error);
        return;
    }
    if (LevelIs4() && socksLevel_ != "4A" && !LookUpSocks4Target())
        return;
    chain_.Open();
}

// Level 4 carries the target's IPv4 address, looked up here; false (and the negotiation failed)
// when there is none.
bool TCustomSocksWSocket::LookUpSocks4Target()
{
    try {
        socks_->SetSocks4Address(Socks4Address(Addr()));
        return true;
    } catch (const std::exception& e) {
        const char* className = dynamic_cast<const ESocketException*>(&e) ? "ESocketException" : "Exception";
        auto alive = LivenessToken();
        socks_->Stop();
        TriggerSocksError(SocksError::Socks4Lookup, std::string(className) + " " + e.what());
        if (!alive.expired() && State() != wsClosed)
            DoClose(true, SocksError::Socks4Lookup);
        return false;
    }
}

// ---------------------------------------------------------------------------------------------
// The negotiation: the SOCKS layer carries it out, this socket reports its outcome

bool TCustomSocksWSocket::TriggerDataAvailable(std::uint16_t error)
{
    if (!SocksNegotiating())
        return TCustomWSocket::TriggerDataAvailable(error);
    // Proxy bytes are the layer's: report a handler so that nothing drains them.
    if (error != 0) {
        Fail(error, "data receive error");
        return true;
    }
    chain_.TakeReadable();
    return true;
}

void TCustomSocksWSocket::Succeed()
{
    auto alive = LivenessToken();
    const ws::SOCKET handle = HSocket();
    TCustomWSocket::TriggerSessionConnected(0);
    if (alive.expired() || HSocket() != handle || State() != wsConnected)
        return;
    if (SocksLeftover() <= 0)
        return;
    // Offer them through the whole chain (a line layer above cuts them into lines too). The
    // connection may have nothing more to read, so no later notification would bring them.
    for (;;) {
        const int before = SocksLeftover();
        const bool assigned = TriggerDataAvailable(0);
        if (alive.expired() || HSocket() != handle)
            return;
        if (!assigned && socks_ != nullptr)
            socks_->Stop();  // nobody reads: dropped, as the connection's own bytes would be
        if (SocksLeftover() <= 0 || SocksLeftover() == before)
            return;
    }
}

void TCustomSocksWSocket::Fail(int code, const std::string& msg)
{
    if (socks_ != nullptr)
        socks_->Stop();
    auto alive = LivenessToken();
    const ws::SOCKET handle = HSocket();
    TriggerSocksError(code, msg);
    if (alive.expired() || HSocket() != handle || State() == wsClosed)
        return;
    TCustomWSocket::TriggerSessionConnected(static_cast<std::uint16_t>(code));
    if (alive.expired() || HSocket() != handle || State() == wsClosed)
        return;
    DoClose(true, static_cast<std::uint16_t>(code));
}

// ---------------------------------------------------------------------------------------------
// Receiving and closing

int TCustomSocksWSocket::RcvdCount()
{
    const int leftover = SocksLeftover();
    return leftover > 0 ? leftover : TCustomWSocket::RcvdCount();
}

int TCustomSocksWSocket::DoRecv(void* buffer, int bufferSize, int flags)
{
    if (SocksLeftover() <= 0 || bufferSize <= 0)
        return TCustomWSocket::DoRecv(buffer, bufferSize, flags);
    return socks_->Receive(buffer, bufferSize);
}

std::string TCustomSocksWSocket::ReceiveText()
{
    const int leftover = SocksLeftover();
    if (leftover <= 0)
        return TCustomWSocket::ReceiveText();
    std::string text(static_cast<std::size_t>(leftover), '\0');
    socks_->Receive(text.data(), leftover);
    return text;
}

void TCustomSocksWSocket::TriggerSessionClosed(std::uint16_t error)
{
    if (AwaitingAuth()) {
        auto alive = LivenessToken();
        socks_->ConnectionEnded();
        if (alive.expired())
            return;
    }
    TCustomWSocket::TriggerSessionClosed(error);
}

void TCustomSocksWSocket::DoClose(bool shut, std::uint16_t error)
{
    // OnSessionClosed will not fire (no handler, or already fired): the pending authentication
    // still ends as failed.
    if (AwaitingAuth() && HSocket() != ws::INVALID_SOCKET && State() != wsClosed && !Destroying() &&
        (!OnSessionClosed || ClosedNotified())) {
        auto alive = LivenessToken();
        socks_->ConnectionEnded();
        if (alive.expired())
            return;
    }
    TCustomWSocket::DoClose(shut, error);
}

void TCustomSocksWSocket::TriggerDataSent(std::uint16_t error)
{
    // The application has sent nothing while the proxy is being negotiated.
    if (SocksNegotiating())
        return;
    TCustomWSocket::TriggerDataSent(error);
}

void TCustomSocksWSocket::TriggerSocksConnected(std::uint16_t error)
{
    if (!Destroying())
        fire(OnSocksConnected, *this, error);
}

void TCustomSocksWSocket::TriggerSocksError(int error, const std::string& msg)
{
    if (!Destroying())
        fire(OnSocksError, *this, error, msg);
}

void TCustomSocksWSocket::TriggerSocksAuthState(TSocksAuthState authState)
{
    if (!Destroying())
        fire(OnSocksAuthState, *this, authState);
}

}  // namespace quenlo
