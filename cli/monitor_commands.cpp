// The monitor's commands of quenlo-cli: the window's refresh, its six menu commands and the
// administrator's operations, run by the same monitor code through a text view.
//
//   quenlo-cli refresh [--completed] [--config FILE] [--printer NAME] [--json]
//   quenlo-cli cancel-job|hold-job|release-job|restart-job|job JOBID [--config FILE] [--printer NAME]
//   quenlo-cli pause-printer|resume-printer|purge-jobs|accept-jobs [--config FILE] [--printer NAME]
//   quenlo-cli move-job JOBID DEST | move-jobs DEST | set-job-priority JOBID PRIORITY | reject-jobs
//              [--reason TEXT]
//
// The window's job commands act on the listed job whose caption is JOBID; the others take the job
// id as it is, since a finished job is not listed. `job` prints the job's details instead of the
// refresh ("KEY<tab>VALUE" lines, or {"job": {...}}).
//
// Every command first selects the printer (NAME, or the first of the file) and refreshes, as the
// selector does. After each refresh it prints, tab-separated:
//
//   status   LAMP  LabelStatus
//   printer  LAMP  LabelPrinterStatus
//   comment  LabelComment
//   job      the eight column texts          (one line per row)
//
// with LAMP one of red, yellow, green. A message box comes out as "message", "error" or "warning"
// and its text. Backslashes, tabs, CRs and LFs inside a text are written as \\, \t, \r and \n, so
// a line is always one record.
//
// With --json each refresh is one JSON object on one line instead, {"status": {"lamp", "text"},
// "printer": {"lamp", "text"}, "comment", "jobs": [{"id", "printer", "user", "name", "size",
// "state", "reason", "created"}, ...]}, and a message box {"message": {"level", "text"}}.
//
// Exit code: 0 when the command was carried out without a message box and its last refresh
// completed; 1 otherwise (the reason also on standard error); 2 for a bad argument.
#include "cli/CliTexts.h"
#include "cli/Command.h"
#include "cli/Json.h"
#include "config/PrintersFile.h"
#include "monitor/Monitor.h"
#include "monitor/QueueAdmin.h"
#include "monitor/MonitorView.h"
#include "monitor/RefreshText.h"
#include "net/HttpProt.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <clocale>
#include <cstring>
#include <iostream>
#include <optional>
#include <ostream>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace quenlo::cli {
namespace {

// The reasons of a job's details, one keyword each.
std::vector<std::string> SplitReasons(const std::string& reasons)
{
    std::vector<std::string> keywords;
    for (std::size_t start = 0; start < reasons.size();) {
        const std::size_t end = std::min(reasons.find(", ", start), reasons.size());
        keywords.push_back(reasons.substr(start, end - start));
        start = end + 2;
    }
    return keywords;
}

// The window as text: it keeps what the window would show and prints it on request; message boxes
// are printed at once (they "close" immediately).
class TextView final : public MonitorView {
public:
    TextView(std::ostream& out, bool json) : out_(out), json_(json) {}

    void SetLabelStatus(const std::string& text) override { status_ = text; }
    void SetLabelPrinterStatus(const std::string& text) override { printerStatus_ = text; }
    void SetLabelComment(const std::string& text) override { comment_ = text; }
    void SetImageStatus(Lamp lamp) override { statusLamp_ = lamp; }
    void SetImagePrinterStatus(Lamp lamp) override { printerLamp_ = lamp; }

    void AddPrinterItem(const std::string& name) override { items_.push_back(name); }
    void SelectPrinterItem(int index) override
    {
        selected_ = index >= 0 && static_cast<std::size_t>(index) < items_.size() ? index : -1;
    }
    std::string PrinterText() const override { return selected_ < 0 ? std::string() : items_[selected_]; }
    void SetPrinterSelectorEnabled(bool) override {}
    void SetRefreshButtonEnabled(bool) override {}

