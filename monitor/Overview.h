// The overview of every printer of the file: what one look, or the watch, knows of each, as the
// rows the administrator's window and `quenlo-cli status` show.
#pragma once

#include "config/PrintersFile.h"
#include "monitor/WatchState.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quenlo {

class TWatcher;

// One look asks at most this many servers at once, each of the others as one is done: a look at
// dozens of servers, some of which never answer, neither floods the network nor waits in a line.
inline constexpr std::size_t kServersAtOnce = 4;

// "host:port" of the entry's server; a remotehost without a port is spoken to on port 80.
std::string ServerText(const TAList& entry);
// The printer line without the name: every form of it follows the name with " - ".
std::string LineText(const WatchState& state);
// Starts one look at every printer of the watcher: attributes only, no subscription, at most
// kServersAtOnce servers at once, and no look after it. The watcher's interval is each request's
// time limit. Call on a watcher that has not started.
void StartOneLook(TWatcher& watcher);

// The selector's first item in the administrator's window.
inline constexpr const char* kOverviewCaption = "Összes nyomtató";

// One printer's row.
struct OverviewRow {
    bool known = false;      // looked at: its lamp says something (the selector shows it only then)
    Lamp lamp = Lamp::Red;
    std::string name;
    std::string server;      // host:port
    std::string line;        // the printer line without the name
    std::int32_t jobs = -1;  // jobs not completed; -1 when not known
    std::string errors;      // the watch's alert texts of each level, joined with "; "
    std::string warnings;
    std::vector<Supply> supplies;

    bool operator==(const OverviewRow&) const = default;
};
OverviewRow OverviewRowOf(const TAList& entry, const WatchState& state);
// The rows of every printer of the watcher, in the file's order.
std::vector<OverviewRow> OverviewRows(const TWatcher& watcher);

// The labels above the rows: the caption with the count of printers, how many are well, warn or
// fail (and wait for their answer), and the worst lamp; a printer not looked at yet counts as yellow.
struct OverviewSummary {
    std::string status;
    std::string printers;
    Lamp lamp = Lamp::Green;
};
OverviewSummary SummaryOf(const TWatcher& watcher);

enum class OverviewColumn : std::uint8_t { Lamp, Name, Server, Line, Jobs, Alerts, Supplies };
struct OverviewColumnDesign {
    OverviewColumn column;
    const char* caption;
    int width;
};
inline constexpr std::array<OverviewColumnDesign, 7> kOverviewColumns{{
    {OverviewColumn::Lamp, "", 24},
    {OverviewColumn::Name, "nyomtató", 90},
    {OverviewColumn::Server, "szerver", 110},
    {OverviewColumn::Line, "állapot", 130},
    {OverviewColumn::Jobs, "feladat", 45},
    {OverviewColumn::Alerts, "hibák, figyelmeztetések", 125},
    {OverviewColumn::Supplies, "kellékek", 76},
}};

// The rows' indices in the order a click on `column`'s header shows them. Ascending: the lamps red,
// yellow, green; jobs and the emptiest supply by number (not known: first); texts by their bytes;
// alerts by the errors, then the warnings. Descending turns the order of the values round, never
// that of equal rows: ties stay in the file's order either way.
std::vector<std::size_t> OverviewOrder(const std::vector<OverviewRow>& rows, OverviewColumn column, bool descending);

}  // namespace quenlo
