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
#include "cli/Command.h"
#include "monitor/Watcher.h"
#include "platform/EventLoop.h"

#include <algorithm>
#include <csignal>
#include <ctime>
#include <iostream>
#include <set>

namespace quenlo::cli {
namespace {

volatile std::sig_atomic_t gStop = 0;

void OnStopSignal(int) { gStop = 1; }

std::string UtcText(std::chrono::system_clock::time_point when)
{
    const std::time_t t = std::chrono::system_clock::to_time_t(when);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

void PrintChange(const TWatcher& watcher, std::size_t index)
{
    const WatchState& state = watcher.State(index);
    const std::string& name = watcher.Printer(index).name;
    std::cout << UtcText(state.changedAt) << '\t' << EscapedField(name) << '\t' << LampName(WatchLamp(state))
              << '\t' << EscapedField(WatchLine(state, name)) << '\t' << state.jobs << '\t'
              << EscapedField(WatchReasons(state)) << std::endl;
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

int RunWatch(const std::vector<std::string>& argv)
{
    const Args args(argv, {"config", "seconds", "count"});
    if (!args.positional().empty())
        throw UsageError{"no positional argument is taken"};
    const std::optional<long long> seconds = args.number("seconds");
    const long long count = args.number("count").value_or(0);
    if (seconds && (*seconds < 1 || *seconds > 86400))
        throw UsageError{"--seconds takes 1 to 86400"};

    PrinterList printers;
    ProxySettings proxy;
    if (!LoadPrinters(args, printers, proxy))
        return 1;
    const int interval = seconds ? static_cast<int>(*seconds) : proxy.Watch > 0 ? proxy.Watch : 5;

    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);

    TWatcher watcher(printers, proxy, interval);
    long long changes = 0;
    bool done = false;
    std::set<std::size_t> warned;
    watcher.OnChange = [&](TWatcher& sender, std::size_t index) {
        if (done)
            return;
        if (sender.State(index).passwordPlain && warned.insert(index).second)
            WarnPasswordWentPlain("printer " + sender.Printer(index).name);
        PrintChange(sender, index);
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

int RunSupplies(const std::vector<std::string>& argv)
{
    const Args args(argv, {"config", "printer"});
    if (!args.positional().empty())
        throw UsageError{"no positional argument is taken"};
    PrinterList printers;
    ProxySettings proxy;
    if (!LoadPrinters(args, printers, proxy))
        return 1;
    if (const std::optional<std::string> only = args.value("printer")) {
        std::erase_if(printers, [&](const TAList& entry) { return entry.name != *only; });
        if (printers.empty()) {
            std::cerr << "quenlo-cli supplies: no printer " << *only << " in the file\n";
            return 1;
        }
    }
    // One look, given up after 10 s: the watcher's interval is its request's time limit too. The
    // printers behind the queues have nothing to add to the supplies.
    proxy.WatchDevice = 0;
    TWatcher watcher(printers, proxy, 10);
    watcher.PollOnly();
    watcher.Start();
    watcher.Stop();
    const auto allLooked = [&] {
        for (std::size_t i = 0; i < watcher.Count(); ++i)
            if (!watcher.State(i).looked)
                return false;
        return true;
    };
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(12);
    while (!allLooked() && gStop == 0 && std::chrono::steady_clock::now() < limit)
        platform::WaitAndProcess(std::chrono::milliseconds(100));
    int exitCode = 0;
    for (std::size_t i = 0; i < watcher.Count(); ++i) {
        if (!watcher.State(i).reachable) {
            std::cerr << "quenlo-cli supplies: " << EscapedField(watcher.Printer(i).name) << " does not answer\n";
            exitCode = 1;
        }
        PrintSupplies(watcher, i);
    }
    std::cout.flush();
    return std::cout ? exitCode : 1;
}

const CommandRegistration kSupplies{Command{"supplies", "[--config FILE] [--printer NAME]", RunSupplies}};
const CommandRegistration kWatch{Command{"watch", "[--config FILE] [--seconds S] [--count N]", RunWatch}};

}  // namespace
}  // namespace quenlo::cli
