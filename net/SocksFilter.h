// TSocksFilter: the layer of a connection that reaches the target through a SOCKS proxy. Its layer
// below is connected to the proxy; opening drives a TSocksExchange: the exchange's requests go down,
// the proxy's replies come up, until the target is reached (Opened) or the negotiation fails
// (ChainFailed with the code and text of SocksError). Once open it carries the target's bytes,
// first those that came with the proxy's reply.
//
// Level 4 carries the target's IPv4 address: whoever builds the layer looks it up and sets it
// before the opening starts. The states of user name and password authentication, which no other
// layer has, go to the observer the layer is given.
#pragma once

#include "net/HttpFilter.h"
#include "net/SocksExchange.h"

#include <functional>
#include <memory>
#include <string_view>

namespace quenlo {

class TSocksFilter final : public THttpFilter {
public:
    // Hears an authentication state; returns false when the negotiation is not to go on (its
    // connection was closed meanwhile). It may destroy the layer.
    using TAuthObserver = std::function<bool(TSocksAuthState state)>;

    TSocksFilter(THttpFilter& below, THttpChainListener& listener, TSocksRequest request,
                 TAuthObserver observer = {});

    void SetSocks4Address(std::uint32_t address) noexcept { exchange_.SetSocks4Address(address); }
    TSocksExchange::Stage Stage() const noexcept { return exchange_.CurrentStage(); }
    bool Negotiating() const noexcept { return exchange_.Negotiating(); }
    // The target's bytes that came with the proxy's reply and are not read yet.
    std::string_view Leftover() const noexcept;
    // Ends the negotiation and forgets the leftover bytes, reporting nothing.
    void Stop() noexcept;
    // The connection ended while the layer opens: an authentication still pending has failed.
    void ConnectionEnded();

    int Receive(void* buffer, int size) override;
    void StartOpening() override;
    void ContinueOpening() override;

private:
    // Carries out what the exchange decided: reports, sends, fails or opens.
    void Carry(const TSocksStep& step);
    // False when the observer ended the negotiation or destroyed the layer.
    bool Report(TSocksAuthState state, bool evenIfEnded);

    TSocksExchange exchange_;
    TAuthObserver observer_;
    std::size_t leftoverPos_ = 0;
    std::size_t leftoverEnd_ = 0;
    std::shared_ptr<const int> alive_ = std::make_shared<const int>(0);
};

}  // namespace quenlo