    void AddJobColumn(const std::string&, int) override {}
    void ClearJobs() override
    {
        jobLines_.Clear();
        rows_ = 0;
        selectedCaption_.reset();
    }
    // A row is kept only as the text it prints as: a long queue is thousands of rows.
    void AddJobRow(JobRow&& row) override { AddJobLine(row, false); }
    void AddFinishedJobRow(FinishedJobRow&& row) override { AddJobLine(row, true); }
    int SelectedJobCount() const override { return selectedCaption_ ? 1 : 0; }
    std::string SelectedJobCaption() const override { return selectedCaption_.value_or(std::string()); }

    void ShowMessage(const std::string& text, MessageIcon icon) override
    {
        ++messages_;
        const char* level = icon == MessageIcon::Error ? "error" : "warning";
        if (json_)
            out_ << JsonObject().Object("message", JsonObject().Text("level", level).Text("text", text)).Line() << '\n';
        else
            out_ << "message\t" << level << '\t' << EscapedField(text) << '\n';
        out_.flush();
    }

    // Selects the first row whose caption is `caption`, or no row when none has it. The escaped
    // caption stands for the caption itself: the escapes change no other text into it.
    void SelectJob(const std::string& caption)
    {
        selectedCaption_.reset();
        const std::string start = json_ ? "{" + JsonString(kJobKeys[0]) + ":" + JsonString(caption) + ","
                                        : "job\t" + EscapedField(caption) + '\t';
        jobLines_.ForEachBlock([&](std::string_view lines) {
            for (std::size_t at = 0; at < lines.size() && !selectedCaption_; at = lines.find('\n', at) + 1) {
                if (lines.substr(at, start.size()) == start)
                    selectedCaption_ = caption;
            }
        });
    }

    int IndexOfPrinter(const std::string& name) const
    {
        for (std::size_t i = 0; i < items_.size(); ++i) {
            if (items_[i] == name)
                return static_cast<int>(i);
        }
        return -1;
    }

    void PrintRefresh()
    {
        if (json_) {
            const std::string head = JsonObject()
                                         .Object("status", JsonObject().Text("lamp", LampName(statusLamp_)).Text("text", status_))
                                         .Object("printer", JsonObject().Text("lamp", LampName(printerLamp_)).Text("text", printerStatus_))
                                         .Text("comment", comment_)
                                         .Line();
            out_ << std::string_view(head).substr(0, head.size() - 1) << ",\"jobs\":[";
            jobLines_.ForEachBlock(
                [this](std::string_view rows) { out_.write(rows.data(), static_cast<std::streamsize>(rows.size())); });
            out_ << "]}\n";
            out_.flush();
            return;
        }
        out_ << "status\t" << LampName(statusLamp_) << '\t' << EscapedField(status_) << '\n';
        out_ << "printer\t" << LampName(printerLamp_) << '\t' << EscapedField(printerStatus_) << '\n';
        out_ << "comment\t" << EscapedField(comment_) << '\n';
        jobLines_.ForEachBlock(
            [this](std::string_view lines) { out_.write(lines.data(), static_cast<std::streamsize>(lines.size())); });
        out_.flush();
    }

    int Messages() const { return messages_; }

    void PrintDetails(const JobDetails& job)
    {
        if (!json_) {
            for (const auto& [label, text] : JobDetailTexts(job))
                out_ << label << '\t' << EscapedField(text) << '\n';
            out_.flush();
            return;
        }
        const auto number = [](std::int32_t n) { return n < 0 ? std::nullopt : std::optional<std::int64_t>(n); };
        const auto time = [](std::int32_t t) { return t <= 0 ? std::nullopt : std::optional<std::int64_t>(t); };
        const std::string_view state = JobStateText(job.state);
        JsonObject details;
        details.NumberOrNull("id", number(job.jobId))
            .Text("name", job.name)
            .Text("user", job.user)
            .Text("host", job.host)
            .TextOrNull("state", state.empty() ? std::nullopt : std::optional<std::string>(state))
            .Texts("reasons", SplitReasons(job.stateReasons))
            .NumberOrNull("pages", number(job.pages))
            .NumberOrNull("copies", number(job.copies))
            .NumberOrNull("priority", number(job.priority))
            .Text("format", job.format)
            .NumberOrNull("size_k", number(job.sizeK))
            .NumberOrNull("created", time(job.created))
            .NumberOrNull("processing", time(job.processing))
            .NumberOrNull("completed", time(job.completed))
            .Text("printer_state_message", job.printerStateMessage);
        out_ << JsonObject().Object("job", details).Line() << '\n';
        out_.flush();
    }

private:
    // The keys of a job's columns in JSON, in the list's order.
    static constexpr std::array<const char*, 8> kJobKeys{"id", "printer", "user", "name", "size", "state", "reason", "created"};

