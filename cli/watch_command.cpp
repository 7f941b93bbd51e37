// quenlo-cli watch: the window's background watch of every printer, as text.
//
//   quenlo-cli watch [--config FILE] [--seconds S] [--count N]
//
// Looks at every printer of the file every S seconds (default: the file's "watch" key, else 5)
// and prints one line per change, tab-separated:
//
//   TIME  NAME  LAMP  PRINTER-LINE  JOBS  REASONS
//
// TIME is UTC in ISO 8601 ("2026-12-08T17:00:00Z"), LAMP one of green, yellow, red, PRINTER-LINE
// the printer line as the window shows it, JOBS the number of jobs not completed (-1: not known),
// REASONS the printer's state reasons as it sends them, comma-separated ("none": none; empty while
// unreachable).
// The first look at each printer counts as a change. Ends after N changes (--count, 0 or absent:
// no limit), or on SIGINT/SIGTERM; then it cancels its subscriptions (waiting at most 2 s).
// Exit code 0, or 1 when the printers file cannot be read, 2 for a bad argument.
//
//   quenlo-cli supplies [--config FILE] [--printer NAME]
//
// One look at every printer (or NAME only), whether or not the file sets "watch", and one line per
// supply, tab-separated: PRINTER  NAME  COLOUR  TYPE  LEVEL  LOW  HIGH, the levels in percent,
// LEVEL "unknown" when the printer does not know it, LOW and HIGH "-" when there is no such level.
// Exit code 0; 1 when the file cannot be read, NAME is not in it, or a printer does not answer
// within 10 s (said on standard error; the others are still listed).
//
//   quenlo-cli status [--config FILE] [--printer NAME]
//
// The same one look, and one line per printer, tab-separated: NAME  LAMP  SERVER  PRINTER-LINE  JOBS
// REASONS  SUPPLIES, SERVER as host:port, PRINTER-LINE without the name, SUPPLIES as NAME=LEVEL%
// pairs joined by ", " (LEVEL "?" when the printer does not know it). Exit code 0 when every printer
// answered; 1 when the file cannot be read, NAME is not in it, a server did not answer or a queue is
// missing on it (every row is printed all the same).
//
// With --json each of watch, supplies and status prints one JSON object per line instead (the keys
// in the manual).
#include "cli/CliTexts.h"
#include "cli/Command.h"
#include "cli/Json.h"
#include "cli/WatchRun.h"
#include "monitor/Overview.h"
#include "monitor/Watcher.h"
#include "platform/EventLoop.h"

#include <algorithm>
#include <csignal>
#include <ctime>
#include <functional>
#include <iostream>
#include <set>

namespace quenlo::cli {

namespace {

volatile std::sig_atomic_t gStop = 0;

void OnStopSignal(int) { gStop = 1; }

}  // namespace

void StopOnSignals()
{
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);
}

// Waits for the stop signal or the count, sleeping in the event loop; the signal is looked at
// four times a second, which costs nothing worth measuring.
void RunUntilStopped(const bool& done)
{
    while (!done && gStop == 0)
        platform::WaitAndProcess(std::chrono::milliseconds(250));
}

void EndCleanly(TWatcher& watcher)
{
    watcher.CancelSubscriptions();
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (watcher.Busy() && std::chrono::steady_clock::now() < limit)
        platform::WaitAndProcess(std::chrono::milliseconds(100));
}

// The file's printers, or only NAME of --printer (said on standard error when it is not there).
bool LoadChosenPrinters(const Args& args, const char* command, PrinterList& printers, ProxySettings& proxy)
{
    if (!LoadPrinters(args, printers, proxy))
        return false;
    if (const std::optional<std::string> only = args.value("printer")) {
        std::erase_if(printers, [&](const TAList& entry) { return entry.name != *only; });
        if (printers.empty()) {
            std::cerr << "quenlo-cli " << command << ": " << texts::kNoPrinter << EscapedField(*only) << texts::kNotInTheFile << "\n";
            return false;
        }
    }
    return true;
}

bool LookedAtAll(const TWatcher& watcher)
{
    for (std::size_t i = 0; i < watcher.Count(); ++i)
        if (!watcher.State(i).looked)
            return false;
    return !watcher.Busy();  // a queue read after the look included
}

void LookOnceUntil(TWatcher& watcher, std::chrono::steady_clock::time_point limit)
{
    StartOneLook(watcher);
    while (!LookedAtAll(watcher) && gStop == 0 && std::chrono::steady_clock::now() < limit)
        platform::WaitAndProcess(std::chrono::milliseconds(100));
}

