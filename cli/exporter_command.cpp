// quenlo-cli exporter: the watch of every printer of the file, served to a monitoring system.
//
//   quenlo-cli exporter [--config FILE] [--listen ADDR:PORT]
//
// Watches every printer as `quenlo-cli watch` does and serves over HTTP, on ADDR:PORT (default
// 127.0.0.1:10631; "[::1]:PORT" for IPv6, port 0 for one the system picks):
//
//   GET /metrics   the watch's state in the Prometheus text format 0.0.4, or in OpenMetrics 1.0
//                  when the Accept field asks for it; never a request to a printer's server
//   GET /          a short page linking it
//   GET /probe?target=URL
//                  one look at the queue of URL (ipp://, ipps://, http:// or https://HOST[:PORT]/printers/NAME),
//                  which the file need not list: the per-printer families of it beside
//                  quenlo_probe_success and quenlo_probe_duration_seconds, within the scraper's
//                  X-Prometheus-Scrape-Timeout-Seconds; 400 for a bad target, 503 while
//                  kProbesAtOnce probes are under way
//
// and 404 for every other path. The first line on standard output says where it listens. Runs
// until SIGINT or SIGTERM, then cancels its subscriptions. Exit code 0; 1 when the file cannot be
// read or the address cannot be listened on; 2 for a bad argument.
#include "cli/CliTexts.h"
#include "cli/Command.h"
#include "cli/Metrics.h"
#include "cli/WatchRun.h"
#include "monitor/Overview.h"
#include "net/HttpServer.h"
#include "net/HttpUrl.h"
#include "net/TlsTrust.h"
#include "platform/EventLoop.h"
#include "platform/Text.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <iostream>
#include <list>
#include <map>
#include <set>

