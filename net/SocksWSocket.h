// TCustomSocksWSocket: the layer of the socket chain that reaches the target through a SOCKS proxy
// of level 4, 4A or 5 (SOCKS 5 with optional user name and password authentication). With
// SocksServer empty (the only use in Quenlo) every operation passes straight through to
// TCustomWSocket.
//
// Use: set Addr and Port to the target, SocksServer and SocksPort to the proxy, optionally
// SocksLevel, SocksUsercode, SocksPassword and SocksAuthentication, then Connect. Connect connects
// to the proxy instead of the target, negotiates, and only then reports OnSessionConnected, so the
// rest of the socket behaves as if it had connected directly:
//
//     OnSocksConnected(0)                  the TCP connection to the proxy is up
//     OnSocksAuthState(socksAuthBegin)     SOCKS 5 with socksAuthenticateUsercode, if the proxy
//     OnSocksAuthState(socksAuthSucceeded)   asks for the password (socksAuthNotNeeded if not)
//     OnSessionConnected(0)                the target is reached; Send and Receive as usual
//
// A failed negotiation never throws; it arrives as
//
//     OnSocksError(code, msg)  OnSessionConnected(code)  OnSessionClosed(code)
//
// (for 20017 without OnSessionConnected), and the socket is closed. A failed TCP connection to the
// proxy is OnSocksConnected(error), OnSessionConnected(error), then the usual close.
//
// Codes and messages of OnSocksError: net/ErrorCodes.h (SocksError). "data receive error" comes
// with the error the read notification itself carries.
//
// Refusals (through ReportError: an ESocketException, or OnError when assigned), all before
// anything is sent:
//   - changing SocksServer, SocksPort or SocksLevel outside wsClosed;
//   - SocksLevel other than "4", "4A", "4a" or "5";
//   - Connect with Proto other than tcp: "tcp is the only protocol supported thru socks server";
//   - Listen with a SOCKS server: "listening is not supported thru socks server";
//   - Connect with a user code, password or host name that does not fit the request:
//       level 4: a user code of at most 119 bytes;
//       level 4A: user code and host name of at most 118 bytes together;
//       level 5: a host name of at most 121 bytes; with socksAuthenticateUsercode a user code and
//         a password of 1 to 255 bytes each and at most 125 bytes together;
//     and, for level 4 and 4A, no zero byte inside them (the request ends its fields with one).
//
// After every close SocksServer and SocksPort are empty and SocksLevel is "5" again (set them
// again before the next Connect, like Addr and Port); the user code, password and authentication
// choice keep their values.
//
// The proxy's bound address and port in its reply are not kept. Bytes of the target that arrive
// together with the SOCKS 5 reply are served by Receive (and counted by RcvdCount) before anything
// else is read from the connection. OnDataSent does not fire while the negotiation runs: the
// application has sent nothing yet.
//
// The negotiation itself is a TSocksFilter (net/SocksFilter.h) over the socket's own sending and
// receiving; this class connects, refuses, looks up the level 4 target and fires the events.
#pragma once

#include "net/CustomWSocket.h"
#include "net/HttpFilter.h"
#include "net/SocksExchange.h"

#include <cstdint>
#include <functional>
#include <string>

namespace quenlo {

enum TSocksAuthentication : std::uint8_t {
    socksNoAuthentication = 0,
    socksAuthenticateUsercode = 1,  // user name and password (SOCKS 5 only)
};

// "socksAuthBegin" and so on; "?" for a value outside the enumeration.
const char* to_string(TSocksAuthState state) noexcept;

class TSocksFilter;

class TCustomSocksWSocket : public TCustomWSocket, private THttpChainListener {
public:
    using TSocksConnected = std::function<void(TCustomWSocket& sender, std::uint16_t error)>;
    using TSocksError = std::function<void(TCustomWSocket& sender, int error, const std::string& msg)>;
    using TSocksAuthStateEvent = std::function<void(TCustomWSocket& sender, TSocksAuthState authState)>;

    explicit TCustomSocksWSocket(TComponent* owner = nullptr);

    // ----- Events -----
    // The TCP connection to the proxy completed (0) or failed (the system's error), before any
    // negotiation. May close or destroy the socket.
    TSocksConnected OnSocksConnected;
    // The negotiation failed with one of the codes above; OnSessionConnected(code) and
    // OnSessionClosed(code) follow unless the handler closed or destroyed the socket.
    TSocksError OnSocksError;
    // Progress of SOCKS 5 user name and password authentication: socksAuthBegin when the request
    // goes out, then socksAuthSucceeded or socksAuthFailed (also when the proxy closes while it is
    // pending); socksAuthNotNeeded when the password was offered but the proxy did not want it.
    TSocksAuthStateEvent OnSocksAuthState;

