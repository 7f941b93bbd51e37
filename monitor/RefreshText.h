// What the refresh shows from its two IPP answers, without any window: the Get-Jobs answer becomes
// the rows of the job list, the Get-Printer-Attributes answer the printer line and its lamp.
//
// The refresh (and quenlo-cli) call WalkJobList and WalkPrinterStatus on the received bodies; the
// smaller pieces are public so that each step can be used and tested on its own. Nothing here keeps
// state between calls.
//
// The creation time is formatted in the calling thread's LC_TIME locale: a program that shows it
// calls setlocale(LC_TIME, "") once at start-up so the user's own formats apply (the C locale, which
// every program starts in, gives "12/31/69 23:59:59").
#pragma once

#include "ipp/IppResponse.h"
#include "monitor/MonitorView.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace quenlo {

// --- Job list ------------------------------------------------------------------------------------

// One job as the Get-Jobs walk collects it; -1 and empty texts mean "not sent".
struct JobRecord {
    std::int32_t jobId = -1;
    std::string user;          // "job-originating-user-name"
    std::string jobName;       // "job-name"
    std::int32_t size = -1;    // "job-k-octets", in K octets
    std::int32_t state = -1;   // "job-state"
    std::string stateReasons;  // "job-state-reasons", first value only
    std::int32_t creationTime = -1;  // "time-at-creation", seconds since 1970-01-01 00:00:00 UTC

    // Back to the empty record.
    void Clear() { *this = JobRecord{}; }
};

// A job's fields as views, for the jobs a JobTable holds (or a JobRecord lends).
struct JobFields {
    std::int32_t jobId = -1;
    std::string_view user;
    std::string_view jobName;
    std::int32_t size = -1;
    std::int32_t state = -1;
    std::string_view stateReasons;
    std::int32_t creationTime = -1;
};
JobFields FieldsOf(const JobRecord& job) noexcept;

// Bytes appended in blocks that never move: a long list of short pieces costs about its own bytes,
// is never copied to grow, and touches only the memory it fills. A piece never spans two blocks.
class TextBlocks {
public:
    static constexpr std::size_t kBlockSize = std::size_t{64} << 10;

    // Room for `n` more bytes, one after the other; the caller fills all of them.
    char* Extend(std::size_t n);
    // Each block's bytes, in the order they were appended.
    template <typename F>
    void ForEachBlock(F&& onBlock) const
    {
        for (const Block& block : blocks_)
            onBlock(std::string_view(block.data.get(), block.used));
    }
    // The same, each block freed once it has been handed on (so that what is made from it can
    // take its memory); the blocks are empty afterwards.
    template <typename F>
    void DrainBlocks(F&& onBlock)
    {
        for (Block& block : blocks_) {
            onBlock(std::string_view(block.data.get(), block.used));
            block.data.reset();
        }
        blocks_.clear();
    }
    void Clear() noexcept { blocks_.clear(); }

private:
    struct Block {
        std::unique_ptr<char[]> data;
        std::size_t used = 0;
        std::size_t capacity = 0;
    };
    std::vector<Block> blocks_;
};

// The jobs of one Get-Jobs answer, packed until they become rows: each job's numbers and its three
// texts one after the other, so 5,000 jobs take a few hundred KiB instead of a record and heap texts
// each.
class JobTable {
public:
    void Add(const JobRecord& job);
    // Hands on each job in the order added and empties the table as it goes; the views are valid
    // during the call.
    void Drain(const std::function<void(const JobFields& job)>& onJob);

private:
    TextBlocks bytes_;
};

// Stores one attribute (lower-cased name, as the walk gives it) into the record when it is one of
// the seven job fields; any other name, and the nameless additional values of a multi-valued
// attribute, leave the record alone, as does an integer of the wrong length (no number at all). A
// later attribute of the same name overwrites an earlier one.
void ApplyJobAttribute(JobRecord& job, const IppAttribute& attribute);