namespace quenlo::cli {
namespace {

constexpr const char* kDefaultListen = "127.0.0.1:10631";

const char* SeverityName(ReasonLevel level)
{
    switch (level) {
    case ReasonLevel::Error: return "error";
    case ReasonLevel::Warning: return "warning";
    default: return "report";
    }
}

double Seconds(std::chrono::system_clock::time_point when)
{
    return std::chrono::duration<double>(when.time_since_epoch()).count();
}

double Ratio(std::int32_t percent)
{
    return percent / 100.0;
}

// The server showed the printer at the last look.
bool Shown(const WatchState& state)
{
    return state.looked && state.reachable && state.refusal.empty();
}

// Per server that spoke TLS to the watch: its certificate as of the last handshake.
void CertificateFamilies(MetricsWriter& out, const TWatcher& watcher)
{
    std::map<std::string, TServerCertificate> certificates;
    for (std::size_t i = 0; i < watcher.Count(); ++i) {
        const TUrlParts server = SplitUrl(watcher.Printer(i).remotehost, TUrlStart::Host);
        if (const auto certificate = LastServerCertificate(TrustKey(server.Host, server.Port.empty() ? "80" : server.Port)))
            certificates[ServerText(watcher.Printer(i))] = *certificate;
    }
    out.Family("quenlo_server_certificate_expiry_timestamp_seconds", MetricsWriter::Type::Gauge,
               "When the TLS certificate the server showed at the last handshake stops being valid.");
    for (const auto& [server, certificate] : certificates)
        if (certificate.expires > 0)
            out.Sample({{"server", server}}, static_cast<double>(certificate.expires));
    out.Family("quenlo_server_certificate_kept", MetricsWriter::Type::Gauge,
               "1 when the server's TLS certificate is the one kept for it (trusted at first use), 0 when not (changed, "
               "or vouched for only by the system's authorities).");
    for (const auto& [server, certificate] : certificates)
        out.Sample({{"server", server}}, certificate.kept ? 1 : 0);
}

void ServerFamilies(MetricsWriter& out, const TWatcher& watcher)
{
    // Per server: one of its printers answered / one holds a subscription.
    std::map<std::string, std::pair<bool, bool>> servers;
    for (std::size_t i = 0; i < watcher.Count(); ++i) {
        auto& [up, subscribed] = servers[ServerText(watcher.Printer(i))];
        up = up || watcher.State(i).reachable;
        subscribed = subscribed || watcher.Mode(i) == WatchMode::Events;
    }
    out.Family("quenlo_server_up", MetricsWriter::Type::Gauge,
               "1 when the server answered the last look at one of its printers.");
    for (const auto& [server, flags] : servers)
        out.Sample({{"server", server}}, flags.first ? 1 : 0);
    out.Family("quenlo_server_subscribed", MetricsWriter::Type::Gauge,
               "1 while the watch holds an event subscription on the server, 0 while it looks at every printer.");
    for (const auto& [server, flags] : servers)
        out.Sample({{"server", server}}, flags.second ? 1 : 0);
    CertificateFamilies(out, watcher);
}

MetricLabels PrinterLabels(const TAList& entry)
{
    return {{"printer", entry.name}, {"server", ServerText(entry)}};
}

MetricLabels With(MetricLabels labels, std::string_view name, std::string value)
{
    labels.emplace_back(name, std::move(value));
    return labels;
}

// One family, one sample per printer that `value` gives one for.
template <class Value>
void PerPrinter(MetricsWriter& out, const TWatcher& watcher, std::string_view name, std::string_view help, Value value)
{
    out.Family(name, MetricsWriter::Type::Gauge, help);
    for (std::size_t i = 0; i < watcher.Count(); ++i)
        if (const std::optional<double> v = value(watcher.State(i)))
            out.Sample(PrinterLabels(watcher.Printer(i)), *v);
}

void PrinterFamilies(MetricsWriter& out, const TWatcher& watcher)
{
    PerPrinter(out, watcher, "quenlo_printer_up", "1 when the server showed the printer at the last look or event.",
               [](const WatchState& s) { return std::optional<double>(Shown(s) ? 1 : 0); });
    out.Family("quenlo_printer_state", MetricsWriter::Type::StateSet,
               "The printer's state as of the last look or event.");
    for (std::size_t i = 0; i < watcher.Count(); ++i) {
        const WatchState& s = watcher.State(i);
        if (!Shown(s) || s.printer.stateText.empty() || s.printer.stateText == PrinterStateText(0))
            continue;
        for (const std::int32_t state : {3, 4, 5}) {
            const std::string_view text = PrinterStateText(state);
            out.Sample(With(PrinterLabels(watcher.Printer(i)), "quenlo_printer_state", std::string(text)),
                       s.printer.stateText == text ? 1 : 0);
        }
    }
    PerPrinter(out, watcher, "quenlo_printer_accepting_jobs", "1 when the printer accepts jobs, as of the last look or event.",
               [](const WatchState& s) {
                   return Shown(s) && !s.printer.acceptingText.empty()
                              ? std::optional<double>(s.printer.acceptingText == AcceptingJobsText(1) ? 1 : 0)
                              : std::nullopt;
               });
    out.Family("quenlo_printer_reason", MetricsWriter::Type::Gauge,
               "1 for each state reason the printer gave at the last look or event, with its severity.");
    for (std::size_t i = 0; i < watcher.Count(); ++i) {
        if (!Shown(watcher.State(i)))
            continue;
        for (const std::string& reason : watcher.State(i).says.reasons)
            out.Sample(With(With(PrinterLabels(watcher.Printer(i)), "reason", reason), "severity",
                            SeverityName(LevelOfReason(reason))),
                       1);
    }
    PerPrinter(out, watcher, "quenlo_printer_jobs", "Jobs not completed on the printer, as of the last look or event.",
               [](const WatchState& s) { return Shown(s) && s.jobs >= 0 ? std::optional<double>(s.jobs) : std::nullopt; });
    out.Family("quenlo_printer_jobs_by_state", MetricsWriter::Type::Gauge,
               "Jobs not completed on the printer by job state, as of the last read of its queue.");
    for (std::size_t i = 0; i < watcher.Count(); ++i) {
        const WatchState& s = watcher.State(i);
        if (!Shown(s) || !s.queue.known)
            continue;
        for (std::size_t state = 0; state < s.queue.byState.size(); ++state)
            out.Sample(With(PrinterLabels(watcher.Printer(i)), "state",
                            std::string(JobStateText(static_cast<std::int32_t>(state) + 3))),
                       s.queue.byState[state]);
    }
    const auto now = std::chrono::steady_clock::now();
    PerPrinter(out, watcher, "quenlo_printer_oldest_pending_job_age_seconds",
               "How long the oldest pending job has waited (0 when none waits), by the server's clock at the "
               "last read of the queue.",
               [now](const WatchState& s) {
                   return Shown(s) && s.queue.known ? std::optional<double>(std::max(s.queue.OldestPendingAge(now), 0.0))
                                                    : std::nullopt;
               });
    PerPrinter(out, watcher, "quenlo_printer_last_look_timestamp_seconds",
               "When the watch last read the printer (the time the other values are as of).",
               [](const WatchState& s) { return s.looked ? std::optional<double>(Seconds(s.lookedAt)) : std::nullopt; });
    PerPrinter(out, watcher, "quenlo_printer_last_change_timestamp_seconds",
               "When the watch last saw the printer change.",
               [](const WatchState& s) { return s.looked ? std::optional<double>(Seconds(s.changedAt)) : std::nullopt; });
    out.Family("quenlo_printer", MetricsWriter::Type::Info,
               "The printer as the printers file names it, and what it says it is and where (empty until it has said).");
    for (std::size_t i = 0; i < watcher.Count(); ++i) {
        const TAList& entry = watcher.Printer(i);
        const WatchState& s = watcher.State(i);
        MetricLabels labels = With(With(PrinterLabels(entry), "uri", "ipp://" + ServerText(entry) + entry.url), "comment", entry.comment);
        out.Sample(With(With(std::move(labels), "make_and_model", s.makeAndModel), "location", s.location), 1);
    }
}

MetricLabels SupplyLabels(const TAList& entry, const Supply& supply)
{
    return With(With(With(PrinterLabels(entry), "supply", supply.name), "colour", supply.colour), "type", supply.type);
}

// One family, one sample per supply whose `level` is known.
void PerSupply(MetricsWriter& out, const TWatcher& watcher, std::string_view name, std::string_view help,
               std::int32_t Supply::*level)
{
    out.Family(name, MetricsWriter::Type::Gauge, help);
    for (std::size_t i = 0; i < watcher.Count(); ++i) {
        if (!Shown(watcher.State(i)))
            continue;
        for (const Supply& supply : watcher.State(i).says.supplies)
            if (supply.*level >= 0)
                out.Sample(SupplyLabels(watcher.Printer(i), supply), Ratio(supply.*level));
    }
}

void SupplyFamilies(MetricsWriter& out, const TWatcher& watcher)
{
    PerSupply(out, watcher, "quenlo_supply_level_ratio",
              "The supply's level (1 full), as of the last look or event; left out while the printer does not know it.",
              &Supply::level);
    PerSupply(out, watcher, "quenlo_supply_low_level_ratio", "At or below this level the printer says the supply runs out.",
              &Supply::low);
    PerSupply(out, watcher, "quenlo_supply_high_level_ratio", "At or above this level the printer says the waste container is full.",
              &Supply::high);
    PerPrinter(out, watcher, "quenlo_printer_supplies_unknown_level", "Supplies of the printer whose level it does not know.",
               [](const WatchState& s) {
                   return Shown(s) ? std::optional<double>(std::ranges::count_if(s.says.supplies, [](const Supply& supply) {
                       return supply.level < 0;
                   }))
                                   : std::nullopt;
               });
}

std::string MetricsText(const TWatcher& watcher, MetricsFormat format, double lastScrapeSeconds)
{
    MetricsWriter out(format);
    out.Family("quenlo_exporter_up", MetricsWriter::Type::Gauge, "1 while the exporter serves the watch.");
    out.Sample({}, 1);
    out.Family("quenlo_exporter_scrape_duration_seconds", MetricsWriter::Type::Gauge,
               "How long the exporter took to write the previous answer to /metrics.");
    out.Sample({}, lastScrapeSeconds);
    ServerFamilies(out, watcher);
    PrinterFamilies(out, watcher);
    SupplyFamilies(out, watcher);
    return out.Finish();
}

THttpAnswer PlainAnswer(int status, std::string text)
{
    THttpAnswer answer;
    answer.status = status;
    answer.body = std::move(text);
    return answer;
}

// ---- /probe: one look at a queue the file need not list

// A scraper that asks for many targets at once gets 503 beyond these: each probe holds a connection
// to the scraper and one to the target's server.
constexpr std::size_t kProbesAtOnce = 8;
constexpr double kProbeSecondsUntold = 10;  // Prometheus's own default scrape timeout
constexpr double kProbeSecondsAtMost = 60;
// Left of the scraper's timeout for the answer to reach it.
constexpr double kProbeAnswerMargin = 0.5;

// How long a probe may look, from the scraper's X-Prometheus-Scrape-Timeout-Seconds: its timeout
// less the margin (half of a timeout shorter than two margins); a value that is no positive number
// counts as untold, one above the maximum as the maximum.
std::chrono::milliseconds ProbeBound(const std::string& told)
{
    double seconds = kProbeSecondsUntold;
    double value = 0;
    const auto [end, error] = std::from_chars(told.data(), told.data() + told.size(), value);
    if (!told.empty() && error == std::errc() && end == told.data() + told.size() && std::isfinite(value) && value > 0)
        seconds = std::min(value, kProbeSecondsAtMost);
    seconds = std::max(seconds - kProbeAnswerMargin, seconds / 2);
    return std::chrono::milliseconds(std::llround(seconds * 1000));
}

// The entry the queue's address would be in the printers file, without user or password (a
// probe's credentials are the file's proxy settings only); nullopt for anything else.
std::optional<TAList> ProbeEntry(const std::string& target, const ProxySettings& proxy)
{
    const std::string scheme = platform::AsciiLower(SchemeOf(target));
    const char* defaultPort = scheme == "ipp" || scheme == "ipps" ? "631" : scheme == "http" ? "80" : scheme == "https" ? "443" : nullptr;
    if (!defaultPort || target.compare(scheme.size(), 3, "://") != 0)
        return std::nullopt;
    const std::string rest = target.substr(scheme.size() + 3);
    const std::size_t slash = std::min(rest.find('/'), rest.size());
    const std::string authority = rest.substr(0, slash), path = rest.substr(slash);
    if (authority.find('@') != std::string::npos || !WireSafe(rest, false) || rest.find_first_of("?#") != std::string::npos)
        return std::nullopt;
    const TUrlParts parts = SplitUrl(authority, TUrlStart::Host);
    const std::string port = parts.Port.empty() && !authority.ends_with(':') ? defaultPort : parts.Port;
    unsigned number = 0;
    const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), number);
    const bool bracketed = parts.Host.starts_with('[');  // an IPv6 address, whole
    if (bracketed ? parts.Host.size() < 3 || !parts.Host.ends_with(']') : parts.Host.find_first_of("[]") != std::string::npos)
        return std::nullopt;
    if (parts.Host.empty() || port.empty() || error != std::errc() || end != port.data() + port.size() || number < 1 ||
        number > 65535)
        return std::nullopt;
    std::string name;
    for (const std::string_view prefix : {"/printers/", "/classes/"})
        if (path.starts_with(prefix))
            name = path.substr(prefix.size());
    if (name.empty() || name.find('/') != std::string::npos)
        return std::nullopt;
    TAList entry;
    entry.name = name;
    entry.remotehost = parts.Host + ":" + std::to_string(number);
    entry.url = path;
    entry.localport = -1;
    entry.encryption = scheme == "ipps" || scheme == "https" ? "Required" : proxy.Encryption;
    return entry;
}