void LookOnce(TWatcher& watcher)
{
    const std::size_t rounds = (watcher.ServerCount() + kServersAtOnce - 1) / kServersAtOnce;
    LookOnceUntil(watcher, std::chrono::steady_clock::now() +
                               std::chrono::seconds(2 + 10 * std::max<std::size_t>(rounds, 1)));
}

namespace {

std::string UtcText(std::chrono::system_clock::time_point when)
{
    const std::time_t t = std::chrono::system_clock::to_time_t(when);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

std::optional<std::int64_t> Known(std::int32_t value)
{
    return value < 0 ? std::nullopt : std::optional<std::int64_t>(value);
}

// The printer's fields appended to `json`; what the printer did not tell is null.
JsonObject PrinterJson(const TWatcher& watcher, std::size_t index, JsonObject json = {})
{
    const WatchState& state = watcher.State(index);
    const bool answered = state.looked && state.reachable;
    const bool shown = answered && state.refusal.empty();  // the server showed the printer
    const auto ifShown = [&](const std::string& value) { return shown ? std::optional<std::string>(value) : std::nullopt; };
    std::vector<JsonObject> alerts;
    for (const PrinterAlert& alert : WatchAlerts(state))
        alerts.push_back(JsonObject()
                             .Text("level", alert.level == ReasonLevel::Error ? "error" : "warning")
                             .Text("reason", alert.key)
                             .Text("text", alert.text));
    json.Text("printer", watcher.Printer(index).name)
        .Text("lamp", LampName(WatchLamp(state)))
        .Text("line", LineText(state))
        .Bool("answered", shown)
        .TextOrNull("state", ifShown(state.printer.stateText))
        .BoolOrNull("accepting", shown && !state.printer.acceptingText.empty()
                                     ? std::optional<bool>(state.printer.acceptingText == AcceptingJobsText(1))
                                     : std::nullopt)
        .TextOrNull("message", ifShown(state.printer.stateMessage))
        .NumberOrNull("jobs", Known(state.jobs));
    if (answered)
        json.Texts("reasons", state.says.reasons);
    else
        json.Null("reasons");
    return json.Objects("alerts", alerts);
}

// The supply's fields appended to `json`; a level the printer does not know is null.
JsonObject SupplyJson(const Supply& s, JsonObject json = {})
{
    return json.Text("name", s.name)
        .Text("colour", s.colour)
        .Text("type", s.type)
        .NumberOrNull("level", Known(s.level))
        .NumberOrNull("low", Known(s.low))
        .NumberOrNull("high", Known(s.high));
}

std::vector<JsonObject> SuppliesJson(const WatchState& state)
{
    std::vector<JsonObject> supplies;
    for (const Supply& s : state.says.supplies)
        supplies.push_back(SupplyJson(s));
    return supplies;
}

void PrintChange(const TWatcher& watcher, std::size_t index, bool json)
{
    const WatchState& state = watcher.State(index);
    const std::string& name = watcher.Printer(index).name;
    if (json) {
        std::cout << PrinterJson(watcher, index, JsonObject().Text("time", UtcText(state.changedAt))).Line()
                  << std::endl;
        return;
    }
    std::cout << UtcText(state.changedAt) << '\t' << EscapedField(name) << '\t' << LampName(WatchLamp(state))
              << '\t' << EscapedField(WatchLine(state, name)) << '\t' << state.jobs << '\t'
              << EscapedField(WatchReasons(state)) << std::endl;
}

int RunWatch(const std::vector<std::string>& argv)
{
    const Args args(argv, {"config", "seconds", "count"}, {"json"});
    if (!args.positional().empty())
        throw UsageError{texts::kNoPositional};
    const bool json = args.flag("json");
    const std::optional<long long> seconds = args.number("seconds");
    const long long count = args.number("count").value_or(0);
    if (seconds && (*seconds < 1 || *seconds > 86400))
        throw UsageError{texts::kSecondsRange};

    PrinterList printers;
    ProxySettings proxy;
    if (!LoadPrinters(args, printers, proxy))
        return 1;
    const int interval = seconds ? static_cast<int>(*seconds) : proxy.Watch > 0 ? proxy.Watch : 5;

    StopOnSignals();

    TWatcher watcher(printers, proxy, interval);
    long long changes = 0;
    bool done = false;
    std::set<std::size_t> warned;
    watcher.OnChange = [&](TWatcher& sender, std::size_t index) {
        if (done)
            return;
        if (sender.State(index).passwordPlain && warned.insert(index).second)
            WarnPasswordWentPlain("printer " + sender.Printer(index).name);
        PrintChange(sender, index, json);
        done = count > 0 && ++changes >= count;
    };
    watcher.Start();
    RunUntilStopped(done);
    EndCleanly(watcher);
    return 0;
}

std::string LevelText(std::int32_t level, const char* unknown)
{
    return level < 0 ? std::string(unknown) : std::to_string(level);
}

void PrintSupplies(const TWatcher& watcher, std::size_t index)
{
    for (const Supply& s : watcher.State(index).says.supplies) {
        std::string line = EscapedField(watcher.Printer(index).name);
        for (const std::string& field : {s.name, s.colour, s.type, LevelText(s.level, "unknown"),
                                         LevelText(s.low, "-"), LevelText(s.high, "-")}) {
            line += '\t';
            AppendEscapedField(line, field);
        }
        std::cout << line << '\n';
    }
}

// The arguments of supplies and status, then one look at the printers they name, then `print`
// with the watcher that made it; `print` returns the exit code when the output was written.
int AfterOneLook(const std::vector<std::string>& argv, const char* command,
                 const std::function<int(const Args&, const TWatcher&)>& print)
{
    const Args args(argv, {"config", "printer"}, {"json"});
    if (!args.positional().empty())
        throw UsageError{texts::kNoPositional};
    PrinterList printers;
    ProxySettings proxy;
    if (!LoadChosenPrinters(args, command, printers, proxy))
        return 1;
    proxy.WatchDevice = 0;
    TWatcher watcher(printers, proxy, 10);
    LookOnce(watcher);
    const int exitCode = print(args, watcher);
    std::cout.flush();
    return std::cout ? exitCode : 1;
}

int RunSupplies(const std::vector<std::string>& argv)
{
    return AfterOneLook(argv, "supplies", [](const Args& args, const TWatcher& watcher) {
        int exitCode = 0;
        for (std::size_t i = 0; i < watcher.Count(); ++i) {
            if (!watcher.State(i).reachable) {
                std::cerr << texts::kSupplies << EscapedField(watcher.Printer(i).name) << texts::kDoesNotAnswer << "\n";
                exitCode = 1;
            }
            if (args.flag("json")) {
                for (const Supply& s : watcher.State(i).says.supplies)
                    std::cout << SupplyJson(s, JsonObject().Text("printer", watcher.Printer(i).name)).Line() << '\n';
            } else {
                PrintSupplies(watcher, i);
            }
        }
        return exitCode;
    });
}

std::string SuppliesText(const WatchState& state)
{
    std::string text;
    for (const Supply& s : state.says.supplies)
        text += (text.empty() ? "" : ", ") + s.name + "=" + (s.level < 0 ? std::string("?") : std::to_string(s.level)) + "%";
    return text;
}

int RunStatus(const std::vector<std::string>& argv)
{
    return AfterOneLook(argv, "status", [](const Args& args, const TWatcher& watcher) {
        int exitCode = 0;
        for (std::size_t i = 0; i < watcher.Count(); ++i) {
            const WatchState& state = watcher.State(i);
            const TAList& entry = watcher.Printer(i);
            if (!state.reachable || !state.refusal.empty())
                exitCode = 1;
            if (args.flag("json")) {
                std::cout << PrinterJson(watcher, i).Text("server", ServerText(entry)).Objects("supplies", SuppliesJson(state)).Line()
                          << '\n';
                continue;
            }
            std::string line = EscapedField(entry.name);
            for (const std::string& field : {std::string(LampName(WatchLamp(state))), ServerText(entry), LineText(state),
                                             std::to_string(state.jobs), WatchReasons(state), SuppliesText(state)}) {
                line += '\t';
                AppendEscapedField(line, field);
            }
            std::cout << line << '\n';
        }
        return exitCode;
    });
}

const CommandRegistration kSupplies{Command{"supplies", "[--config FILE] [--printer NAME] [--json]", RunSupplies}};
const CommandRegistration kStatus{Command{"status", "[--config FILE] [--printer NAME] [--json]", RunStatus}};
const CommandRegistration kWatch{Command{"watch", "[--config FILE] [--seconds S] [--count N] [--json]", RunWatch}};

}  // namespace
}  // namespace quenlo::cli