    // One job's "job" line: its columns tab-separated, or in JSON by their keys (a finished job's
    // completion time and pages after them).
    void AddJobLine(std::span<const std::string> row, bool finished)
    {
        if (json_) {
            JsonObject job;
            for (std::size_t i = 0; i < kJobKeys.size(); ++i)
                job.Text(kJobKeys[i], row[i]);
            if (finished)
                job.Text("completed", row[8]).Text("pages", row[9]);
            line_.assign(rows_ == 0 ? "" : ",").append(job.Line());
        } else {
            line_.assign("job");
            for (const std::string& text : row) {
                line_ += '\t';
                AppendEscapedField(line_, text);
            }
            line_ += '\n';
        }
        ++rows_;
        std::memcpy(jobLines_.Extend(line_.size()), line_.data(), line_.size());
    }

    std::ostream& out_;
    bool json_;
    std::size_t rows_ = 0;
    // The window's design texts and lamps before the first refresh.
    std::string status_ = "LabelStatus";
    std::string printerStatus_ = "printer - unknown";
    std::string comment_ = "Megjegyzés:";
    Lamp statusLamp_ = Lamp::Red;
    Lamp printerLamp_ = Lamp::Red;
    std::vector<std::string> items_;
    int selected_ = -1;
    TextBlocks jobLines_;  // the rows' "job" lines, as printed
    std::string line_;     // one row's line while it is made
    std::optional<std::string> selectedCaption_;
    int messages_ = 0;
};

enum class Action { Refresh, Cancel, Hold, Release, Pause, Resume, Purge,
                    Move, MoveAll, Restart, Priority, Reject, Accept, Details };

// The job commands of the window's menu, which act on the job row whose caption is JOBID.
bool IsJobAction(Action action)
{
    return action == Action::Cancel || action == Action::Hold || action == Action::Release;
}

// What each command takes after its name: the positional arguments, and the options beside
// --config, --printer and --json.
struct ActionArgs {
    std::vector<const char*> positional;
    std::set<std::string> valued;
    std::set<std::string> flags;
};

ActionArgs ArgsOf(Action action)
{
    switch (action) {
    case Action::Refresh: return {{}, {}, {"completed"}};
    case Action::Cancel:
    case Action::Hold:
    case Action::Release:
    case Action::Restart:
    case Action::Details: return {{"JOBID"}, {}, {}};
    case Action::Move: return {{"JOBID", "DEST"}, {}, {}};
    case Action::MoveAll: return {{"DEST"}, {}, {}};
    case Action::Priority: return {{"JOBID", "PRIORITY"}, {}, {}};
    case Action::Reject: return {{}, {"reason"}, {}};
    default: return {};
    }
}

// A decimal number from `least` to `most`, or a UsageError that names the argument.
std::int32_t NumberArgument(const std::string& text, const char* what, std::int32_t least, std::int32_t most)
{
    std::int32_t n = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || n < least || n > most)
        throw UsageError{what + std::string(texts::kMustBeFrom) + std::to_string(least) + texts::kAtMost + std::to_string(most)};
    return n;
}

std::int32_t JobIdArgument(const std::string& text) { return NumberArgument(text, "JOBID", 0, 2147483647); }