std::string ProbeText(const TWatcher& watcher, MetricsFormat format, double seconds)
{
    MetricsWriter out(format);
    out.Family("quenlo_probe_success", MetricsWriter::Type::Gauge,
               "1 when the target's server showed the queue within the probe's time.");
    out.Sample({}, Shown(watcher.State(0)) ? 1 : 0);
    out.Family("quenlo_probe_duration_seconds", MetricsWriter::Type::Gauge, "How long the probe took.");
    out.Sample({}, seconds);
    PrinterFamilies(out, watcher);
    SupplyFamilies(out, watcher);
    return out.Finish();
}

// The probes under way: each one look of its own watcher (the one `check` takes), apart from the
// exporter's watch, whose state no probe touches. Each is answered when its look has ended or its
// time is up, whichever comes first.
class TProbes {
public:
    explicit TProbes(const ProxySettings& proxy) : proxy_(proxy)
    {
        proxy_.WatchDevice = 0;  // a probe asks the queue, never a device behind it
        window_ = platform::CreateMessageTarget([this](platform::HWND, unsigned message, platform::WPARAM, platform::LPARAM) {
            if (message == platform::WM_TIMER)
                AnswerEnded();
            return platform::LRESULT{0};
        });
    }
    ~TProbes() { platform::DestroyMessageTarget(window_); }
    TProbes(const TProbes&) = delete;
    TProbes& operator=(const TProbes&) = delete;

