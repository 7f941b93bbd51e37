// TSocksExchange: the SOCKS 4, 4A and 5 negotiation with a proxy (SOCKS 5 with optional user name
// and password authentication) as a machine fed bytes. It does no I/O and calls nobody: its
// driver (TSocksFilter) says when the connection to the proxy is up, reads the proxy's
// bytes into Room(), and carries out each TSocksStep it gets back: report an authentication
// state, send bytes, give up, or go on with the target reached.
//
//     exchange.Begin(request);                 // Stage() == ConnectingToProxy
//     step = exchange.ProxyConnected();        // the first request to send
//     n = read(exchange.Room()); step = exchange.Received(n);   // until Connected or Failed
#pragma once

#include "net/ErrorCodes.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quenlo {

enum TSocksAuthState : std::uint8_t {
    socksAuthBegin = 0,       // the request is being sent
    socksAuthSucceeded = 1,
    socksAuthFailed = 2,
    socksAuthNotNeeded = 3,   // the proxy chose no authentication although it was offered
};

struct TSocksRequest {
    bool level4 = false;        // "4" or "4A" (else 5)
    bool level4A = false;
    bool offerPassword = false; // level 5: offer user name and password authentication
    std::string usercode;       // level 4/4A: the user id; level 5: the user name
    std::string password;
    std::string host;           // the target: a name, a dotted address or an IPv6 literal
    std::uint16_t port = 0;     // host order
    std::uint32_t address = 0;  // level 4: the target's IPv4 address, network order
};

struct TSocksStep {
    enum Kind : std::uint8_t {
        Wait,       // nothing to do until more bytes arrive
        Send,       // send `bytes` to the proxy
        Connected,  // the target is reached; reply bytes from `replyEnd` on are the target's
        Failed,     // the negotiation failed with `code` and `text`
    };
    Kind kind = Wait;
    std::optional<TSocksAuthState> auth;  // to report before doing the rest
    std::string bytes;
    int code = 0;
    std::string text;
    std::size_t replyEnd = 0;
};

class TSocksExchange {
public:
    enum class Stage : std::uint8_t {
        Idle,               // no negotiation (also after it succeeded or failed)
        ConnectingToProxy,  // the TCP connection to the proxy is being made
        AwaitingMethod,     // socks 5: the method offer is sent, its choice expected
        AwaitingAuth,       // socks 5: user name and password sent, the verdict expected
        AwaitingConnect,    // the connect request is sent, its reply expected
    };

    // The longest reply is a SOCKS 5 reply with a 255-byte domain name: 4 + 1 + 255 + 2 bytes.
    static constexpr std::size_t kReplyArea = 512;
    static constexpr std::size_t kSocks4ReplyLength = 8;

    Stage CurrentStage() const noexcept { return stage_; }
    bool Negotiating() const noexcept { return stage_ != Stage::Idle; }

    void Begin(TSocksRequest request);
    // Level 4: the target's address, looked up by the driver once the proxy is reached.
    void SetSocks4Address(std::uint32_t address) noexcept { request_.address = address; }
    TSocksStep ProxyConnected();
    // Where the proxy's next bytes go: no more than the current reply may take (a socks 4 reply
    // is read no further than its end: what follows belongs to the application).
    std::span<char> Room() noexcept;
    // `n` bytes (maybe none) were written to Room(): what they mean.
    TSocksStep Received(std::size_t n);
    // Back to Idle, whatever the stage.
    void Stop() noexcept;
    // The reply bytes read so far (after Connected: the target's bytes from replyEnd on).
    std::string_view Reply() const noexcept { return {reply_.data(), replyCount_}; }

private:
    TSocksStep MethodReply();
    TSocksStep AuthReply();
    TSocksStep ConnectReply4();
    TSocksStep ConnectReply5();
    TSocksStep ConnectRequest();
    TSocksStep AuthRequest();
    static TSocksStep Failure(const TErrorCode& code, std::optional<TSocksAuthState> auth = std::nullopt);

    TSocksRequest request_;
    Stage stage_ = Stage::Idle;
    std::array<char, kReplyArea> reply_{};
    std::size_t replyCount_ = 0;
};

// "Idle", "ConnectingToProxy" and so on.
const char* to_string(TSocksExchange::Stage stage) noexcept;

}  // namespace quenlo
