#include "monitor/Overview.h"

#include "monitor/Watcher.h"
#include "net/HttpUrl.h"

#include <algorithm>
#include <numeric>
#include <tuple>

namespace quenlo {

std::string ServerText(const TAList& entry)
{
    const TUrlParts server = SplitUrl(entry.remotehost, TUrlStart::Host);
    return server.Host + ":" + (server.Port.empty() ? std::string("80") : server.Port);
}

std::string LineText(const WatchState& state)
{
    const std::string line = WatchLine(state, "");
    return line.starts_with(" - ") ? line.substr(3) : line;
}

void StartOneLook(TWatcher& watcher)
{
    watcher.PollOnly();
    watcher.LimitServersAtOnce(kServersAtOnce);
    watcher.Start();
    watcher.Stop();
}

OverviewRow OverviewRowOf(const TAList& entry, const WatchState& state)
{
    const std::vector<PrinterAlert> alerts = WatchAlerts(state);
    return OverviewRow{
        .known = state.looked,
        .lamp = WatchLamp(state),
        .name = entry.name,
        .server = ServerText(entry),
        .line = LineText(state),
        .jobs = state.jobs,
        .errors = AlertTexts(alerts, ReasonLevel::Error),
        .warnings = AlertTexts(alerts, ReasonLevel::Warning),
        .supplies = state.says.supplies,
    };
}

std::vector<OverviewRow> OverviewRows(const TWatcher& watcher)
{
    std::vector<OverviewRow> rows;
    rows.reserve(watcher.Count());
    for (std::size_t i = 0; i < watcher.Count(); ++i)
        rows.push_back(OverviewRowOf(watcher.Printer(i), watcher.State(i)));
    return rows;
}

OverviewSummary SummaryOf(const TWatcher& watcher)
{
    std::size_t green = 0, yellow = 0, red = 0, waiting = 0;
    for (std::size_t i = 0; i < watcher.Count(); ++i) {
        const WatchState& state = watcher.State(i);
        if (!state.looked) {
            ++waiting;
            continue;
        }
        const Lamp lamp = WatchLamp(state);
        ++(lamp == Lamp::Green ? green : lamp == Lamp::Yellow ? yellow : red);
    }
    OverviewSummary summary;
    summary.status = std::string(kOverviewCaption) + ": " + std::to_string(watcher.Count());
    summary.printers = std::to_string(green) + " rendben, " + std::to_string(yellow) + " figyelmeztetéssel, " +
                       std::to_string(red) + " hibás";
    if (waiting > 0)
        summary.printers += ", " + std::to_string(waiting) + " válaszra vár";
    summary.lamp = red > 0 ? Lamp::Red : yellow + waiting > 0 ? Lamp::Yellow : Lamp::Green;
    return summary;
}

namespace {

// Red first: the printers that need the administrator lead.
int LampRank(Lamp lamp) { return lamp == Lamp::Red ? 0 : lamp == Lamp::Yellow ? 1 : 2; }

std::int32_t EmptiestSupply(const OverviewRow& row)
{
    std::int32_t lowest = -1;
    for (const Supply& s : row.supplies)
        if (s.level >= 0 && (lowest < 0 || s.level < lowest))
            lowest = s.level;
    return lowest;
}

// -1, 0 or 1 as a is before, with or after b in the ascending order.
int Compare(const OverviewRow& a, const OverviewRow& b, OverviewColumn column)
{
    const auto order = [](const auto& x, const auto& y) { return x < y ? -1 : y < x ? 1 : 0; };
    switch (column) {
    case OverviewColumn::Lamp: return order(LampRank(a.lamp), LampRank(b.lamp));
    case OverviewColumn::Name: return order(a.name, b.name);
    case OverviewColumn::Server: return order(a.server, b.server);
    case OverviewColumn::Line: return order(a.line, b.line);
    case OverviewColumn::Jobs: return order(a.jobs, b.jobs);
    case OverviewColumn::Alerts: return order(std::tie(a.errors, a.warnings), std::tie(b.errors, b.warnings));
    case OverviewColumn::Supplies: return order(EmptiestSupply(a), EmptiestSupply(b));
    }
    return 0;
}

}  // namespace

std::vector<std::size_t> OverviewOrder(const std::vector<OverviewRow>& rows, OverviewColumn column, bool descending)
{
    std::vector<std::size_t> order(rows.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        const int c = Compare(rows[a], rows[b], column);
        return descending ? c > 0 : c < 0;
    });
    return order;
}

}  // namespace quenlo
