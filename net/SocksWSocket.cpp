#include "net/SocksWSocket.h"
#include "platform/Text.h"

#include <algorithm>
#include <cstring>

#include "platform/SocketTypes.h"

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

TCustomSocksWSocket::TCustomSocksWSocket(TComponent* owner)
    : TCustomWSocket(owner)
{
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
    exchange_.Stop();
    leftoverCount_ = 0;
    leftoverPos_ = 0;
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
    exchange_.Stop();
    leftoverCount_ = 0;
    leftoverPos_ = 0;
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
    try {
        // The connection goes to the proxy: fill the remote record with its address and port,
        // marked resolved so that TCustomWSocket::Connect uses them as they are. Always resolved
        // afresh: the record may still hold the target of a direct Connect that was refused.
        RemoteRecord().sin_port = htons(WSocketResolvePort(socksPort_, Proto()));
        SetPortResolved(true);
        SetRemoteAddresses(WSocketResolveHostAll(socksServer_));
        remoteIsProxy_ = true;
        targetPort_ = WSocketResolvePort(Port(), Proto());
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
    request.port = targetPort_;
    exchange_.Begin(std::move(request));
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
    if (exchange_.CurrentStage() != TSocksExchange::Stage::ConnectingToProxy) {
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
    Carry(exchange_.ProxyConnected());
}

// Level 4 carries the target's IPv4 address, looked up here; false (and the negotiation failed)
// when there is none.
bool TCustomSocksWSocket::LookUpSocks4Target()
{
    try {
        exchange_.SetSocks4Address(Socks4Address(Addr()));
        return true;
    } catch (const std::exception& e) {
        const char* className = dynamic_cast<const ESocketException*>(&e) ? "ESocketException" : "Exception";
        auto alive = LivenessToken();
        exchange_.Stop();
        TriggerSocksError(SocksError::Socks4Lookup, std::string(className) + " " + e.what());
        if (!alive.expired() && State() != wsClosed)
            DoClose(true, SocksError::Socks4Lookup);
        return false;
    }
}

// ---------------------------------------------------------------------------------------------
// The negotiation: the exchange decides, this socket carries its steps out

bool TCustomSocksWSocket::TriggerDataAvailable(std::uint16_t error)
{
    if (!exchange_.Negotiating())
        return TCustomWSocket::TriggerDataAvailable(error);
    // Proxy bytes are ours: report a handler so that nothing drains them.
    if (error != 0) {
        Fail(error, "data receive error");
        return true;
    }
    const std::span<char> room = exchange_.Room();
    const int n = room.empty() ? 0 : TCustomWSocket::DoRecv(room.data(), static_cast<int>(room.size()), 0);
    Carry(exchange_.Received(n > 0 ? static_cast<std::size_t>(n) : 0));
    return true;
}

void TCustomSocksWSocket::Carry(const TSocksStep& step)
{
    if (step.auth) {
        auto alive = LivenessToken();
        TriggerSocksAuthState(*step.auth);
        if (alive.expired() || (step.kind != TSocksStep::Failed && State() != wsConnected))
            return;
    }
    switch (step.kind) {
    case TSocksStep::Wait:
        return;
    case TSocksStep::Send:
        // A send that fails here ends the connection, which the close notification reports.
        try {
            Send(step.bytes.data(), static_cast<int>(step.bytes.size()));
        } catch (const std::exception&) {
        }
        return;
    case TSocksStep::Connected:
        Succeed(step.replyEnd);
        return;
    case TSocksStep::Failed:
        Fail(step.code, step.text);
        return;
    }
}

void TCustomSocksWSocket::Succeed(std::size_t replyEnd)
{
    // Bytes of the target that came in the same read as the reply are served before anything
    // else, including to an OnSessionConnected handler that reads at once.
    const std::string_view reply = exchange_.Reply();
    leftoverCount_ = reply.size() > replyEnd ? static_cast<int>(reply.size() - replyEnd) : 0;
    leftoverPos_ = static_cast<int>(replyEnd);
    auto alive = LivenessToken();
    const ws::SOCKET handle = HSocket();
    TCustomWSocket::TriggerSessionConnected(0);
    if (alive.expired() || HSocket() != handle || State() != wsConnected)
        return;
    if (leftoverCount_ <= 0)
        return;
    // Offer them through the whole chain (a line layer above cuts them into lines too). The
    // connection may have nothing more to read, so no later notification would bring them.
    for (;;) {
        const int before = leftoverCount_;
        const bool assigned = TriggerDataAvailable(0);
        if (alive.expired() || HSocket() != handle)
            return;
        if (!assigned)
            leftoverCount_ = 0;  // nobody reads: dropped, as the connection's own bytes would be
        if (leftoverCount_ <= 0 || leftoverCount_ == before)
            return;
    }
}

void TCustomSocksWSocket::Fail(int code, const std::string& msg)
{
    exchange_.Stop();
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
    if (leftoverCount_ > 0)
        return leftoverCount_;
    return TCustomWSocket::RcvdCount();
}

int TCustomSocksWSocket::DoRecv(void* buffer, int bufferSize, int flags)
{
    if (leftoverCount_ <= 0 || bufferSize <= 0)
        return TCustomWSocket::DoRecv(buffer, bufferSize, flags);
    const int count = std::min(bufferSize, leftoverCount_);
    std::memcpy(buffer, exchange_.Reply().data() + leftoverPos_, static_cast<std::size_t>(count));
    leftoverPos_ += count;
    leftoverCount_ -= count;
    return count;
}

std::string TCustomSocksWSocket::ReceiveText()
{
    if (leftoverCount_ <= 0)
        return TCustomWSocket::ReceiveText();
    std::string text(exchange_.Reply().data() + leftoverPos_, static_cast<std::size_t>(leftoverCount_));
    leftoverCount_ = 0;
    return text;
}

void TCustomSocksWSocket::TriggerSessionClosed(std::uint16_t error)
{
    if (AwaitingAuth()) {
        exchange_.Stop();
        auto alive = LivenessToken();
        TriggerSocksAuthState(socksAuthFailed);
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
        exchange_.Stop();
        auto alive = LivenessToken();
        TriggerSocksAuthState(socksAuthFailed);
        if (alive.expired())
            return;
    }
    TCustomWSocket::DoClose(shut, error);
}

void TCustomSocksWSocket::TriggerDataSent(std::uint16_t error)
{
    // The application has sent nothing while the proxy is being negotiated.
    if (exchange_.Negotiating())
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