    // ----- Properties -----
    // The proxy's host; stored trimmed; non-empty switches SOCKS on for the next Connect.
    const std::string& SocksServer() const noexcept { return socksServer_; }
    virtual void SetSocksServer(const std::string& value);
    // The proxy's port (number or service name); stored trimmed.
    const std::string& SocksPort() const noexcept { return socksPort_; }
    virtual void SetSocksPort(const std::string& value);
    // "4", "4A" or "5" (the default); "4a" reads back as "4A".
    const std::string& SocksLevel() const noexcept { return socksLevel_; }
    void SetSocksLevel(const std::string& value);
    // Level 4/4A: the user id of the request. Level 5: the user name of the authentication.
    const std::string& SocksUsercode() const noexcept { return socksUsercode_; }
    void SetSocksUsercode(const std::string& value) { socksUsercode_ = value; }
    const std::string& SocksPassword() const noexcept { return socksPassword_; }
    void SetSocksPassword(const std::string& value) { socksPassword_ = value; }
    // socksAuthenticateUsercode offers user name and password authentication (level 5 only).
    TSocksAuthentication SocksAuthentication() const noexcept { return socksAuthentication_; }
    void SetSocksAuthentication(TSocksAuthentication value) noexcept { socksAuthentication_ = value; }

    // ----- Operations -----
    // With SocksServer set: refusals above, then resolves the proxy (SocksServer, SocksPort) and
    // the target port, and connects to the proxy. Without: TCustomWSocket::Connect.
    void Connect() override;
    // Refused with a SOCKS server set.
    void Listen() override;
    // Bytes of the target left over from the proxy's reply when there are any, else the system's
    // count.
    int RcvdCount() override;
    // Everything waiting now as a text, the leftover bytes of the reply first.
    std::string ReceiveText() override;

protected:
    void ResetDefaults() override;
    void TriggerSessionConnected(std::uint16_t error) override;
    void TriggerSessionClosed(std::uint16_t error) override;
    void DoClose(bool shut, std::uint16_t error) override;
    bool TriggerDataAvailable(std::uint16_t error) override;
    void TriggerDataSent(std::uint16_t error) override;
    int DoRecv(void* buffer, int bufferSize, int flags) override;

    virtual void TriggerSocksConnected(std::uint16_t error);
    virtual void TriggerSocksError(int error, const std::string& msg);
    void TriggerSocksAuthState(TSocksAuthState authState);

    // True while the proxy is being negotiated with (from Connect until it succeeds or fails).
    bool SocksNegotiating() const noexcept;
    // Leftover bytes of the target not yet read.
    int SocksLeftover() const noexcept;

private:
    class TRawEnd;

    bool UsesSocks() const noexcept { return !socksServer_.empty(); }
    bool LevelIs4() const noexcept { return socksLevel_[0] == '4'; }
    bool AwaitingAuth() const noexcept;
    // The text of a refusal when the fields do not fit the requests, else empty.
    std::string CheckFieldSizes() const;
    bool LookUpSocks4Target();
    // Every failure of the negotiation leaves through here.
    void Fail(int code, const std::string& msg);
    // The target is reached: OnSessionConnected(0), then the leftover bytes.
    void Succeed();

    // What the SOCKS layer tells: only its outcome matters here, the socket reports the rest.
    void ChainLookupDone(std::uint16_t) override {}
    void ChainConnected(std::uint16_t) override {}
    void ChainOpened() override { Succeed(); }
    void ChainReadable() override {}
    void ChainSent() override {}
    void ChainClosed(std::uint16_t) override {}
    void ChainProgress() override {}
    void ChainFailed(const THttpFilterFailure& failure) override { Fail(failure.code, failure.text); }

    std::string socksServer_;
    std::string socksPort_;
    std::string socksLevel_ = "5";
    std::string socksUsercode_;
    std::string socksPassword_;
    TSocksAuthentication socksAuthentication_ = socksNoAuthentication;

    // The socket's own sending and receiving, and above it the SOCKS layer of the last Connect.
    // The layer stays until the next Connect, which may come from a handler it called.
    THttpChain chain_;
    TSocksFilter* socks_ = nullptr;  // that layer while it serves the connection
    bool remoteIsProxy_ = false;  // the remote record holds the proxy, not the target
};

}  // namespace quenlo
