#include "monitor/RefreshText.h"

#include "platform/Locale.h"

#include <algorithm>
#include <clocale>
#include <cstring>
#include <ctime>
#include <utility>

namespace quenlo {

void ApplyJobAttribute(JobRecord& job, const IppAttribute& attribute)
{
    if (!attribute.number)
        return;
    const std::string_view name = attribute.name;
    if (name == "job-id")
        job.jobId = attribute.integer;
    else if (name == "job-name")
        job.jobName.assign(attribute.text);
    else if (name == "job-originating-user-name")
        job.user.assign(attribute.text);
    else if (name == "job-state")
        job.state = attribute.integer;
    else if (name == "job-state-reasons")
        job.stateReasons.assign(attribute.text);
    else if (name == "job-k-octets")
        job.size = attribute.integer;
    else if (name == "time-at-creation")
        job.creationTime = attribute.integer;
}

const std::vector<std::string_view>& ShownJobAttributes()
{
    static const std::vector<std::string_view> names{"job-id",           "job-name",    "job-originating-user-name",
                                                     "job-state",        "job-state-reasons", "job-k-octets",
                                                     "time-at-creation"};
    return names;
}

const std::vector<std::string_view>& ShownPrinterAttributes()
{
    static const std::vector<std::string_view> names{"printer-state", "printer-is-accepting-jobs",
                                                     "printer-state-message"};
    return names;
}

JobFields FieldsOf(const JobRecord& job) noexcept
{
    return JobFields{job.jobId, job.user, job.jobName, job.size, job.state, job.stateReasons, job.creationTime};
}

JobRow JobRowTexts(const JobFields& job, std::string_view printerName)
{
    const std::string_view stateText = JobStateText(job.state);
    return JobRow{
        std::to_string(job.jobId),
        std::string(printerName),
        std::string(job.user),
        std::string(job.jobName),
        std::to_string(job.size) + " K",
        std::string(stateText.empty() ? job.stateReasons : stateText),
        std::string(job.stateReasons),
        CreationTimeText(job.creationTime),
    };
}

char* TextBlocks::Extend(std::size_t n)
{
    if (blocks_.empty() || blocks_.back().capacity - blocks_.back().used < n) {
        const std::size_t capacity = std::max(kBlockSize, n);
        // Not zero-filled: a page is touched only when the caller fills it.
        blocks_.push_back(Block{std::make_unique_for_overwrite<char[]>(capacity), 0, capacity});
    }
    Block& block = blocks_.back();
    char* room = block.data.get() + block.used;
    block.used += n;
    return room;
}

namespace {

// A packed job: its four numbers and the lengths of its three texts, then the texts.
struct PackedJobHead {
    std::int32_t jobId, size, state, creationTime;
    std::uint32_t userLength, jobNameLength, stateReasonsLength;
};

}  // namespace

void JobTable::Add(const JobRecord& job)
{
    const PackedJobHead head{job.jobId,
                             job.size,
                             job.state,
                             job.creationTime,
                             static_cast<std::uint32_t>(job.user.size()),
                             static_cast<std::uint32_t>(job.jobName.size()),
                             static_cast<std::uint32_t>(job.stateReasons.size())};
    char* out = bytes_.Extend(sizeof head + job.user.size() + job.jobName.size() + job.stateReasons.size());
    std::memcpy(out, &head, sizeof head);
    out += sizeof head;
    for (const std::string* text : {&job.user, &job.jobName, &job.stateReasons}) {
        std::memcpy(out, text->data(), text->size());
        out += text->size();
    }
}

void JobTable::Drain(const std::function<void(const JobFields& job)>& onJob)
{
    bytes_.DrainBlocks([&](std::string_view block) {
        while (!block.empty()) {
            PackedJobHead head;
            std::memcpy(&head, block.data(), sizeof head);
            block.remove_prefix(sizeof head);
            const auto take = [&block](std::uint32_t n) {
                const std::string_view text = block.substr(0, n);
                block.remove_prefix(n);
                return text;
            };
            JobFields job;
            job.jobId = head.jobId;
            job.size = head.size;
            job.state = head.state;
            job.creationTime = head.creationTime;
            job.user = take(head.userLength);
            job.jobName = take(head.jobNameLength);
            job.stateReasons = take(head.stateReasonsLength);
            onJob(job);
        }
    });
}

JobListWalk::JobListWalk(std::function<void(JobRecord&& job)> onJob)
    : onJob_(std::move(onJob)),
      walker_(
          kIppJobWalkDelimiterLimit, [this](const IppAttribute& attribute) { ApplyJobAttribute(job_, attribute); },
          [this](int) {
              if (job_.jobId == -1)
                  return;
              if (onJob_)
                  onJob_(std::move(job_));
              job_.Clear();
          })
{
}

void WalkJobList(std::string_view body, std::string_view printerName,
                 const std::function<void(JobRow&& row)>& onRow)
{
    JobListWalk walk([&](JobRecord&& job) {
        if (onRow)
            onRow(JobRowTexts(job, printerName));
    });
    walk.Walker().Finish(body);
}

std::vector<JobRow> WalkJobList(std::string_view body, std::string_view printerName)
{
    std::vector<JobRow> rows;
    WalkJobList(body, printerName, [&](JobRow&& row) { rows.push_back(std::move(row)); });
    return rows;
}

namespace {

std::string FormatTime(const std::string& format, const std::tm& tm)
{
    if (format.empty())
        return {};
    char text[256];
    const std::size_t n = std::strftime(text, sizeof text, format.c_str(), &tm);
    return std::string(text, n);
}

std::string FreshCreationTimeText(std::int32_t seconds, const std::string& shortDateFormat,
                                  const std::string& longTimeFormat)
{
    const std::time_t t = static_cast<std::time_t>(static_cast<std::int64_t>(seconds));
    std::tm tm{};
    if (!gmtime_r(&t, &tm))
        return {};
    std::string text = FormatTime(shortDateFormat, tm);
    if (tm.tm_hour != 0 || tm.tm_min != 0 || tm.tm_sec != 0)
        text += " " + FormatTime(longTimeFormat, tm);
    return text;
}

}  // namespace

std::string CreationTimeText(std::int32_t seconds)
{
    return CreationTimeText(seconds, platform::UserShortDateFormat(), platform::UserLongTimeFormat());
}

std::string CreationTimeText(std::int32_t seconds, const std::string& shortDateFormat,
                             const std::string& longTimeFormat)
{
    // Jobs sent together share their second: a long queue's list then formats each second once,
    // not once per job (two strftime calls and a gmtime_r are most of a job row's cost).
    // The locale's name is part of the key: month and day names follow it.
    struct LastText {
        std::int32_t seconds = 0;
        std::string shortDateFormat, longTimeFormat, locale, text;
        bool valid = false;
    };
    thread_local LastText last;
    const char* const locale = std::setlocale(LC_TIME, nullptr);
    const std::string_view localeName = locale ? locale : "";
    if (last.valid && last.seconds == seconds && last.shortDateFormat == shortDateFormat &&
        last.longTimeFormat == longTimeFormat && last.locale == localeName)
        return last.text;
    last.valid = false;
    last.text = FreshCreationTimeText(seconds, shortDateFormat, longTimeFormat);
    last.seconds = seconds;
    last.shortDateFormat = shortDateFormat;
    last.longTimeFormat = longTimeFormat;
    last.locale = localeName;
    last.valid = true;
    return last.text;
}

void ApplyPrinterAttribute(PrinterRecord& printer, const IppAttribute& attribute)
{
    if (!attribute.number)
        return;
    const std::string_view name = attribute.name;
    if (name == "printer-state")
        printer.stateText.assign(PrinterStateText(attribute.integer));
    else if (name == "printer-is-accepting-jobs")
        printer.acceptingText.assign(AcceptingJobsText(attribute.integer));
    else if (name == "printer-state-message")
        printer.stateMessage.assign(attribute.text);
}

PrinterStatus PrinterStatusText(const PrinterRecord& printer, std::string_view printerName)
{
    PrinterStatus status;
    // A state the answer left out, or one we do not know, is no sign that the printer works.
    const std::string_view unknown = PrinterStateText(0);
    const std::string_view state = printer.stateText.empty() ? unknown : std::string_view(printer.stateText);
    status.line = std::string(printerName) + " - " + std::string(state) + printer.acceptingText;
    if (!printer.stateMessage.empty())
        status.line += " (" + printer.stateMessage + ")";
    const bool working = state != PrinterStateText(5) && state != unknown && printer.acceptingText == AcceptingJobsText(1);
    status.lamp = working ? Lamp::Green : Lamp::Yellow;
    return status;
}

PrinterRecord WalkPrinterRecord(std::string_view body)
{
    PrinterRecord printer;
    WalkResponse(
        body, kIppPrinterWalkDelimiterLimit,
        [&](const IppAttribute& attribute) { ApplyPrinterAttribute(printer, attribute); }, nullptr);
    return printer;
}

PrinterStatus WalkPrinterStatus(std::string_view body, std::string_view printerName)
{
    return PrinterStatusText(WalkPrinterRecord(body), printerName);
}

}  // namespace quenlo
