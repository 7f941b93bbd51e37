#include "net/SocksExchange.h"

#include "platform/SocketTypes.h"
#include "platform/Winsock.h"

#include <algorithm>
#include <cstring>

namespace quenlo {

namespace {

constexpr std::uint8_t kSocks4Version = 0x04;
constexpr std::uint8_t kSocks5Version = 0x05;
constexpr std::uint8_t kAuthVersion = 0x01;  // user name and password sub-negotiation
constexpr std::uint8_t kCmdConnect = 0x01;
constexpr std::uint8_t kAtypIPv4 = 0x01;
constexpr std::uint8_t kAtypDomain = 0x03;
constexpr std::uint8_t kAtypIPv6 = 0x04;
constexpr std::uint8_t kMethodNone = 0x00;
constexpr std::uint8_t kMethodUserPass = 0x02;

void PutPort(std::string& out, std::uint16_t port)
{
    out += static_cast<char>(port >> 8);
    out += static_cast<char>(port & 0xFF);
}

const TErrorCode& Socks5ReplyError(std::uint8_t rep)
{
    switch (rep) {
    case 1: return SocksError::GeneralFailure;
    case 2: return SocksError::NotAllowed;
    case 3: return SocksError::NetworkUnreachable;
    case 4: return SocksError::HostUnreachable;
    case 5: return SocksError::ConnectionRefused;
    case 6: return SocksError::TtlExpired;
    case 7: return SocksError::CommandNotSupported;
    case 8: return SocksError::AddressTypeNotSupported;
    default: return SocksError::Unassigned;
    }
}

TSocksStep Unassigned(std::uint8_t code)
{
    TSocksStep step{TSocksStep::Failed, std::nullopt, {}, SocksError::Unassigned.number, SocksError::Unassigned.text, 0};
    step.text += std::to_string(code);
    return step;
}

TSocksStep Sending(std::string bytes, std::optional<TSocksAuthState> auth = std::nullopt)
{
    TSocksStep step;
    step.kind = TSocksStep::Send;
    step.auth = auth;
    step.bytes = std::move(bytes);
    return step;
}

}  // namespace

const char* to_string(TSocksExchange::Stage stage) noexcept
{
    switch (stage) {
    case TSocksExchange::Stage::Idle: return "Idle";
    case TSocksExchange::Stage::ConnectingToProxy: return "ConnectingToProxy";
    case TSocksExchange::Stage::AwaitingMethod: return "AwaitingMethod";
    case TSocksExchange::Stage::AwaitingAuth: return "AwaitingAuth";
    case TSocksExchange::Stage::AwaitingConnect: return "AwaitingConnect";
    }
    return "?";
}

TSocksStep TSocksExchange::Failure(const TErrorCode& code, std::optional<TSocksAuthState> auth)
{
    return {TSocksStep::Failed, auth, {}, code.number, code.text, 0};
}

void TSocksExchange::Begin(TSocksRequest request)
{
    request_ = std::move(request);
    stage_ = Stage::ConnectingToProxy;
    replyCount_ = 0;
}

void TSocksExchange::Stop() noexcept
{
    stage_ = Stage::Idle;
}

TSocksStep TSocksExchange::ProxyConnected()
{
    if (request_.level4)
        return ConnectRequest();
    //  VER       1 byte   5
    //  NMETHODS  1 byte   1
    //  METHODS   1 byte   0 (no authentication) or 2 (user name and password)
    stage_ = Stage::AwaitingMethod;
    std::string offer;
    offer += static_cast<char>(kSocks5Version);
    offer += static_cast<char>(1);
    offer += static_cast<char>(request_.offerPassword ? kMethodUserPass : kMethodNone);
    return Sending(std::move(offer));
}

std::span<char> TSocksExchange::Room() noexcept
{
    const std::size_t limit =
        stage_ == Stage::AwaitingConnect && request_.level4 ? kSocks4ReplyLength : kReplyArea - 1;
    return {reply_.data() + replyCount_, limit > replyCount_ ? limit - replyCount_ : 0};
}

TSocksStep TSocksExchange::Received(std::size_t n)
{
    replyCount_ += std::min(n, Room().size());
    switch (stage_) {
    case Stage::AwaitingMethod: return MethodReply();
    case Stage::AwaitingAuth: return AuthReply();
    case Stage::AwaitingConnect: return request_.level4 ? ConnectReply4() : ConnectReply5();
    case Stage::Idle:
    case Stage::ConnectingToProxy: break;
    }
    return Failure(SocksError::InternalError);
}

TSocksStep TSocksExchange::MethodReply()
{
    //  VER     1 byte   5
    //  METHOD  1 byte   0, 2, or 0xFF (no acceptable method)
    if (replyCount_ < 2)
        return {};
    replyCount_ = 0;
    const auto version = static_cast<std::uint8_t>(reply_[0]);
    const auto method = static_cast<std::uint8_t>(reply_[1]);
    if (version != kSocks5Version)
        return Failure(SocksError::VersionError);
    if (method == kMethodNone) {
        TSocksStep step = ConnectRequest();
        if (request_.offerPassword)
            step.auth = socksAuthNotNeeded;
        return step;
    }
    // A proxy that picks the password method we did not offer would get credentials the
    // application never meant to send.
    if (method == kMethodUserPass && request_.offerPassword)
        return AuthRequest();
    return Failure(SocksError::MethodNotAcceptable);
}

TSocksStep TSocksExchange::AuthRequest()
{
    //  VER     1 byte   1
    //  ULEN    1 byte   then UNAME, ULEN bytes
    //  PLEN    1 byte   then PASSWD, PLEN bytes
    stage_ = Stage::AwaitingAuth;
    std::string request;
    request += static_cast<char>(kAuthVersion);
    request += static_cast<char>(request_.usercode.size());
    request += request_.usercode;
    request += static_cast<char>(request_.password.size());
    request += request_.password;
    return Sending(std::move(request), socksAuthBegin);
}

TSocksStep TSocksExchange::AuthReply()
{
    //  VER     1 byte   1
    //  STATUS  1 byte   0 success
    if (replyCount_ >= 1 && static_cast<std::uint8_t>(reply_[0]) != kAuthVersion)
        return Failure(SocksError::VersionError, socksAuthFailed);
    if (replyCount_ > 2)
        return Failure(SocksError::TooMuchData, socksAuthFailed);
    if (replyCount_ < 2)
        return {};
    if (reply_[1] != 0)
        return Failure(SocksError::AuthFailed, socksAuthFailed);
    replyCount_ = 0;
    TSocksStep step = ConnectRequest();
    step.auth = socksAuthSucceeded;
    return step;
}

TSocksStep TSocksExchange::ConnectRequest()
{
    stage_ = Stage::AwaitingConnect;
    const std::string& host = request_.host;
    std::string request;
    if (request_.level4) {
        //  VN       1 byte   4
        //  CD       1 byte   1 (connect)
        //  DSTPORT  2 bytes  network order
        //  DSTIP    4 bytes  network order; 0.0.0.1 for 4A (the proxy resolves the name)
        //  USERID   n bytes  then a zero byte
        //  (4A) HOSTNAME n bytes then a zero byte
        const std::uint32_t address = request_.level4A ? platform::ws::inet_addr("0.0.0.1") : request_.address;
        request += static_cast<char>(kSocks4Version);
        request += static_cast<char>(kCmdConnect);
        PutPort(request, request_.port);
        request.append(reinterpret_cast<const char*>(&address), 4);
        request += request_.usercode;
        request += '\0';
        if (request_.level4A) {
            request += host;
            request += '\0';
        }
        return Sending(std::move(request));
    }
    //  VER   1 byte   5
    //  CMD   1 byte   1 (connect)
    //  RSV   1 byte   0
    //  ATYP  1 byte   3 (domain name), also for a dotted address; 4 for an IPv6 address
    //  DST.ADDR       length byte, then the name; or the 16 bytes of the IPv6 address
    //  DST.PORT       2 bytes, network order
    request += static_cast<char>(kSocks5Version);
    request += static_cast<char>(kCmdConnect);
    request += '\0';
    if (const auto literal = platform::ws::ParseIpLiteral(host); literal && literal->family == AF_INET6) {
        request += static_cast<char>(kAtypIPv6);
        request.append(reinterpret_cast<const char*>(literal->bytes.data()), 16);
    } else {
        request += static_cast<char>(kAtypDomain);
        request += static_cast<char>(host.size());
        request += host;
    }
    PutPort(request, request_.port);
    return Sending(std::move(request));
}

TSocksStep TSocksExchange::ConnectReply4()
{
    //  VN       1 byte   0
    //  CD       1 byte   90 granted, 91 rejected, 92 no identd, 93 user id mismatch
    //  DSTPORT  2 bytes, DSTIP 4 bytes (ignored)
    if (replyCount_ < kSocks4ReplyLength)
        return {};
    replyCount_ = 0;
    const auto cd = static_cast<std::uint8_t>(reply_[1]);
    if (reply_[0] != 0)
        return Failure(SocksError::VersionError);
    switch (cd) {
    case 90: stage_ = Stage::Idle; return {TSocksStep::Connected, std::nullopt, {}, 0, {}, kSocks4ReplyLength};
    case 91: return Failure(SocksError::Rejected);
    case 92: return Failure(SocksError::ConnectionRefused);
    case 93: return Failure(SocksError::Socks4AuthFailed);
    default: return Unassigned(cd);
    }
}

TSocksStep TSocksExchange::ConnectReply5()
{
    //  VER       1 byte   5
    //  REP       1 byte   0 succeeded, else the failure
    //  RSV       1 byte
    //  ATYP      1 byte   1 IPv4 (4 bytes), 3 domain (length byte + name), 4 IPv6 (16 bytes)
    //  BND.ADDR, BND.PORT (2 bytes): not kept
    if (replyCount_ >= 1 && static_cast<std::uint8_t>(reply_[0]) != kSocks5Version)
        return Failure(SocksError::VersionError);
    if (replyCount_ >= 2 && reply_[1] != 0) {
        const auto rep = static_cast<std::uint8_t>(reply_[1]);
        const TErrorCode& code = Socks5ReplyError(rep);
        return code.number == SocksError::Unassigned.number ? Unassigned(rep) : Failure(code);
    }
    if (replyCount_ < 5)
        return {};
    const auto atyp = static_cast<std::uint8_t>(reply_[3]);
    std::size_t length = 5;
    if (atyp == kAtypIPv4)
        length = 10;
    else if (atyp == kAtypDomain)
        length = static_cast<std::uint8_t>(reply_[4]) + 7u;
    else if (atyp == kAtypIPv6)
        length = 22;
    if (replyCount_ < length)
        return {};
    if (atyp != kAtypIPv4 && atyp != kAtypDomain && atyp != kAtypIPv6)
        return Failure(SocksError::AddressTypeNotSupported);
    stage_ = Stage::Idle;
    return {TSocksStep::Connected, std::nullopt, {}, 0, {}, length};
}

}  // namespace quenlo
