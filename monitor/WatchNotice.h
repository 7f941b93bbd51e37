// TWatchNotices: when the watch tells the user that a printer's lamp has changed.
//
// A lamp is announced only once the printer has shown it for one whole watch interval (a printer
// that flickers between looks says nothing), and a printer is announced at most once a minute; a
// lamp held back by that minute is announced when the minute is over, if the printer still shows
// it. Every printer starts as green and announced, so a printer that is red or yellow from the
// start is announced once it has stayed so for an interval; one that is green says nothing.
//
// No clock of its own: the caller passes the time to every call, so any clock (and a test's) will
// do. Nothing here is thread-safe.
#pragma once

#include "monitor/MonitorView.h"

#include <chrono>
#include <cstddef>
#include <optional>
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
    std::optional<Lamp> Update(std::size_t index, Lamp lamp, Clock::time_point now);

private:
    struct Printer {
        Lamp announced = Lamp::Green;
        Lamp seen = Lamp::Green;
        Clock::time_point seenSince{};
        std::optional<Clock::time_point> lastNotice;
    };

    std::chrono::milliseconds interval_;
    std::vector<Printer> printers_;
};

}  // namespace quenlo
