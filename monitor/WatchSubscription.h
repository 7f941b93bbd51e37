// TWatchSubscription: the life cycle of one subscription of the watch (a server and user for all
// their printers, or a single printer) as a machine fed the server's IPP answers. It does no I/O
// and reads no clock: its driver (TWatcher) asks it at every look, sends the request of each Send
// step it gets back over the subscription's client, feeds it the answer, and reads the printers'
// attributes when a step says they are due.
//
//     step = subscription.Look(now);             // Subscribe, Renew, Notifications, or LookAtAll
//     send step.body; step = subscription.Answered(body, now);   // when the server answered
//
// Subscribing asks for Create-Printer-Subscriptions; subscribed, every look asks Get-Notifications
// (Renew-Subscription when half the lease is over); a subscription the server lost is made again;
// one refused on a server's root goes to each printer (SubscribeEach); a server full of
// subscriptions is asked again after a pause that doubles while it stays full; anything else
// refused leaves the printers polled.
#pragma once

#include "ipp/IppRequest.h"
#include "ipp/IppSubscription.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quenlo {

// How a printer is being watched.
enum class WatchMode : std::uint8_t {
    Subscribing,  // no subscription yet: the next look asks for one
    Events,       // subscribed: the looks fetch its events
    Polling,      // refused or not offered: the looks ask for the printer's attributes
};
const char* to_string(WatchMode mode) noexcept;

// The subscription requests.
enum class WatchRequest : std::uint8_t { Subscribe, Renew, Notifications, Cancel };

struct TWatchStep {
    enum Kind : std::uint8_t {
        Idle,           // nothing to do
        Send,           // send `body` (a `request`) to the subscription's URI
        LookAtAll,      // read the attributes of all its printers
        LookAtNamed,    // read the attributes of the printers `events` concern (and of any due)
        SubscribeEach,  // the root refused: each printer takes a subscription of its own
    };
    Kind kind = Idle;
    WatchRequest request = WatchRequest::Subscribe;
    IppMessage body;
    SubscriptionAnswer events;
};

class TWatchSubscription {
public:
    using Clock = std::chrono::steady_clock;

    // The lease asked for each subscription; it is renewed when half of the granted lease is over.
    static constexpr std::int32_t kLeaseSeconds = 300;
    // Every this many looks on events, the printers' attributes are read even without an event.
    static constexpr int kRecheckLooks = 10;
    // A server full of subscriptions is asked again after this pause, doubled at every refusal.
    static constexpr std::chrono::seconds kFullServerPause{60};
    static constexpr std::chrono::seconds kFullServerPauseMax{15 * 60};

    // `uri` is the target of the requests, `interval` the user's time between two looks.
    // `serverWide`: at a server's root (a refusal there sends each printer to its own URI).
    TWatchSubscription(std::string uri, std::string user, bool serverWide, bool pollOnly,
                       std::chrono::seconds interval);

    const std::string& Uri() const noexcept { return uri_; }
    const std::string& User() const noexcept { return user_; }
    bool ServerWide() const noexcept { return serverWide_; }
    WatchMode Mode() const noexcept { return mode_; }
    std::int32_t SubscriptionId() const noexcept { return subscriptionId_; }

    // Never subscribes: every look reads the printers.
    void PollOnly() noexcept;
    // A look is due: its first step.
    TWatchStep Look(Clock::time_point now);
    // The first request of a subscription of its own, for a printer the server's root refused.
    TWatchStep Subscribe();
    // The answer to the request of the last Send step: an IPP message, empty when the server
    // answered with another HTTP status than 200.
    TWatchStep Answered(std::string_view body, Clock::time_point now);
    // One of its printers went unanswered while no request of the subscription was under way: a
    // server that refused subscriptions may be another one when it is back (one that was full
    // waits for its pause).
    void Unreachable() noexcept;
    // Ends the subscription: a Cancel step while there is one to cancel. Call when no request of
    // the subscription is under way.
    TWatchStep Cancel();
    // While ending: the request of the last Send step ended with `answer` (none when the server did
    // not answer). A subscription granted just now is cancelled like the others; nothing else is
    // asked.
    TWatchStep EndedWhileCancelling(std::optional<std::string_view> answer);

private:
    TWatchStep Send(WatchRequest request);
    TWatchStep Subscribed(const SubscriptionAnswer& answer, Clock::time_point now);
    TWatchStep Renewed(const SubscriptionAnswer& answer, Clock::time_point now);
    TWatchStep NotificationsRead(SubscriptionAnswer answer);
    void SetLease(std::int32_t leaseSeconds, Clock::time_point now);

    std::string uri_;
    std::string user_;
    bool serverWide_;
    bool pollOnly_;
    std::chrono::seconds interval_;
    WatchMode mode_;
    WatchRequest awaited_ = WatchRequest::Subscribe;  // of the last Send step
    std::int32_t subscriptionId_ = 0;
    std::int32_t nextSequence_ = 1;
    bool leaseEnds_ = false;
    Clock::time_point renewAt_{};
    // While the server is full of subscriptions: when it is asked again, and the pause after that.
    std::optional<Clock::time_point> retryAt_;
    std::chrono::seconds retryPause_ = kFullServerPause;
    int quietLooks_ = 0;  // looks on events since all its printers' attributes were read
};

}  // namespace quenlo
