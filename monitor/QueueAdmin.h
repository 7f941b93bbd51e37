// What the administrator's operations read from a server, without any window: the server's own list
// of its queues (where a job may be moved), one job's details, and the finished jobs of a queue.
#pragma once

#include "ipp/IppResponse.h"
#include "monitor/MonitorView.h"
#include "monitor/RefreshText.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quenlo {

// --- The server's queues ----------------------------------------------------------------------

// One queue of a CUPS-Get-Printers answer.
struct ServerQueue {
    std::string name;  // "printer-name"
    bool isClass = false;  // bit 0 of "printer-type"

    // Its path on the server: "/printers/NAME" or "/classes/NAME".
    std::string Path() const { return (isClass ? "/classes/" : "/printers/") + name; }
};

// The queues of a CUPS-Get-Printers answer, in its order; one without a name is left out.
std::vector<ServerQueue> WalkServerQueues(std::string_view body);

// --- One job's details --------------------------------------------------------------------------

// What Get-Job-Attributes tells of a job; -1 and empty texts mean "not sent". A time the job has not
// reached yet (no processing, not completed) is sent without a value and reads as 0.
struct JobDetails {
    std::int32_t jobId = -1;
    std::string name;           // "job-name"
    std::string user;           // "job-originating-user-name"
    std::string host;           // "job-originating-host-name"
    std::int32_t state = -1;    // "job-state"
    std::string stateReasons;   // "job-state-reasons", every value, separated by ", "
    std::int32_t pages = -1;    // "job-impressions-completed"
    std::int32_t copies = -1;   // "copies"
    std::int32_t priority = -1; // "job-priority"
    std::string format;         // "document-format" (CUPS sends "document-format-supplied" too)
    std::int32_t sizeK = -1;    // "job-k-octets"
    std::int32_t created = -1;     // "time-at-creation"
    std::int32_t processing = -1;  // "time-at-processing"
    std::int32_t completed = -1;   // "time-at-completed"
    std::string printerStateMessage;  // "job-printer-state-message": the printer's message at the time
};

// The attributes JobDetails is made of: what Get-Job-Attributes asks for.
const std::vector<std::string_view>& JobDetailAttributes();
// Walks a Get-Job-Attributes answer (its job group) into the details.
JobDetails WalkJobDetails(std::string_view body);

// The details as (label, text) pairs in the order they are shown; a time is shown like a creation
// time, and one not reached (0 or -1) as an empty text.
std::vector<std::pair<std::string, std::string>> JobDetailTexts(const JobDetails& job);

// --- The finished jobs --------------------------------------------------------------------------

// The finished jobs' rows (FinishedJobRow): the eight job columns, the state column telling the
// outcome (completed, aborted, canceled), then the completion time and the pages printed.
// The two columns after the eight, caption and width in pixels.
struct FinishedColumn {
    const char* caption;
    int width;
};
inline constexpr std::array<FinishedColumn, 2> kFinishedJobExtraColumns{{
    {"time-at-completed", 100},
    {"pages", 50},
}};

// The attributes the finished list asks for: the job row's, completion time and pages printed.
const std::vector<std::string_view>& FinishedJobAttributes();
// Walks a Get-Jobs answer of finished jobs into rows, newest first (by completion time; a job
// without one by its id, after those with one of the same time).
std::vector<FinishedJobRow> WalkFinishedJobs(std::string_view body, std::string_view printerName);

}  // namespace quenlo
