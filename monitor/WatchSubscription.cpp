#include "monitor/WatchSubscription.h"

#include "ipp/Ipp.h"

#include <algorithm>

namespace quenlo {

namespace {

TWatchStep StepOf(TWatchStep::Kind kind)
{
    TWatchStep step;
    step.kind = kind;
    return step;
}

}  // namespace

const char* to_string(WatchMode mode) noexcept
{
    switch (mode) {
    case WatchMode::Subscribing: return "subscribing";
    case WatchMode::Events: return "events";
    case WatchMode::Polling: return "polling";
    }
    return "?";
}

TWatchSubscription::TWatchSubscription(std::string uri, std::string user, bool serverWide, bool pollOnly,
                                       std::chrono::seconds interval)
    : uri_(std::move(uri)), user_(std::move(user)), serverWide_(serverWide), pollOnly_(pollOnly),
      interval_(interval), mode_(pollOnly ? WatchMode::Polling : WatchMode::Subscribing)
{
}

void TWatchSubscription::PollOnly() noexcept
{
    pollOnly_ = true;
    mode_ = WatchMode::Polling;
}

TWatchStep TWatchSubscription::Look(Clock::time_point now)
{
    switch (mode_) {
    case WatchMode::Subscribing:
        return Send(WatchRequest::Subscribe);
    case WatchMode::Events:
        ++quietLooks_;
        return Send(leaseEnds_ && now >= renewAt_ ? WatchRequest::Renew : WatchRequest::Notifications);
    case WatchMode::Polling:
        if (retryAt_ && now >= *retryAt_) {
            mode_ = WatchMode::Subscribing;
            return Send(WatchRequest::Subscribe);
        }
        return StepOf(TWatchStep::LookAtAll);
    }
    return {};
}

TWatchStep TWatchSubscription::Subscribe() { return Send(WatchRequest::Subscribe); }

TWatchStep TWatchSubscription::Send(WatchRequest request)
{
    TWatchStep step = StepOf(TWatchStep::Send);
    step.request = request;
    switch (request) {
    case WatchRequest::Subscribe:
        step.body = BuildCreatePrinterSubscriptionsRequest(uri_, user_, kLeaseSeconds);
        break;
    case WatchRequest::Renew:
        step.body = BuildRenewSubscriptionRequest(uri_, user_, subscriptionId_, kLeaseSeconds);
        break;
    case WatchRequest::Notifications:
        step.body = BuildGetNotificationsRequest(uri_, user_, subscriptionId_, nextSequence_);
        break;
    case WatchRequest::Cancel:
        step.body = BuildCancelSubscriptionRequest(uri_, user_, subscriptionId_);
        break;
    }
    awaited_ = request;
    return step;
}

TWatchStep TWatchSubscription::Answered(std::string_view body, Clock::time_point now)
{
    switch (awaited_) {
    case WatchRequest::Subscribe: return Subscribed(ReadSubscriptionAnswer(body), now);
    case WatchRequest::Renew: return Renewed(ReadSubscriptionAnswer(body), now);
    case WatchRequest::Notifications: return NotificationsRead(ReadSubscriptionAnswer(body));
    case WatchRequest::Cancel: return {};
    }
    return {};
}

void TWatchSubscription::Unreachable() noexcept
{
    if (mode_ == WatchMode::Polling && !pollOnly_ && !retryAt_)
        mode_ = WatchMode::Subscribing;
}

TWatchStep TWatchSubscription::Cancel()
{
    return subscriptionId_ > 0 ? Send(WatchRequest::Cancel) : TWatchStep{};
}

TWatchStep TWatchSubscription::EndedWhileCancelling(std::optional<std::string_view> answer)
{
    if (awaited_ == WatchRequest::Cancel) {
        subscriptionId_ = 0;
        return {};
    }
    if (awaited_ == WatchRequest::Subscribe && answer) {
        const SubscriptionAnswer granted = ReadSubscriptionAnswer(*answer);
        if (granted.Succeeded() && granted.subscriptionId > 0)
            subscriptionId_ = granted.subscriptionId;
    }
    return Cancel();
}

// notify-get-interval is not kept: the pace stays the user's, and a Get-Notifications costs the
// server little.
TWatchStep TWatchSubscription::Subscribed(const SubscriptionAnswer& answer, Clock::time_point now)
{
    if (answer.Succeeded() && answer.subscriptionId > 0) {
        mode_ = WatchMode::Events;
        subscriptionId_ = answer.subscriptionId;
        nextSequence_ = 1;
        retryAt_.reset();
        retryPause_ = kFullServerPause;
        SetLease(answer.leaseSeconds, now);
    } else if (answer.ServerFull()) {
        // Looks meanwhile; the room other clients need is not taken back at every look.
        mode_ = WatchMode::Polling;
        retryAt_ = now + retryPause_;
        retryPause_ = std::min(2 * retryPause_, std::chrono::seconds(kFullServerPauseMax));
    } else if (serverWide_ && !(answer.walked && answer.statusCode == kIppStatusOperationNotSupported)) {
        mode_ = WatchMode::Polling;
        return StepOf(TWatchStep::SubscribeEach);
    } else {
        mode_ = WatchMode::Polling;
        retryAt_.reset();
    }
    // Events tell only what happens from now on: the state as it is comes from the attributes.
    return StepOf(TWatchStep::LookAtAll);
}

TWatchStep TWatchSubscription::Renewed(const SubscriptionAnswer& answer, Clock::time_point now)
{
    if (!answer.Succeeded()) {
        mode_ = WatchMode::Subscribing;
        subscriptionId_ = 0;
        return Send(WatchRequest::Subscribe);
    }
    SetLease(answer.leaseSeconds >= 0 ? answer.leaseSeconds : kLeaseSeconds, now);
    return Send(WatchRequest::Notifications);
}

TWatchStep TWatchSubscription::NotificationsRead(SubscriptionAnswer answer)
{
    if (!answer.Succeeded()) {
        // A server that lost the subscription (it was restarted, or the lease ran out) gets a new
        // one; any other refusal (another user's subscription, say) leaves the events for good.
        const bool lost = answer.walked && answer.statusCode == kIppStatusNotFound;
        mode_ = lost ? WatchMode::Subscribing : WatchMode::Polling;
        subscriptionId_ = 0;
        return lost ? Send(WatchRequest::Subscribe) : StepOf(TWatchStep::LookAtAll);
    }
    nextSequence_ = answer.NextSequence(nextSequence_);
    // A server tells of some changes only to the other printer (jobs moved away to another queue
    // leave no event of ours): every kRecheckLooks-th look reads them all.
    if (quietLooks_ >= kRecheckLooks) {
        quietLooks_ = 0;
        return StepOf(TWatchStep::LookAtAll);
    }
    TWatchStep step = StepOf(TWatchStep::LookAtNamed);
    step.events = std::move(answer);
    return step;
}

void TWatchSubscription::SetLease(std::int32_t leaseSeconds, Clock::time_point now)
{
    // 0 is a lease without end; an answer without a lease is taken to grant what was asked.
    const std::int32_t granted = leaseSeconds < 0 ? kLeaseSeconds : leaseSeconds;
    leaseEnds_ = granted > 0;
    // Half the lease, but at least one look before its end even with a long interval.
    const auto half = std::chrono::seconds(granted / 2);
    const auto beforeEnd = std::chrono::seconds(granted) - 2 * interval_;
    renewAt_ = now + std::min(half, std::max(beforeEnd, std::chrono::seconds(0)));
}

}  // namespace quenlo