// The eight column texts of a job row: job id, printerName, user, job name, size + " K", the
// job-state text (the state reasons instead when the state has no text of its own), the state
// reasons, and CreationTimeText of the creation time.
JobRow JobRowTexts(const JobFields& job, std::string_view printerName);
inline JobRow JobRowTexts(const JobRecord& job, std::string_view printerName)
{
    return JobRowTexts(FieldsOf(job), printerName);
}

// The Get-Jobs walk for an answer that arrives in pieces (IppWalker): each finished job, as the
// walk below lists it, goes to onJob as its record.
class JobListWalk {
public:
    explicit JobListWalk(std::function<void(JobRecord&& job)> onJob);
    JobListWalk(const JobListWalk&) = delete;
    JobListWalk& operator=(const JobListWalk&) = delete;

    IppWalker& Walker() noexcept { return walker_; }

private:
    std::function<void(JobRecord&& job)> onJob_;
    JobRecord job_;
    IppWalker walker_;
};

// Walks a Get-Jobs answer and calls onRow for each finished job, in the order of the answer. A job
// is finished by the next group delimiter (the end tag included) and is listed only when it carried
// a "job-id"; so a body that ends without its end tag loses its last job. A body of 10 bytes or
// fewer gives no rows.
void WalkJobList(std::string_view body, std::string_view printerName,
                 const std::function<void(JobRow&& row)>& onRow);
// The same, collected into a vector.
std::vector<JobRow> WalkJobList(std::string_view body, std::string_view printerName);

// --- Creation time -------------------------------------------------------------------------------

// The creation time as UTC clock time (no time-zone shift) in the LC_TIME locale of the calling
// thread: the short date format, a space, the long time format; only the date when the time of day
// is exactly 00:00:00. For example 86399 is "01/01/70 23:59:59" in the C locale, 0 is "01/01/70".
std::string CreationTimeText(std::int32_t seconds);
// The same with explicit strftime formats for the date and the time.
std::string CreationTimeText(std::int32_t seconds, const std::string& shortDateFormat,
                             const std::string& longTimeFormat);

// --- Printer line ----------------------------------------------------------------------------------

// The printer's state as the Get-Printer-Attributes walk collects it; all empty when not sent.
struct PrinterRecord {
    std::string stateText;      // PrinterStateText of "printer-state"
    std::string acceptingText;  // AcceptingJobsText of "printer-is-accepting-jobs"
    std::string stateMessage;   // "printer-state-message"
};

// Stores "printer-state", "printer-is-accepting-jobs" or "printer-state-message"; other names are
// ignored, as is an integer of the wrong length; a later attribute of the same name overwrites an
// earlier one.
void ApplyPrinterAttribute(PrinterRecord& printer, const IppAttribute& attribute);

struct PrinterStatus {
    std::string line;  // printer name + " - " + state + accepting text [+ " (" + message + ")"]
    Lamp lamp = Lamp::Red;
};

// The printer line and lamp of a walked record: yellow when the printer is stopped, its state is
// unknown or missing (the line then says "unknown"), or it is not known to be accepting jobs;
// green otherwise.
PrinterStatus PrinterStatusText(const PrinterRecord& printer, std::string_view printerName);

// Walks a Get-Printer-Attributes answer into the printer's record.
PrinterRecord WalkPrinterRecord(std::string_view body);
// The attributes a job row and the printer line are made of (what ApplyJobAttribute and
// ApplyPrinterAttribute read): all a refresh needs to ask for.
const std::vector<std::string_view>& ShownJobAttributes();
const std::vector<std::string_view>& ShownPrinterAttributes();

// Walks a Get-Printer-Attributes answer into the printer line and its lamp. A body that says
// nothing about the printer (an IPP error, or 10 bytes or fewer) gives name + " - unknown" and
// yellow.
PrinterStatus WalkPrinterStatus(std::string_view body, std::string_view printerName);

}  // namespace quenlo
