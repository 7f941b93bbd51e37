// TCustomSocksWSocket: the layer of the socket chain that can reach the target through a SOCKS
// proxy. With SocksServer empty (the only use in Quenlo) every operation passes straight through
// to TCustomWSocket. The negotiation itself is not built yet: Connect with a SocksServer set is
// refused with "SOCKS proxy connections are not supported yet" rather than silently connecting
// directly.
#pragma once

#include "net/CustomWSocket.h"

#include <cstdint>
#include <functional>
#include <string>

namespace quenlo {

enum TSocksAuthentication : std::uint8_t {
    socksNoAuthentication = 0,
    socksAuthenticateUsercode = 1,  // user name and password (SOCKS 5 only)
};

enum TSocksAuthState : std::uint8_t {
    socksAuthBegin = 0,       // the request is being sent
    socksAuthSucceeded = 1,
    socksAuthFailed = 2,
    socksAuthNotNeeded = 3,   // the proxy chose no authentication although it was offered
};

class TCustomSocksWSocket : public TCustomWSocket {
public:
    using TSocksConnected = std::function<void(TCustomWSocket& sender, std::uint16_t error)>;
    using TSocksError = std::function<void(TCustomWSocket& sender, int error, const std::string& msg)>;
    using TSocksAuthStateEvent = std::function<void(TCustomWSocket& sender, TSocksAuthState authState)>;

    explicit TCustomSocksWSocket(TComponent* owner = nullptr);

    // The TCP connection to the proxy completed or failed, before any negotiation.
    TSocksConnected OnSocksConnected;
    // Negotiation failed with the code and its message.
    TSocksError OnSocksError;
    // Progress of SOCKS 5 user name and password authentication.
    TSocksAuthStateEvent OnSocksAuthState;

    // Refused outside wsClosed with "Can't change socks server if not closed"; stored trimmed; a
    // non-empty value switches SOCKS on. Cleared by every close.
    const std::string& SocksServer() const noexcept { return socksServer_; }
    virtual void SetSocksServer(const std::string& value);
    // Refused outside wsClosed with "Can't change socks port if not closed"; stored trimmed.
    const std::string& SocksPort() const noexcept { return socksPort_; }
    virtual void SetSocksPort(const std::string& value);
    // "4", "4A" or "5" (default, restored by every close); refused outside wsClosed with
    // "Can't change socks level if not closed", other values with
    // "Invalid socks level. Must be 4, 4A or 5.".
    const std::string& SocksLevel() const noexcept { return socksLevel_; }
    void SetSocksLevel(const std::string& value);
    const std::string& SocksUsercode() const noexcept { return socksUsercode_; }
    void SetSocksUsercode(const std::string& value) { socksUsercode_ = value; }
    const std::string& SocksPassword() const noexcept { return socksPassword_; }
    void SetSocksPassword(const std::string& value) { socksPassword_ = value; }
    TSocksAuthentication SocksAuthentication() const noexcept { return socksAuthentication_; }
    void SetSocksAuthentication(TSocksAuthentication value) noexcept { socksAuthentication_ = value; }

    void Connect() override;
    void Listen() override;
    int RcvdCount() override;

protected:
    void ResetDefaults() override;
    void TriggerSessionConnected(std::uint16_t error) override;
    void TriggerSessionClosed(std::uint16_t error) override;
    bool TriggerDataAvailable(std::uint16_t error) override;
    int DoRecv(void* buffer, int bufferSize, int flags) override;

    virtual void TriggerSocksConnected(std::uint16_t error);
    virtual void TriggerSocksError(int error, const std::string& msg);

private:
    std::string socksServer_;
    std::string socksPort_;
    std::string socksLevel_ = "5";
    std::string socksUsercode_;
    std::string socksPassword_;
    TSocksAuthentication socksAuthentication_ = socksNoAuthentication;
};

}  // namespace quenlo