    std::optional<THttpAnswer> Start(const THttpRequestParser& request, THttpListener::TLaterAnswer later)
    {
        const std::optional<std::string> target = request.Parameter("target");
        if (!target)
            return PlainAnswer(400, texts::kProbeTargetMissing);
        std::optional<TAList> entry = ProbeEntry(*target, proxy_);
        if (!entry)
            return PlainAnswer(400, texts::kProbeTargetForm + EscapedField(*target) + "\n");
        if (probes_.size() >= kProbesAtOnce)
            return PlainAnswer(503, texts::kProbesBusy);
        Probe& probe = probes_.emplace_back();
        probe.printers.push_back(std::move(*entry));
        probe.start = std::chrono::steady_clock::now();
        const std::chrono::milliseconds bound = ProbeBound(request.Field("x-prometheus-scrape-timeout-seconds"));
        probe.deadline = probe.start + bound;
        probe.format = FormatAccepted(request.Field("accept"));
        probe.later = std::move(later);
        const int seconds = static_cast<int>(std::ceil(std::chrono::duration<double>(bound).count()));
        probe.watcher = std::make_unique<TWatcher>(probe.printers, proxy_, std::max(seconds, 1));
        probe.watcher->ReadQueues();
        StartOneLook(*probe.watcher);
        platform::SetTimer(window_, kTick, kTickMs);
        return std::nullopt;
    }

private:
    static constexpr unsigned kTick = 1;
    static constexpr unsigned kTickMs = 50;

