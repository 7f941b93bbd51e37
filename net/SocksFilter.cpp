#include "net/SocksFilter.h"

#include <algorithm>
#include <cstring>

namespace quenlo {

TSocksFilter::TSocksFilter(THttpFilter& below, THttpChainListener& listener, TSocksRequest request,
                           TAuthObserver observer)
    : THttpFilter(&below, listener), observer_(std::move(observer))
{
    exchange_.Begin(std::move(request));
}

std::string_view TSocksFilter::Leftover() const noexcept
{
    return exchange_.Reply().substr(leftoverPos_, leftoverEnd_ - leftoverPos_);
}

void TSocksFilter::Stop() noexcept
{
    exchange_.Stop();
    leftoverPos_ = leftoverEnd_ = 0;
}

void TSocksFilter::StartOpening() { Carry(exchange_.ProxyConnected()); }

// One read per notification: a socks 4 reply is read no further than its end, and what the
// exchange leaves unread belongs to the layer above.
void TSocksFilter::ContinueOpening()
{
    // A failed or stopped exchange has been reported once: the proxy's close after its refusal,
    // or bytes after it, are no second failure.
    if (exchange_.CurrentStage() == TSocksExchange::Stage::Idle)
        return;
    const std::span<char> room = exchange_.Room();
    const int n = room.empty() ? 0 : Below().Receive(room.data(), static_cast<int>(room.size()));
    Carry(exchange_.Received(n > 0 ? static_cast<std::size_t>(n) : 0));
}

void TSocksFilter::ConnectionEnded()
{
    if (exchange_.CurrentStage() != TSocksExchange::Stage::AwaitingAuth)
        return;
    exchange_.Stop();
    Report(socksAuthFailed, true);
}

bool TSocksFilter::Report(TSocksAuthState state, bool evenIfEnded)
{
    if (!observer_)
        return true;
    // The observer may destroy this layer: it runs from a copy, and nothing here is touched after
    // it unless the layer is still there.
    const TAuthObserver observer = observer_;
    const std::weak_ptr<const int> alive = alive_;
    const bool goOn = observer(state);
    return !alive.expired() && (goOn || evenIfEnded);
}

void TSocksFilter::Carry(const TSocksStep& step)
{
    if (step.auth && !Report(*step.auth, step.kind == TSocksStep::Failed))
        return;
    switch (step.kind) {
    case TSocksStep::Wait:
        return;
    case TSocksStep::Send:
        // A send that fails here ends the connection, which its close reports.
        try {
            Below().Send(step.bytes.data(), step.bytes.size());
        } catch (const std::exception&) {
        }
        return;
    case TSocksStep::Connected: {
        // Bytes of the target that came in the same read as the reply are served before anything
        // below, also to a layer above that reads as soon as this one is open.
        const std::size_t replyLength = exchange_.Reply().size();
        leftoverPos_ = std::min(step.replyEnd, replyLength);
        leftoverEnd_ = replyLength;
        Opened();
        return;
    }
    case TSocksStep::Failed:
        exchange_.Stop();
        Listener().ChainFailed({step.text, static_cast<std::uint16_t>(step.code)});
        return;
    }
}

int TSocksFilter::Receive(void* buffer, int size)
{
    if (leftoverPos_ >= leftoverEnd_ || size <= 0)
        return Below().Receive(buffer, size);
    const std::size_t count = std::min(static_cast<std::size_t>(size), leftoverEnd_ - leftoverPos_);
    std::memcpy(buffer, exchange_.Reply().data() + leftoverPos_, count);
    leftoverPos_ += count;
    return static_cast<int>(count);
}

}  // namespace quenlo
