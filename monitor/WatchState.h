// What the watch knows of one printer, and how the window and the tray show it.
#pragma once

#include "monitor/MonitorView.h"
#include "monitor/PrinterSays.h"
#include "monitor/RefreshText.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quenlo {

// The printer's queue as one Get-Jobs of its jobs not yet completed tells it.
struct QueueJobs {
    bool known = false;
    // Jobs by job-state: pending, pending-held, processing, processing-stopped (3 to 6).
    std::array<std::int32_t, 4> byState{};
    // How long the oldest pending job had waited when the answer came, by the server's clock; -1
    // when no job is pending.
    std::int64_t oldestPendingSeconds = -1;
    std::chrono::steady_clock::time_point readAt{};

    // The oldest pending job's age at `now` (it keeps ageing between two reads of the queue); -1
    // when none is pending or the queue is not known.
    double OldestPendingAge(std::chrono::steady_clock::time_point now) const;
};

// What a Get-Jobs answer says of the queue (a job without a state in 3 to 6 is not counted);
// known is false unless the answer succeeded.
QueueJobs ReadQueueJobs(std::string_view body, std::chrono::steady_clock::time_point now);

// What the watch knows of one printer.
struct WatchState {
    bool looked = false;     // false until the first look has ended
    bool reachable = false;  // the last look got an HTTP answer
    PrinterRecord printer;   // of the last narrow Get-Printer-Attributes; empty while unreachable
    // What follows the name instead of the printer line when the server answered but refused to
    // show the printer (" - a szerveren nincs ilyen nyomtató", " - kapcsolódva, IPP hiba (...)");
    // empty otherwise.
    std::string refusal;
    std::int32_t jobs = -1;  // queued-job-count, the jobs not yet completed; -1 when not known
    PrinterSays says;        // state reasons and supplies of the last look; empty while unreachable
    // With the "watchdevice" key: what the printer behind the queue says against the queue
    // ("CUPS: idle, accepting jobs / the printer: unreachable"), or why it is not asked; empty when
    // it agrees or is not known yet.
    std::string device;
    bool deviceDisagrees = false;  // `device` is a disagreement, not a note
    // The entry's password went in plain HTTP during the run: its server answered the TLS
    // handshake in plain HTTP.
    bool passwordPlain = false;
    // Where the watcher reads queues (TWatcher::ReadQueues); not compared by SameAs, as a job
    // moving between states changes no printer line.
    QueueJobs queue;
    // printer-make-and-model and printer-location of the last look (not compared by SameAs).
    std::string makeAndModel, location;
    std::chrono::system_clock::time_point changedAt{};  // when the last change was seen
    std::chrono::system_clock::time_point lookedAt{};   // when the last look or event ended

    // Same reachability, printer record, job count, reasons and supplies (the times are not
    // compared).
    bool SameAs(const WatchState& other) const;
};

// The lamp of a watched printer: red while unreachable (or not looked at yet), yellow while the
// server refuses to show it, otherwise the printer lamp of the window (yellow when stopped or not
// accepting jobs, green otherwise), and at least yellow while the printer reports an error reason
// (or disagrees with its queue). Warnings leave the lamp as it is.
Lamp WatchLamp(const WatchState& state);
// The printer's errors and warnings (AlertsOf its reasons and supplies, and a disagreement with the
// printer behind the queue as an error); none while unreachable.
std::vector<PrinterAlert> WatchAlerts(const WatchState& state);
// The state reasons as sent, joined with ","; "none" when the printer sent none, empty while
// unreachable or not looked at yet.
std::string WatchReasons(const WatchState& state);
// The printer line as the window shows it: name + " - unknown" while unreachable or not looked at
// yet, name + the refusal while the server refuses, otherwise the refresh's printer line.
std::string WatchLine(const WatchState& state, std::string_view printerName);

// True when one of the printer's state reasons is an error.
bool HasError(const PrinterSays& says);

}  // namespace quenlo
