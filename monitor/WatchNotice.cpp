#include "monitor/WatchNotice.h"

#include <algorithm>

namespace quenlo {

TWatchNotices::TWatchNotices(std::size_t printers, std::chrono::milliseconds interval)
    : interval_(interval), printers_(printers) {}

std::optional<Lamp> TWatchNotices::Update(std::size_t index, Lamp lamp, const std::string& errors,
                                          Clock::time_point now)
{
    if (index >= printers_.size())
        return std::nullopt;
    Printer& p = printers_[index];
    if (lamp != p.seen || errors != p.seenErrors) {
        p.seen = lamp;
        p.seenErrors = errors;
        p.seenSince = now;
    }
    if ((p.seen == p.announced && p.seenErrors == p.announcedErrors) || now - p.seenSince < interval_)
        return std::nullopt;
    if (!p.MayAnnounce(now))
        return std::nullopt;
    p.announced = p.seen;
    p.announcedErrors = p.seenErrors;
    p.lastNotice = now;
    if (p.announced != Lamp::Green)
        p.alerting = true;
    return p.announced;
}

bool TWatchNotices::Cleared(std::size_t index, Clock::time_point now)
{
    if (index >= printers_.size())
        return false;
    Printer& p = printers_[index];
    if (!p.alerting || p.seen != Lamp::Green || now - p.seenSince < interval_)
        return false;
    p.alerting = false;
    return true;
}

std::vector<std::string> TWatchNotices::NewWarnings(std::size_t index, const std::vector<std::string>& warnings,
                                                    Clock::time_point now)
{
    if (index >= printers_.size())
        return {};
    Printer& p = printers_[index];
    // A warning that went away is announced again when it comes back.
    const auto gone = [&](const std::string& key) {
        return std::find(warnings.begin(), warnings.end(), key) == warnings.end();
    };
    std::erase_if(p.warned, gone);
    std::erase_if(p.warnedSeen, [&](const auto& seen) { return gone(seen.first); });
    std::vector<std::string> fresh;
    for (const std::string& key : warnings) {
        const Clock::time_point since = p.warnedSeen.try_emplace(key, now).first->second;
        if (p.warned.count(key) == 0 && now - since >= interval_)
            fresh.push_back(key);
    }
    if (fresh.empty() || !p.MayAnnounce(now))
        return {};
    // A warning does not start a minute of its own: an error that follows is not held back by it.
    p.warned.insert(fresh.begin(), fresh.end());
    return fresh;
}

}  // namespace quenlo