void RunAction(TMonitor& monitor, TextView& view, Action action, const Args& args)
{
    const std::vector<std::string>& p = args.positional();
    switch (action) {
    case Action::Refresh: break;
    case Action::Cancel: monitor.MegszakitClick(); break;
    case Action::Hold: monitor.SzunetClick(); break;
    case Action::Release: monitor.FolytatClick(); break;
    case Action::Pause: monitor.NyomtatofelfuggeszteseClick(); break;
    case Action::Resume: monitor.NyomtatofolytatasaClick(); break;
    case Action::Purge: monitor.OsszesfeladattorleseClick(); break;
    case Action::Move: monitor.MoveJob(JobIdArgument(p[0]), p[1]); break;
    case Action::MoveAll: monitor.MoveAllJobs(p[0]); break;
    case Action::Restart: monitor.RestartJob(JobIdArgument(p[0])); break;
    case Action::Priority: monitor.SetJobPriority(JobIdArgument(p[0]), NumberArgument(p[1], "PRIORITY", 1, 100)); break;
    case Action::Reject: monitor.RejectJobs(args.valueOr("reason", "")); break;
    case Action::Accept: monitor.AcceptJobs(); break;
    case Action::Details:
        if (const std::optional<JobDetails> details = monitor.JobDetailsOf(JobIdArgument(p[0])))
            view.PrintDetails(*details);
        break;
    }
}

// The arguments checked before anything is read or sent.
void CheckArguments(Action action, const Args& args)
{
    const ActionArgs wanted = ArgsOf(action);
    if (args.positional().size() != wanted.positional.size()) {
        std::string names;
        for (const char* name : wanted.positional)
            names += std::string(names.empty() ? "" : " ") + name;
        throw UsageError{names.empty() ? texts::kNoPositional : names + texts::kNeeded};
    }
    const std::vector<std::string>& p = args.positional();
    if (action == Action::Move || action == Action::Restart || action == Action::Priority || action == Action::Details)
        JobIdArgument(p[0]);
    if (action == Action::Priority)
        NumberArgument(p[1], "PRIORITY", 1, 100);
}

int RunMonitorCommand(Action action, const std::vector<std::string>& argv)
{
    ActionArgs accepted = ArgsOf(action);
    accepted.valued.insert({"config", "printer"});
    accepted.flags.insert("json");
    const Args args(argv, accepted.valued, accepted.flags);
    CheckArguments(action, args);

    // Creation times are shown in the user's date and time formats, as the window shows them.
    std::setlocale(LC_TIME, "");

    PrinterList printers;
    ProxySettings proxy;
    if (!LoadPrinters(args, printers, proxy))
        return 1;

    THttpCli httpCli1;
    ApplyHttpCli1Design(httpCli1);
    ApplyProxySettings(httpCli1, proxy);

    TextView view(std::cout, args.flag("json"));
    TMonitor monitor(view, httpCli1, printers);
    monitor.FillView();
    if (const std::optional<std::string> name = args.value("printer")) {
        const int index = view.IndexOfPrinter(*name);
        if (index < 0) {
            std::cerr << texts::kProgram << texts::kNoPrinterNamed << *name << "\n";
            return 1;
        }
        view.SelectPrinterItem(index);
    }
    // The details are the output of `job`: its refresh only chooses the printer, and shows only
    // when it ended early.
    monitor.OnRefreshDone = [&view, action](TMonitor&, RefreshEnd end) {
        if (action != Action::Details || end != RefreshEnd::Complete)
            view.PrintRefresh();
    };
    if (args.flag("completed"))
        monitor.SetJobList(TMonitor::JobList::Finished);

    monitor.ComboBoxPrinterlistChange();
    if (IsJobAction(action))
        view.SelectJob(args.positional()[0]);
    if (action == Action::Details && monitor.LastRefreshEnd() != RefreshEnd::Complete) {
        std::cerr << texts::kProgram << texts::kRefreshEndedEarly << to_string(monitor.LastRefreshEnd()) << ")\n";
        return 1;
    }
    RunAction(monitor, view, action, args);
    for (const std::string& plain : monitor.PasswordsSentPlain())
        WarnPasswordWentPlain("printer " + plain);

    if (view.Messages() != 0) {
        std::cerr << texts::kProgram << texts::kNotCarriedOut << "\n";
        return 1;
    }
    if (monitor.LastRefreshEnd() != RefreshEnd::Complete) {
        std::cerr << texts::kProgram << texts::kRefreshEndedEarly << to_string(monitor.LastRefreshEnd()) << ")\n";
        return 1;
    }
    return 0;
}

