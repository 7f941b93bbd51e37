// quenlo-cli check: one look at the printers, as a check of a monitoring system reads it.
//
//   quenlo-cli check [--config FILE] [--printer NAME] [-w RANGE] [-c RANGE]
//                    [--ignore-reason KEYWORD]... [--offline ok|warning|critical|unknown] [-t SECONDS]
//
// Prints "QUENLO STATE - summary | perfdata", then one line per printer, and exits with the worst
// printer's state: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN (CRITICAL before WARNING before UNKNOWN
// before OK). A printer is CRITICAL when stopped, rejecting jobs, missing on its server or giving
// an error reason; WARNING for a warning reason; UNKNOWN when the server refuses to show it (401,
// a certificate that is not the kept one); the --offline state (default critical) when its server
// does not answer within -t (default 10 s, the whole check). Reasons named by --ignore-reason count
// for nothing. A supply's level is held against the ranges of -w and -c, a waste container's room
// left (100 minus the level) instead; without them, a supply the printer calls low or full is a
// WARNING. Bad arguments, or a printers file that cannot be read, give UNKNOWN.
#include "cli/CliTexts.h"
#include "cli/Command.h"
#include "cli/WatchRun.h"
#include "monitor/MonitorTexts.h"
#include "monitor/Overview.h"
#include "platform/Text.h"

#include <charconv>
#include <cmath>
#include <iostream>
#include <limits>
#include <set>
#include <sstream>

namespace quenlo::cli {
namespace {

// The plug-in states, in the order of their exit codes.
enum class Verdict : int { Ok = 0, Warning = 1, Critical = 2, Unknown = 3 };

const char* VerdictName(Verdict v)
{
    static const char* const names[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};
    return names[static_cast<int>(v)];
}

int Rank(Verdict v)
{
    static const int ranks[] = {0, 2, 3, 1};  // OK < UNKNOWN < WARNING < CRITICAL
    return ranks[static_cast<int>(v)];
}

Verdict Worse(Verdict a, Verdict b)
{
    return Rank(b) > Rank(a) ? b : a;
}

// A threshold range: "10" (0 to 10), "10:" (10 and up), "~:10", "10:20", "@10:20" (alert inside).
struct Range {
    double low = 0;
    double high = std::numeric_limits<double>::infinity();
    bool inside = false;
    std::string text;

