#include "monitor/WatchNotice.h"

namespace quenlo {

TWatchNotices::TWatchNotices(std::size_t printers, std::chrono::milliseconds interval)
    : interval_(interval), printers_(printers) {}

std::optional<Lamp> TWatchNotices::Update(std::size_t index, Lamp lamp, Clock::time_point now)
{
    if (index >= printers_.size())
        return std::nullopt;
    Printer& p = printers_[index];
    if (lamp != p.seen) {
        p.seen = lamp;
        p.seenSince = now;
    }
    if (p.seen == p.announced || now - p.seenSince < interval_)
        return std::nullopt;
    if (p.lastNotice && now - *p.lastNotice < kMinimumGap)
        return std::nullopt;
    p.announced = p.seen;
    p.lastNotice = now;
    return p.announced;
}

}  // namespace quenlo
