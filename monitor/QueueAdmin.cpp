#include "monitor/QueueAdmin.h"

#include <algorithm>
#include <optional>
#include <utility>

namespace quenlo {

std::vector<ServerQueue> WalkServerQueues(std::string_view body)
{
    std::vector<ServerQueue> queues;
    std::optional<ServerQueue> open;
    const auto close = [&] {
        if (open && !open->name.empty())
            queues.push_back(std::move(*open));
        open.reset();
    };
    WalkResponse(
        body, kIppPrinterWalkDelimiterLimit,
        [&](const IppAttribute& a) {
            if (!open)
                return;
            if (a.name == "printer-name" && open->name.empty())
                open->name.assign(a.text);
            else if (a.name == "printer-type" && a.number)
                open->isClass = (a.integer & 1) != 0;
        },
        [&](int tag) {
            close();
            if (tag == kIppTagPrinterAttributes)
                open.emplace();
        });
    return queues;
}

const std::vector<std::string_view>& JobDetailAttributes()
{
    static const std::vector<std::string_view> names{
        "job-id",          "job-name",           "job-originating-user-name", "job-originating-host-name",
        "job-state",       "job-state-reasons",  "job-impressions-completed", "copies",
        "job-priority",    "document-format",    "document-format-supplied",  "job-k-octets",
        "time-at-creation", "time-at-processing", "time-at-completed",        "job-printer-state-message"};
    return names;
}

JobDetails WalkJobDetails(std::string_view body)
{
    JobDetails job;
    std::string last;  // the name of the attribute whose additional values follow
    bool inJob = false;
    WalkResponse(
        body, kIppJobWalkDelimiterLimit,
        [&](const IppAttribute& a) {
            if (!a.name.empty())
                last.assign(a.name);
            if (!inJob || !a.number)
                return;
            const std::string_view name = last;
            if (a.name.empty()) {  // only the reasons are told with every value
                if (name == "job-state-reasons")
                    job.stateReasons.append(", ").append(a.text);
                return;
            }
            if (name == "job-id") job.jobId = a.integer;
            else if (name == "job-name") job.name.assign(a.text);
            else if (name == "job-originating-user-name") job.user.assign(a.text);
            else if (name == "job-originating-host-name") job.host.assign(a.text);
            else if (name == "job-state") job.state = a.integer;
            else if (name == "job-state-reasons") job.stateReasons.assign(a.text);
            else if (name == "job-impressions-completed") job.pages = a.integer;
            else if (name == "copies") job.copies = a.integer;
            else if (name == "job-priority") job.priority = a.integer;
            else if (name == "document-format" || (name == "document-format-supplied" && job.format.empty()))
                job.format.assign(a.text);
            else if (name == "job-k-octets") job.sizeK = a.integer;
            else if (name == "time-at-creation") job.created = a.integer;
            else if (name == "time-at-processing") job.processing = a.integer;
            else if (name == "time-at-completed") job.completed = a.integer;
            else if (name == "job-printer-state-message") job.printerStateMessage.assign(a.text);
        },
        [&](int tag) { inJob = tag == kIppTagJobAttributes; });
    return job;
}

namespace {

std::string NumberText(std::int32_t n) { return n < 0 ? std::string() : std::to_string(n); }
std::string TimeText(std::int32_t seconds) { return seconds <= 0 ? std::string() : CreationTimeText(seconds); }

}  // namespace

std::vector<std::pair<std::string, std::string>> JobDetailTexts(const JobDetails& job)
{
    const std::string_view state = JobStateText(job.state);
    return {
        {"id", NumberText(job.jobId)},
        {"name", job.name},
        {"user", job.user},
        {"host", job.host},
        {"state", state.empty() ? NumberText(job.state) : std::string(state)},
        {"reasons", job.stateReasons},
        {"pages", NumberText(job.pages)},
        {"copies", NumberText(job.copies)},
        {"priority", NumberText(job.priority)},
        {"format", job.format},
        {"size", job.sizeK < 0 ? std::string() : std::to_string(job.sizeK) + " K"},
        {"created", TimeText(job.created)},
        {"processing", TimeText(job.processing)},
        {"completed", TimeText(job.completed)},
        {"printer-state-message", job.printerStateMessage},
    };
}

const std::vector<std::string_view>& FinishedJobAttributes()
{
    static const std::vector<std::string_view> names = [] {
        std::vector<std::string_view> all = ShownJobAttributes();
        all.push_back("time-at-completed");
        all.push_back("job-impressions-completed");
        return all;
    }();
    return names;
}

std::vector<FinishedJobRow> WalkFinishedJobs(std::string_view body, std::string_view printerName)
{
    struct Finished {
        JobRecord job;
        std::int32_t completed = -1;
        std::int32_t pages = -1;
    };
    std::vector<Finished> jobs;
    Finished open;
    WalkResponse(
        body, kIppJobWalkDelimiterLimit,
        [&](const IppAttribute& a) {
            ApplyJobAttribute(open.job, a);
            if (!a.number)
                return;
            if (a.name == "time-at-completed")
                open.completed = a.integer;
            else if (a.name == "job-impressions-completed")
                open.pages = a.integer;
        },
        [&](int) {
            if (open.job.jobId != -1)
                jobs.push_back(std::move(open));
            open = Finished{};
        });
    std::stable_sort(jobs.begin(), jobs.end(), [](const Finished& a, const Finished& b) {
        return a.completed != b.completed ? a.completed > b.completed : a.job.jobId > b.job.jobId;
    });
    std::vector<FinishedJobRow> rows;
    rows.reserve(jobs.size());
    for (const Finished& f : jobs) {
        const JobRow row = JobRowTexts(f.job, printerName);
        FinishedJobRow finished;
        std::move(row.begin(), row.end(), finished.begin());
        finished[8] = TimeText(f.completed);
        finished[9] = NumberText(f.pages);
        rows.push_back(std::move(finished));
    }
    return rows;
}

}  // namespace quenlo
