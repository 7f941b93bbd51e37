// TWatchNotices: when the watch tells the user that a printer's lamp, or the errors it reports,
// have changed, and of its new warnings.
//
// A lamp (with its errors) is announced only once the printer has shown it for one whole watch
// interval (a printer that flickers between looks says nothing), and a printer is announced at most
// once a minute; a lamp held back by that minute is announced when the minute is over, if the
// printer still shows it. Every printer starts as green and announced, so a printer that is red or
// yellow from the start is announced once it has stayed so for an interval; one that is green says
// nothing. A warning is announced once it has been held for an interval, not within a minute after
// the printer's last notice, and again only after it went away; it does not hold back the notices
// that follow it.
//
// A printer whose red or yellow lamp was announced is cleared once it has been green again for one
// interval, without waiting for its minute: closing what was said is no new notice, and an alert
// left standing a minute after the printer recovered misleads. Its green lamp is still announced
// by the minute's rule.
//
// No clock of its own: the caller passes the time to every call, so any clock (and a test's) will
// do. Nothing here is thread-safe.
#pragma once

#include "monitor/MonitorView.h"

#include <chrono>
#include <cstddef>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace quenlo {

class TWatchNotices {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kMinimumGap{60};

    // `printers` printers, `interval`: the watch interval a lamp must be held before it counts.
    TWatchNotices(std::size_t printers, std::chrono::milliseconds interval);

    // The printer's lamp as of `now` (call it at every change and then regularly, at least once a
    // second: held lamps become due only when asked). Returns the lamp to announce now, if any;
    // the caller then shows it, and the printer's next notice waits a minute.
    std::optional<Lamp> Update(std::size_t index, Lamp lamp, Clock::time_point now)
    {
        return Update(index, lamp, {}, now);
    }
    // The same, where `errors` names the printer's error reasons: a change of them counts like a
    // change of the lamp.
    std::optional<Lamp> Update(std::size_t index, Lamp lamp, const std::string& errors, Clock::time_point now);
    // The printer's warnings as of `now` (keys that stay the same while a condition lasts). Returns
    // those to announce now: not announced since they appeared, and only when the printer's minute
    // allows (else they wait for a later call).
    std::vector<std::string> NewWarnings(std::size_t index, const std::vector<std::string>& warnings,
                                         Clock::time_point now);
    // True once when the printer, announced red or yellow, has been green for an interval as of
    // `now` (call it after Update with the same time); again only after its next red or yellow.
    bool Cleared(std::size_t index, Clock::time_point now);

private:
    struct Printer {
        Lamp announced = Lamp::Green;
        Lamp seen = Lamp::Green;
        std::string announcedErrors;
        std::string seenErrors;
        std::set<std::string> warned;                           // announced
        std::map<std::string, Clock::time_point> warnedSeen;    // present, since
        Clock::time_point seenSince{};
        std::optional<Clock::time_point> lastNotice;
        bool alerting = false;  // red or yellow announced, not cleared since

        bool MayAnnounce(Clock::time_point now) const { return !lastNotice || now - *lastNotice >= kMinimumGap; }
    };

    std::chrono::milliseconds interval_;
    std::vector<Printer> printers_;
};

}  // namespace quenlo