    bool Alerts(double value) const
    {
        const bool in = value >= low && value <= high;
        return inside ? in : !in;
    }
};

std::optional<double> Number(std::string_view text)
{
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

Range ParseRange(const std::string& text)
{
    Range range;
    range.text = text;
    std::string_view rest(text);
    if (rest.starts_with('@')) {
        range.inside = true;
        rest.remove_prefix(1);
    }
    const std::size_t colon = rest.find(':');
    const std::string_view low = colon == std::string_view::npos ? std::string_view("0") : rest.substr(0, colon);
    const std::string_view high = colon == std::string_view::npos ? rest : rest.substr(colon + 1);
    if (low == "~")
        range.low = -std::numeric_limits<double>::infinity();
    else if (const std::optional<double> n = Number(low))
        range.low = *n;
    else
        throw UsageError{texts::kNotARange + text};
    if (!high.empty()) {
        const std::optional<double> n = Number(high);
        if (!n)
            throw UsageError{texts::kNotARange + text};
        range.high = *n;
    }
    if (range.low > range.high)
        throw UsageError{texts::kRangeBackwards + text};
    return range;
}

struct Options {
    std::optional<std::string> config, printer;
    std::optional<Range> warning, critical;
    std::set<std::string> ignored;
    Verdict offline = Verdict::Critical;
    int seconds = 10;
};

Verdict VerdictNamed(const std::string& name)
{
    for (const Verdict v : {Verdict::Ok, Verdict::Warning, Verdict::Critical, Verdict::Unknown})
        if (platform::AsciiEqualIgnoringCase(name, VerdictName(v)))
            return v;
    throw UsageError{texts::kOfflineValues};
}

Options ParseOptions(const std::vector<std::string>& argv)
{
    Options o;
    for (std::size_t i = 0; i < argv.size(); ++i) {
        const std::string& name = argv[i];
        if (i + 1 >= argv.size())
            throw UsageError{name.starts_with('-') ? name + texts::kNeedsAValue : texts::kUnexpected + name};
        const std::string& value = argv[++i];
        if (name == "--config")
            o.config = value;
        else if (name == "--printer")
            o.printer = value;
        else if (name == "-w" || name == "--warning")
            o.warning = ParseRange(value);
        else if (name == "-c" || name == "--critical")
            o.critical = ParseRange(value);
        else if (name == "--ignore-reason")
            o.ignored.insert(value);
        else if (name == "--offline")
            o.offline = VerdictNamed(value);
        else if (name == "-t" || name == "--timeout") {
            const std::optional<double> n = Number(value);
            if (!n || *n < 1 || *n > 3600 || *n != static_cast<int>(*n))
                throw UsageError{texts::kCheckSeconds};
            o.seconds = static_cast<int>(*n);
        } else
            throw UsageError{texts::kUnknownOption + name};
    }
    return o;
}

// A text on one line of the plug-in's output: no line break, no "|" (which starts perfdata).
std::string OneLine(std::string text)
{
    for (char& c : text)
        if (c == '|' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = c == '|' ? '/' : ' ';
    return text;
}

// A perfdata label, single-quoted; it may hold neither "=" nor a single quote.
std::string PerfLabel(const std::string& text)
{
    std::string label = OneLine(text);
    for (char& c : label)
        if (c == '=' || c == '\'')
            c = '_';
    return "'" + label + "'";
}

struct PrinterCheck {
    Verdict verdict = Verdict::Ok;
    std::vector<std::string> notes;

    void Add(Verdict v, std::string note)
    {
        verdict = Worse(verdict, v);
        notes.push_back(std::move(note));
    }
};

void CheckSupply(const Options& o, const Supply& s, PrinterCheck& check, std::string& perf, const std::string& printer)
{
    if (s.level < 0)
        return;  // a level the printer does not know has no number
    // A waste container is measured by the room it has left, in the perfdata as against the ranges.
    const bool waste = IsWasteSupply(s);
    const int held = waste ? 100 - s.level : s.level;
    perf += " " + PerfLabel(printer + " " + s.name + (waste ? " room" : "")) + "=" + std::to_string(held) + "%;" +
            (o.warning ? o.warning->text : "") + ";" + (o.critical ? o.critical->text : "") + ";0;100";
    const std::string note = s.name + " " + std::to_string(s.level) + "%" + (waste ? " full" : "");
    if (o.critical && o.critical->Alerts(held))
        check.Add(Verdict::Critical, note);
    else if (o.warning && o.warning->Alerts(held))
        check.Add(Verdict::Warning, note);
    else if (!o.warning && !o.critical && AlertOf(s) != SupplyAlert::None)
        check.Add(Verdict::Warning, note);
}

PrinterCheck CheckPrinter(const Options& o, const TAList& entry, const WatchState& state, std::string& perf)
{
    PrinterCheck check;
    if (!state.looked || !state.reachable) {
        check.Add(o.offline, "no answer from " + ServerText(entry));
        return check;
    }
    if (!state.refusal.empty()) {
        const std::string line = LineText(state);
        check.Add(state.refusal == quenlo::texts::kNoPrintersSuffix ? Verdict::Critical : Verdict::Unknown,
                  line.starts_with(" - ") ? line.substr(3) : line);
        return check;
    }
    if (state.printer.stateText == PrinterStateText(5))
        check.Add(Verdict::Critical, "stopped");
    if (state.printer.acceptingText == AcceptingJobsText(0))
        check.Add(Verdict::Critical, "rejecting jobs");
    for (const std::string& reason : state.says.reasons) {
        const ReasonLevel level = LevelOfReason(reason);
        if (o.ignored.count(reason) || (level != ReasonLevel::Error && level != ReasonLevel::Warning))
            continue;
        check.Add(level == ReasonLevel::Error ? Verdict::Critical : Verdict::Warning, reason);
    }
    for (const Supply& s : state.says.supplies)
        CheckSupply(o, s, check, perf, entry.name);
    if (state.jobs >= 0)
        perf += " " + PerfLabel(entry.name + " jobs") + "=" + std::to_string(state.jobs) + ";;;0";
    if (state.queue.known) {
        const double age = state.queue.OldestPendingAge(std::chrono::steady_clock::now());
        const std::int64_t seconds = std::max<std::int64_t>(std::llround(age), 0);
        perf += " " + PerfLabel(entry.name + " oldest pending job") + "=" + std::to_string(seconds) + "s;;;0";
    }
    return check;
}

int Unknown(const std::string& why)
{
    std::cout << "QUENLO UNKNOWN - " << OneLine(why) << std::endl;
    return static_cast<int>(Verdict::Unknown);
}

int RunChecked(const std::vector<std::string>& argv)
{
    const Options o = ParseOptions(argv);
    std::vector<std::string> fileArgs;
    if (o.config)
        fileArgs = {"--config", *o.config};
    if (o.printer)
        fileArgs.insert(fileArgs.end(), {"--printer", *o.printer});
    PrinterList printers;
    ProxySettings proxy;
    std::ostringstream why;
    std::streambuf* const err = std::cerr.rdbuf(why.rdbuf());
    const bool loaded = LoadChosenPrinters(Args(fileArgs, {"config", "printer"}), "check", printers, proxy);
    std::cerr.rdbuf(err);
    if (!loaded)
        return Unknown(why.str().empty() ? "the printers file cannot be read" : why.str());
    proxy.WatchDevice = 0;

    StopOnSignals();
    TWatcher watcher(printers, proxy, o.seconds);
    watcher.ReadQueues();
    LookOnceUntil(watcher, std::chrono::steady_clock::now() + std::chrono::seconds(o.seconds) - std::chrono::milliseconds(500));

    Verdict worst = Verdict::Ok;
    std::size_t counts[4] = {};
    std::string perf, lines;
    for (std::size_t i = 0; i < watcher.Count(); ++i) {
        const TAList& entry = watcher.Printer(i);
        const PrinterCheck check = CheckPrinter(o, entry, watcher.State(i), perf);
        worst = Worse(worst, check.verdict);
        ++counts[static_cast<int>(check.verdict)];
        std::string notes;
        for (const std::string& note : check.notes)
            notes += (notes.empty() ? "" : ", ") + note;
        lines += OneLine(entry.name) + ": " + VerdictName(check.verdict) + (notes.empty() ? "" : " - " + OneLine(notes)) + "\n";
    }
    std::string summary = std::to_string(watcher.Count()) + (watcher.Count() == 1 ? " printer" : " printers");
    for (const Verdict v : {Verdict::Critical, Verdict::Warning, Verdict::Unknown, Verdict::Ok})
        if (counts[static_cast<int>(v)] > 0)
            summary += ", " + std::to_string(counts[static_cast<int>(v)]) + " " + platform::AsciiLower(std::string(VerdictName(v)));
    std::cout << "QUENLO " << VerdictName(worst) << " - " << summary << (perf.empty() ? "" : " |" + perf) << "\n" << lines;
    std::cout.flush();
    return static_cast<int>(worst);
}

int RunCheck(const std::vector<std::string>& argv)
{
    try {
        return RunChecked(argv);
    } catch (const UsageError& e) {
        return Unknown(e.detail + " (quenlo-cli check --help)");
    }
}

const CommandRegistration kCheck{
    Command{"check",
            "[--config FILE] [--printer NAME] [-w RANGE] [-c RANGE] [--ignore-reason KEYWORD]... "
            "[--offline ok|warning|critical|unknown] [-t SECONDS]",
            RunCheck}};

}  // namespace
}  // namespace quenlo::cli