Command MonitorCommand(const char* name, const char* usage, Action action)
{
    return Command{name, usage, [action](const std::vector<std::string>& argv) {
                       return RunMonitorCommand(action, argv);
                   }};
}

constexpr const char* kPrinterOptions = "[--config FILE] [--printer NAME] [--json]";
constexpr const char* kJobOptions = "JOBID [--config FILE] [--printer NAME] [--json]";

const CommandRegistration kRefresh{
    MonitorCommand("refresh", "[--completed] [--config FILE] [--printer NAME] [--json]", Action::Refresh)};
const CommandRegistration kCancelJob{MonitorCommand("cancel-job", kJobOptions, Action::Cancel)};
const CommandRegistration kHoldJob{MonitorCommand("hold-job", kJobOptions, Action::Hold)};
const CommandRegistration kReleaseJob{MonitorCommand("release-job", kJobOptions, Action::Release)};
const CommandRegistration kPausePrinter{MonitorCommand("pause-printer", kPrinterOptions, Action::Pause)};
const CommandRegistration kResumePrinter{MonitorCommand("resume-printer", kPrinterOptions, Action::Resume)};
const CommandRegistration kPurgeJobs{MonitorCommand("purge-jobs", kPrinterOptions, Action::Purge)};
const CommandRegistration kMoveJob{
    MonitorCommand("move-job", "JOBID DEST [--config FILE] [--printer NAME] [--json]", Action::Move)};
const CommandRegistration kMoveJobs{
    MonitorCommand("move-jobs", "DEST [--config FILE] [--printer NAME] [--json]", Action::MoveAll)};
const CommandRegistration kRestartJob{MonitorCommand("restart-job", kJobOptions, Action::Restart)};
const CommandRegistration kSetJobPriority{
    MonitorCommand("set-job-priority", "JOBID PRIORITY [--config FILE] [--printer NAME] [--json]", Action::Priority)};
const CommandRegistration kRejectJobs{
    MonitorCommand("reject-jobs", "[--reason TEXT] [--config FILE] [--printer NAME] [--json]", Action::Reject)};
const CommandRegistration kAcceptJobs{MonitorCommand("accept-jobs", kPrinterOptions, Action::Accept)};
const CommandRegistration kJob{MonitorCommand("job", kJobOptions, Action::Details)};

}  // namespace

const char* LampName(Lamp lamp)
{
    switch (lamp) {
    case Lamp::Green: return "green";
    case Lamp::Yellow: return "yellow";
    case Lamp::Red: return "red";
    }
    return "red";
}

std::optional<std::string> GivenPrintersFile(const Args& args)
{
    const std::optional<std::string> config = args.value("config");
    const std::optional<std::string> file = args.value("file");
    if (config && file)
        throw UsageError{texts::kConfigAndFile};
    const std::optional<std::string> given = config ? config : file;
    if (given && given->empty())
        throw UsageError{std::string(config ? "--config" : "--file") + texts::kNeedsAPath};
    return given;
}

std::optional<std::string> ReadPrinters(const Args& args, PrinterList& printers, ProxySettings& proxy)
{
    std::string path;
    bool read = false;
    if (const std::optional<std::string> given = GivenPrintersFile(args)) {
        path = *given;
        read = ReadPrintersFileAt(path, DirectoryPrefix(path), printers, proxy);
    } else {
        const std::optional<std::string> configDir = LocatePrintersFile();
        if (!configDir) {
            std::cerr << texts::kProgram << texts::kNoPrintersFile << kPrintersFileName << texts::kNoPrintersFileWhere << "\n";
            return std::nullopt;
        }
        path = *configDir + kPrintersFileName;
        read = ReadPrintersFile(*configDir, printers, proxy);
    }
    if (!read) {
        std::cerr << texts::kProgram << texts::kCannotRead << path << "\n";
        return std::nullopt;
    }
    return path;
}

bool LoadPrinters(const Args& args, PrinterList& printers, ProxySettings& proxy)
{
    const std::optional<std::string> path = ReadPrinters(args, printers, proxy);
    if (path && printers.empty())
        std::cerr << texts::kProgram << texts::kNoPrinterIn << *path << "\n";
    return path && !printers.empty();
}

}  // namespace quenlo::cli
