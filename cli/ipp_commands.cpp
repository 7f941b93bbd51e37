// quenlo-cli commands of the IPP codec:
//   request OP --uri URI [--job-id N] [--user U]   the exact request body the monitor sends for OP
//   walk-jobs [--name NAME] < BODY                  the job rows a Get-Jobs answer gives
//   walk-printer [--name NAME] < BODY               the lamp and printer line of a printer answer
//
// The walks print one line per row with tab-separated columns. Texts come from the server (a job
// name is whatever the user typed), so a backslash, tab, CR or LF inside a text is written as
// \\, \t, \r or \n: a row is always exactly one line of exactly eight columns.
#include "cli/CliTexts.h"
#include "cli/Command.h"
#include "ipp/Ipp.h"
#include "monitor/RefreshText.h"

#include <clocale>
#include <cstdio>
#include <iostream>
#include <limits>

namespace quenlo::cli {

namespace {

struct OperationName {
    const char* name;
    int op;
    bool takesJob;  // a job operation (needs --job-id) rather than a printer operation
    bool takesUser;
};

constexpr OperationName kOperations[] = {
    {"get-jobs", kIppGetJobs, false, false},
    {"get-printer-attributes", kIppGetPrinterAttributes, false, false},
    {"cancel-job", kIppCancelJob, true, true},
    {"hold-job", kIppHoldJob, true, true},
    {"release-job", kIppReleaseJob, true, true},
    {"pause-printer", kIppPausePrinter, false, true},
    {"resume-printer", kIppResumePrinter, false, true},
    {"purge-jobs", kIppPurgeJobs, false, true},
};

const OperationName& FindOperation(const std::vector<std::string>& positional)
{
    if (positional.size() != 1)
        throw UsageError{positional.empty() ? texts::kOpMissing : texts::kOneOp};
    for (const auto& candidate : kOperations)
        if (positional[0] == candidate.name)
            return candidate;
    throw UsageError{texts::kUnknownOp + positional[0]};
}

IppMessage BuildRequest(const Args& args)
{
    const OperationName& operation = FindOperation(args.positional());
    const std::optional<std::string> uri = args.value("uri");
    if (!uri)
        throw UsageError{texts::kUriRequired};
    const std::optional<long long> jobId = args.number("job-id");
    if (operation.takesJob && !jobId)
        throw UsageError{operation.name + std::string(texts::kNeedsJobId)};
    if (!operation.takesJob && jobId)
        throw UsageError{operation.name + std::string(texts::kTakesNoJobId)};
    if (jobId && *jobId > std::numeric_limits<std::int32_t>::max())
        throw UsageError{texts::kJobIdTooLarge};
    if (!operation.takesUser && args.value("user"))
        throw UsageError{operation.name + std::string(texts::kTakesNoUser)};

    if (operation.op == kIppGetJobs)
        return BuildGetJobsRequest(*uri);
    if (operation.op == kIppGetPrinterAttributes)
        return BuildGetPrinterAttributesRequest(*uri);
    return BuildOperationRequest(operation.op, *uri, args.valueOr("user", ""),
                                 jobId ? static_cast<std::int32_t>(*jobId) : -1);
}

int RunRequest(const std::vector<std::string>& argv)
{
    const Args args(argv, {"uri", "job-id", "user"});
    IppMessage body;
    try {
        body = BuildRequest(args);
    } catch (const EIppException& e) {
        std::cerr << texts::kRequest << e.what() << "\n";
        return 1;
    }
    if (std::fwrite(body.data(), 1, body.size(), stdout) != body.size() || std::fflush(stdout) != 0) {
        std::cerr << texts::kRequest << texts::kCannotWriteStdout << "\n";
        return 1;
    }
    return 0;
}

std::string PrinterName(const Args& args)
{
    if (!args.positional().empty())
        throw UsageError{texts::kUnexpectedArgument + args.positional().front()};
    return args.valueOr("name", "");
}

int RunWalkJobs(const std::vector<std::string>& argv)
{
    const Args args(argv, {"name"});
    const std::string name = PrinterName(args);
    // The creation time is shown in the user's own date and time formats.
    std::setlocale(LC_TIME, "");
    const std::string body = ReadAllStdin();
    WalkJobList(body, name, [](JobRow&& row) {
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i) {
            if (i != 0)
                line += '\t';
            line += EscapedField(row[i]);
        }
        line += '\n';
        std::cout << line;
    });
    std::cout.flush();
    return std::cout ? 0 : 1;
}

int RunWalkPrinter(const std::vector<std::string>& argv)
{
    const Args args(argv, {"name"});
    const std::string name = PrinterName(args);
    const PrinterStatus status = WalkPrinterStatus(ReadAllStdin(), name);
    std::cout << (status.lamp == Lamp::Green ? "green" : "yellow") << '\t' << EscapedField(status.line) << '\n';
    std::cout.flush();
    return std::cout ? 0 : 1;
}

const CommandRegistration kRequest{Command{
    "request",
    "OP --uri URI [--job-id N] [--user U]   (OP: get-jobs, get-printer-attributes, cancel-job, "
    "hold-job, release-job, pause-printer, resume-printer, purge-jobs)",
    RunRequest}};
const CommandRegistration kWalkJobs{Command{"walk-jobs", "[--name NAME] < BODY", RunWalkJobs}};
const CommandRegistration kWalkPrinter{Command{"walk-printer", "[--name NAME] < BODY", RunWalkPrinter}};

}  // namespace

}  // namespace quenlo::cli
