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

constexpr std::uint8_t kSocks4Version = 0x04;
constexpr std::uint8_t kSocks5Version = 0x05;
constexpr std::uint8_t kAuthVersion = 0x01;        // user name and password sub-negotiation
constexpr std::uint8_t kCmdConnect = 0x01;
constexpr std::uint8_t kAtypIPv4 = 0x01;
constexpr std::uint8_t kAtypDomain = 0x03;
constexpr std::uint8_t kAtypIPv6 = 0x04;

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
constexpr std::uint8_t kMethodNone = 0x00;
constexpr std::uint8_t kMethodUserPass = 0x02;
constexpr int kSocks4ReplyLength = 8;

void PutPort(std::string& out, std::uint16_t port)
{
    out += static_cast<char>(port >> 8);
    out += static_cast<char>(port & 0xFF);
}

std::string Socks5ReplyText(std::uint8_t rep, int& code)
{
    switch (rep) {
    case 1: code = 20004; return "general SOCKS server failure";
    case 2: code = 20005; return "connection not allowed by ruleset";
    case 3: code = 20006; return "network unreachable";
    case 4: code = 20007; return "host unreachable";
    case 5: code = 20008; return "connection refused";
    case 6: code = 20009; return "time to live expired";
    case 7: code = 20010; return "command not supported";
    case 8: code = 20011; return "address type not supported";
    default: code = 20012; return "unassigned error #" + std::to_string(rep);
    }
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
    phase_ = 0;
    replyCount_ = 0;
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
    phase_ = 0;
    replyCount_ = 0;
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
    phase_ = 1;
    replyCount_ = 0;
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
    if (phase_ != 1) {
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
    if (LevelIs4())
        SendConnectRequest();
    else
        SendMethodOffer();
}

// ---------------------------------------------------------------------------------------------
// Requests

void TCustomSocksWSocket::SendQuietly(const std::string& bytes)
{
    // A send that fails here ends the connection, which the close notification reports.
    try {
        Send(bytes.data(), static_cast<int>(bytes.size()));
    } catch (const std::exception&) {
    }
}

void TCustomSocksWSocket::SendMethodOffer()
{
    //  VER       1 byte   5
    //  NMETHODS  1 byte   1
    //  METHODS   1 byte   0 (no authentication) or 2 (user name and password)
    methodOffered_ = socksAuthentication_ == socksAuthenticateUsercode ? kMethodUserPass : kMethodNone;
    std::string request;
    request += static_cast<char>(kSocks5Version);
    request += static_cast<char>(1);
    request += static_cast<char>(methodOffered_);
    SendQuietly(request);
}

void TCustomSocksWSocket::SendAuthRequest()
{
    //  VER     1 byte   1
    //  ULEN    1 byte   then UNAME, ULEN bytes
    //  PLEN    1 byte   then PASSWD, PLEN bytes
    phase_ = 2;
    auto alive = LivenessToken();
    TriggerSocksAuthState(socksAuthBegin);
    if (alive.expired() || State() != wsConnected)
        return;
    std::string request;
    request += static_cast<char>(kAuthVersion);
    request += static_cast<char>(socksUsercode_.size());
    request += socksUsercode_;
    request += static_cast<char>(socksPassword_.size());
    request += socksPassword_;
    SendQuietly(request);
}

void TCustomSocksWSocket::SendConnectRequest()
{
    phase_ = 3;
    std::string request;
    if (LevelIs4()) {
        //  VN       1 byte   4
        //  CD       1 byte   1 (connect)
        //  DSTPORT  2 bytes  network order
        //  DSTIP    4 bytes  network order; 0.0.0.1 for 4A (the proxy resolves the name)
        //  USERID   n bytes  then a zero byte
        //  (4A) HOSTNAME n bytes then a zero byte
        std::uint32_t address = 0;
        if (socksLevel_ == "4A") {
            address = ws::inet_addr("0.0.0.1");
        } else {
            try {
                address = Socks4Address(Addr());
            } catch (const std::exception& e) {
                const char* className = dynamic_cast<const ESocketException*>(&e) ? "ESocketException" : "Exception";
                auto alive = LivenessToken();
                phase_ = 0;
                TriggerSocksError(20017, std::string(className) + " " + e.what());
                if (!alive.expired() && State() != wsClosed)
                    DoClose(true, 20017);
                return;
            }
        }
        request += static_cast<char>(kSocks4Version);
        request += static_cast<char>(kCmdConnect);
        PutPort(request, targetPort_);
        request.append(reinterpret_cast<const char*>(&address), 4);
        request += socksUsercode_;
        request += '\0';
        if (socksLevel_ == "4A") {
            request += Addr();
            request += '\0';
        }
    } else {
        //  VER   1 byte   5
        //  CMD   1 byte   1 (connect)
        //  RSV   1 byte   0
        //  ATYP  1 byte   3 (domain name), also for a dotted address; 4 for an IPv6 address
        //  DST.ADDR       length byte, then the name; or the 16 bytes of the IPv6 address
        //  DST.PORT       2 bytes, network order
        request += static_cast<char>(kSocks5Version);
        request += static_cast<char>(kCmdConnect);
        request += '\0';
        if (const auto literal = ws::ParseIpLiteral(Addr()); literal && literal->family == AF_INET6) {
            request += static_cast<char>(kAtypIPv6);
            request.append(reinterpret_cast<const char*>(literal->bytes.data()), 16);
        } else {
            request += static_cast<char>(kAtypDomain);
            request += static_cast<char>(Addr().size());
            request += Addr();
        }
        PutPort(request, targetPort_);
    }
    SendQuietly(request);
}

// ---------------------------------------------------------------------------------------------
// Replies

bool TCustomSocksWSocket::TriggerDataAvailable(std::uint16_t error)
{
    if (phase_ == 0)
        return TCustomWSocket::TriggerDataAvailable(error);
    // Proxy bytes are ours: report a handler so that nothing drains them.
    SocksStep(error);
    return true;
}

bool TCustomSocksWSocket::ReadReply(int limit)
{
    limit = std::min(limit, kReplyArea - 1);
    if (replyCount_ >= limit)
        return false;
    int n = TCustomWSocket::DoRecv(reply_.data() + replyCount_, limit - replyCount_, 0);
    if (n <= 0)
        return false;
    replyCount_ += n;
    return true;
}

void TCustomSocksWSocket::SocksStep(std::uint16_t error)
{
    if (error != 0) {
        Fail(error, "data receive error");
        return;
    }
    switch (phase_) {
    case 1:
        StepMethodReply();
        return;
    case 2:
        StepAuthReply();
        return;
    case 3:
        if (LevelIs4())
            StepConnectReply4();
        else
            StepConnectReply5();
        return;
    default:
        Fail(20013, "internal error");
        return;
    }
}

void TCustomSocksWSocket::StepMethodReply()
{
    //  VER     1 byte   5
    //  METHOD  1 byte   0, 2, or 0xFF (no acceptable method)
    ReadReply(kReplyArea - 1);
    if (LevelIs4()) {
        Fail(20001, "TWSocket logic error");
        return;
    }
    if (replyCount_ < 2)
        return;
    replyCount_ = 0;
    const auto version = static_cast<std::uint8_t>(reply_[0]);
    const auto method = static_cast<std::uint8_t>(reply_[1]);
    if (version != kSocks5Version) {
        Fail(20002, "socks version error");
        return;
    }
    if (method == kMethodNone) {
        if (methodOffered_ == kMethodUserPass) {
            auto alive = LivenessToken();
            TriggerSocksAuthState(socksAuthNotNeeded);
            if (alive.expired() || State() != wsConnected)
                return;
        }
        SendConnectRequest();
        return;
    }
    // A proxy that picks the password method we did not offer would get credentials the
    // application never meant to send.
    if (method == kMethodUserPass && methodOffered_ == kMethodUserPass) {
        SendAuthRequest();
        return;
    }
    Fail(20003, "authentification method not acceptable");
}

void TCustomSocksWSocket::StepAuthReply()
{
    //  VER     1 byte   1
    //  STATUS  1 byte   0 success
    ReadReply(kReplyArea - 1);
    if (replyCount_ >= 1 && static_cast<std::uint8_t>(reply_[0]) != kAuthVersion) {
        auto alive = LivenessToken();
        TriggerSocksAuthState(socksAuthFailed);
        if (!alive.expired())
            Fail(20002, "socks version error");
        return;
    }
    if (replyCount_ > 2) {
        auto alive = LivenessToken();
        TriggerSocksAuthState(socksAuthFailed);
        if (!alive.expired())
            Fail(20001, "too much data availaible");
        return;
    }
    if (replyCount_ < 2)
        return;
    if (reply_[1] != 0) {
        auto alive = LivenessToken();
        TriggerSocksAuthState(socksAuthFailed);
        if (!alive.expired())
            Fail(20015, "socks authentication failed");
        return;
    }
    replyCount_ = 0;
    auto alive = LivenessToken();
    TriggerSocksAuthState(socksAuthSucceeded);
    if (alive.expired() || State() != wsConnected)
        return;
    SendConnectRequest();
}

void TCustomSocksWSocket::StepConnectReply4()
{
    //  VN       1 byte   0
    //  CD       1 byte   90 granted, 91 rejected, 92 no identd, 93 user id mismatch
    //  DSTPORT  2 bytes, DSTIP 4 bytes (ignored)
    // Read no further than the reply: what follows belongs to the application.
    ReadReply(kSocks4ReplyLength);
    if (replyCount_ < kSocks4ReplyLength)
        return;
    replyCount_ = 0;
    const auto cd = static_cast<std::uint8_t>(reply_[1]);
    if (reply_[0] != 0) {
        Fail(20002, "socks version error");
        return;
    }
    switch (cd) {
    case 90: Succeed(kSocks4ReplyLength); return;
    case 91: Fail(20016, "request rejected or failed"); return;
    case 92: Fail(20008, "connection refused"); return;
    case 93: Fail(20015, "authentification failed"); return;
    default: Fail(20012, "unassigned error #" + std::to_string(cd)); return;
    }
}

void TCustomSocksWSocket::StepConnectReply5()
{
    //  VER       1 byte   5
    //  REP       1 byte   0 succeeded, else the failure
    //  RSV       1 byte
    //  ATYP      1 byte   1 IPv4 (4 bytes), 3 domain (length byte + name), 4 IPv6 (16 bytes)
    //  BND.ADDR, BND.PORT (2 bytes): not kept
    ReadReply(kReplyArea - 1);
    if (replyCount_ >= 1 && static_cast<std::uint8_t>(reply_[0]) != kSocks5Version) {
        Fail(20002, "socks version error");
        return;
    }
    if (replyCount_ >= 2 && reply_[1] != 0) {
        int code = 0;
        std::string text = Socks5ReplyText(static_cast<std::uint8_t>(reply_[1]), code);
        Fail(code, text);
        return;
    }
    if (replyCount_ < 5)
        return;
    const auto atyp = static_cast<std::uint8_t>(reply_[3]);
    int length = 5;
    if (atyp == kAtypIPv4)
        length = 10;
    else if (atyp == kAtypDomain)
        length = static_cast<std::uint8_t>(reply_[4]) + 7;
    else if (atyp == kAtypIPv6)
        length = 22;
    if (replyCount_ < length)
        return;
    if (atyp != kAtypIPv4 && atyp != kAtypDomain && atyp != kAtypIPv6) {
        Fail(20011, "address type not supported");
        return;
    }
    Succeed(length);
}

void TCustomSocksWSocket::Succeed(int replyEnd)
{
    phase_ = 0;
    // Bytes of the target that came in the same read as the reply are served before anything
    // else, including to an OnSessionConnected handler that reads at once.
    leftoverCount_ = LevelIs4() ? 0 : std::max(0, replyCount_ - replyEnd);
    leftoverPos_ = replyEnd;
    replyCount_ = 0;
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
    phase_ = 0;
    replyCount_ = 0;
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
    std::memcpy(buffer, reply_.data() + leftoverPos_, static_cast<std::size_t>(count));
    leftoverPos_ += count;
    leftoverCount_ -= count;
    return count;
}

std::string TCustomSocksWSocket::ReceiveText()
{
    if (leftoverCount_ <= 0)
        return TCustomWSocket::ReceiveText();
    std::string text(reply_.data() + leftoverPos_, static_cast<std::size_t>(leftoverCount_));
    leftoverCount_ = 0;
    return text;
}

void TCustomSocksWSocket::TriggerSessionClosed(std::uint16_t error)
{
    if (phase_ == 2) {
        phase_ = 0;
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
    if (phase_ == 2 && HSocket() != ws::INVALID_SOCKET && State() != wsClosed && !Destroying() &&
        (!OnSessionClosed || ClosedNotified())) {
        phase_ = 0;
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
    if (phase_ != 0)
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