    struct Probe {
        PrinterList printers;  // the target's entry, which the watcher reads for its whole life
        std::unique_ptr<TWatcher> watcher;
        std::chrono::steady_clock::time_point start, deadline;
        MetricsFormat format = MetricsFormat::Text;
        THttpListener::TLaterAnswer later;
    };

    // From the loop, never from inside a watcher's handler: a probe's watcher ends with it.
    void AnswerEnded()
    {
        const auto now = std::chrono::steady_clock::now();
        std::erase_if(probes_, [now](Probe& probe) {
            if (!LookedAtAll(*probe.watcher) && now < probe.deadline)
                return false;
            THttpAnswer answer;
            answer.contentType = MetricsContentType(probe.format);
            answer.body = ProbeText(*probe.watcher, probe.format, std::chrono::duration<double>(now - probe.start).count());
            probe.later(answer);
            return true;
        });
        if (probes_.empty())
            platform::KillTimer(window_, kTick);
    }

    ProxySettings proxy_;
    std::list<Probe> probes_;
    platform::HWND window_ = 0;
};

THttpAnswer FrontPage()
{
    THttpAnswer answer;
    answer.contentType = "text/html; charset=utf-8";
    answer.body = "<!DOCTYPE html>\n<html><head><title>Quenlo exporter</title></head>\n"
                  "<body><h1>Quenlo exporter</h1><p><a href=\"/metrics\">Metrics</a></p>\n"
                  "<p>/probe?target=ipp://HOST:PORT/printers/NAME: one look at a queue</p></body></html>\n";
    return answer;
}

int RunExporter(const std::vector<std::string>& argv)
{
    const Args args(argv, {"config", "listen"});
    if (!args.positional().empty())
        throw UsageError{texts::kNoPositional};
    std::string host, port;
    const std::string listen = args.valueOr("listen", kDefaultListen);
    if (!SplitHostPort(listen, host, port))
        throw UsageError{texts::kListenForm};

    PrinterList printers;
    ProxySettings proxy;
    if (!LoadPrinters(args, printers, proxy))
        return 1;
    const int interval = proxy.Watch > 0 ? proxy.Watch : 5;
    StopOnSignals();

    TWatcher watcher(printers, proxy, interval);
    watcher.ReadQueues();
    std::set<std::size_t> warned;
    watcher.OnChange = [&](TWatcher& sender, std::size_t index) {
        if (sender.State(index).passwordPlain && warned.insert(index).second)
            WarnPasswordWentPlain("printer " + sender.Printer(index).name);
    };
    double lastScrape = 0;
    TProbes probes(proxy);
    THttpListener server([&](const THttpRequestParser& request, THttpListener::TLaterAnswer later) -> std::optional<THttpAnswer> {
        if (request.Path() == "/")
            return FrontPage();
        if (request.Path() == "/probe")
            return probes.Start(request, std::move(later));
        if (request.Path() != "/metrics")
            return PlainAnswer(404, "404 Not Found\n");
        const auto start = std::chrono::steady_clock::now();
        const MetricsFormat format = FormatAccepted(request.Field("accept"));
        THttpAnswer answer;
        answer.contentType = MetricsContentType(format);
        answer.body = MetricsText(watcher, format, lastScrape);
        lastScrape = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        return answer;
    });
    try {
        server.Listen(host, port);
    } catch (const std::exception& e) {
        std::cerr << texts::kExporter << texts::kCannotListen << EscapedField(listen) << ": " << EscapedField(e.what()) << '\n';
        return 1;
    }
    const std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    std::cout << "quenlo-cli exporter: serving http://" << shown << ":" << server.LocalPort() << "/metrics" << std::endl;
    watcher.Start();
    const bool never = false;
    RunUntilStopped(never);
    EndCleanly(watcher);
    return 0;
}

const CommandRegistration kExporter{Command{"exporter", "[--config FILE] [--listen ADDR:PORT]", RunExporter}};

}  // namespace
}  // namespace quenlo::cli
