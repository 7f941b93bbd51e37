// quenlo-cli exporter and check as a monitoring system meets them: a real Prometheus scraping it while the
// private CUPS stops a printer and a backend reports a jam, its text checked by promtool and by a
// strict OpenMetrics parser, and the listener under scrapers that hold connections, send too much
// or trickle; the check's verdicts and exit codes on the same lab, its perfdata read by the
// Monitoring Plugins' own parser.
#include "support/CupsLab.h"
#include "support/PrivateFiles.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace quenlo {
namespace {

using test::CupsLab;
using test::TempDir;

struct Entry {
    std::string name;
    std::string remotehost;
    std::string url;
    std::string comment;
};

std::string PrintersFile(const std::vector<Entry>& entries, const std::string& global)
{
    std::string text = "<global>\n" + global + "<endglobal>\n";
    for (const Entry& e : entries)
        text += "<printer>\nname=" + e.name + "\nremotehost=" + e.remotehost + "\nurl=" + e.url +
                "\nlocalport=-1\ncomment=" + e.comment + "\n<endprinter>\n";
    return text;
}

// Waits, a tenth of a second at a time, for `done` within `limit`; the bound only ends a wait for
// something that never comes.
template <class Done>
bool WaitFor(Done done, std::chrono::seconds limit = std::chrono::seconds(90))
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}

// A running exporter and the port it serves.
class Exporter {
public:
    Exporter(const std::string& config, const std::string& log)
    {
        pid_ = test::Spawn({QUENLO_CLI, "exporter", "--config", config, "--listen", "127.0.0.1:0"}, log, "LC_ALL=C");
        const std::regex serving("serving http://127\\.0\\.0\\.1:([0-9]+)/metrics");
        std::smatch m;
        WaitFor([&] {
            const std::string out = test::ReadWholeFile(log);
            if (std::regex_search(out, m, serving))
                port_ = std::stoi(m[1]);
            return port_ > 0 || pid_ < 0;
        }, std::chrono::seconds(30));
    }
    ~Exporter() { test::StopChildProcess(pid_); }
    int Port() const { return port_; }
    pid_t Pid() const { return pid_; }
    std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }

private:
    pid_t pid_ = -1;
    int port_ = 0;
};

test::ProcessResult Curl(const std::vector<std::string>& args)
{
    std::vector<std::string> argv{"/usr/bin/curl", "-sS", "--max-time", "20"};
    argv.insert(argv.end(), args.begin(), args.end());
    return test::RunProcess(argv, std::chrono::seconds(30));
}

std::string Percent(const std::string& text)
{
    std::string out;
    for (const unsigned char c : text) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%%%02X", c);
        out += std::isalnum(c) ? std::string(1, static_cast<char>(c)) : std::string(hex);
    }
    return out;
}

// A Prometheus of our own, scraping `target` every second, its data in `dir`; `moreJobs` are
// further entries of its scrape_configs.
class Prometheus {
public:
    Prometheus(const TempDir& dir, int target, const std::string& moreJobs = "")
    {
        const std::string config = dir.Write("prometheus.yml", "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                                                              "scrape_configs:\n  - job_name: quenlo\n    static_configs:\n"
                                                              "      - targets: ['127.0.0.1:" + std::to_string(target) + "']\n" +
                                                              moreJobs);
        for (int attempt = 0; attempt < 3 && port_ == 0; ++attempt) {
            const int port = test::FreeLoopbackPort();
            pid_ = test::Spawn({"prometheus", "--config.file=" + config, "--storage.tsdb.path=" + dir.Folder("data"),
                                "--web.listen-address=127.0.0.1:" + std::to_string(port)},
                               dir / "prometheus.log", "", true);
            if (pid_ > 0 && WaitFor([&] { return test::LoopbackAccepts(port) || ::kill(pid_, 0) != 0; }, std::chrono::seconds(60)) &&
                test::LoopbackAccepts(port))
                port_ = port;
            else
                test::StopChildProcess(pid_);
        }
    }
    ~Prometheus() { test::StopChildProcess(pid_); }
    int Port() const { return port_; }
    // The instant query's answer, as JSON text.
    std::string Query(const std::string& promql) const
    {
        return Curl({"http://127.0.0.1:" + std::to_string(port_) + "/api/v1/query?query=" + Percent(promql)}).out;
    }
    // The query has a sample (a comparison that holds, say).
    bool Holds(const std::string& promql) const { return Query(promql).find("\"value\"") != std::string::npos; }

private:
    pid_t pid_ = -1;
    int port_ = 0;
};

TEST(CliExporter, PrometheusSeesAStoppedPrinterAndAJamAndBothParsersReadTheText)
{
    QUENLO_REQUIRE_CUPS_LAB(lab);
    QUENLO_NEED(test::RunProcess({"/usr/bin/env", "sh", "-c", "command -v prometheus && command -v promtool"}).exitCode == 0
                    ? ""
                    : "prometheus and promtool (package prometheus) are not installed");
    const std::string stopping = lab.AddUniquePrinter("exporter-stop");
    const std::string jammed = "exporter-says-" + std::to_string(::getpid());
    lab.Script("add-printer", {jammed, "--device", "lab-says:/"});
    TempDir dir("exporter");
    const std::string go = lab.Dir() + "/go-" + jammed, doc = lab.Dir() + "/doc-" + jammed;
    std::ofstream(doc) << "ATTR: marker-names=Black\\ Toner,Waste marker-colors=#000000,none "
                          "marker-types=toner,waste-toner marker-levels=-2,20 marker-low-levels=10,0 "
                          "marker-high-levels=100,90\nSTATE: +media-jam-error\nwait "
                       << go << "\n";
    ::chmod(doc.c_str(), 0644);
    lab.Script("print", {jammed, doc});
    lab.HoldJobs(stopping, 2);
    ASSERT_EQ(test::RunProcess({"/usr/sbin/lpadmin", "-h", lab.HostPort(), "-p", stopping, "-L", "Floor 2 \"east\""}).exitCode, 0);
    // Names a server or a file may hold: quotes, a backslash, a byte that is no UTF-8.
    const std::string config = dir.Write(
        "printers.qdl", PrintersFile({{"Stopping", lab.HostPort(), CupsLab::PrinterPath(stopping), "a \"quoted\\\" \xE9 note"},
                                      {"Jam\\med \"Q\" \xFF", lab.HostPort(), CupsLab::PrinterPath(jammed), ""},
                                      {"Nowhere", "127.0.0.1:1", "/printers/x", ""}},
                                     "watch=1\n"));
    Exporter exporter(config, dir / "exporter.log");
    ASSERT_GT(exporter.Port(), 0) << test::ReadWholeFile(dir / "exporter.log");
    Prometheus prometheus(dir, exporter.Port());
    ASSERT_GT(prometheus.Port(), 0) << test::ReadWholeFile(dir / "prometheus.log");

    ASSERT_TRUE(WaitFor([&] { return prometheus.Holds("quenlo_printer_up{printer=\"Stopping\"} == 1"); }))
        << prometheus.Query("quenlo_printer_up") << test::ReadWholeFile(dir / "prometheus.log");
    lab.Pause(stopping, "emptied for the night");
    EXPECT_TRUE(WaitFor([&] {
        return prometheus.Holds("quenlo_printer_state{printer=\"Stopping\",quenlo_printer_state=\"stopped\"} == 1");
    })) << prometheus.Query("quenlo_printer_state");
    // A job that waits on the stopped printer beside the two held ones; its age is the server's,
    // never a clock reading.
    lab.Script("print", {stopping, doc});
    EXPECT_TRUE(WaitFor([&] {
        return prometheus.Holds("quenlo_printer_jobs_by_state{printer=\"Stopping\",state=\"pending\"} == 1 and on(printer) "
                                "quenlo_printer_jobs_by_state{printer=\"Stopping\",state=\"pending-held\"} == 2 and on(printer) "
                                "quenlo_printer_oldest_pending_job_age_seconds{printer=\"Stopping\"} < 600");
    })) << prometheus.Query("{__name__=~\"quenlo_printer_(jobs.*|oldest.*)\",printer=\"Stopping\"}");
    EXPECT_TRUE(WaitFor([&] {
        return prometheus.Holds("quenlo_printer_reason{reason=\"media-jam-error\",severity=\"error\"} == 1");
    })) << prometheus.Query("quenlo_printer_reason");
    EXPECT_TRUE(prometheus.Holds("quenlo_printer_up{printer=\"Nowhere\"} == 0"));

    const test::ProcessResult text = Curl({exporter.Url("/metrics")});
    ASSERT_EQ(text.exitCode, 0) << text.err;
    // The unknown toner level is counted, never given as a level.
    EXPECT_NE(text.out.find("quenlo_supply_level_ratio{printer=\"Jam\\\\med \\\"Q\\\" \xEF\xBF\xBD\",server=\"" +
                            lab.HostPort() + "\",supply=\"Waste\",colour=\"\",type=\"waste-toner\"} 0.2\n"),
              std::string::npos)
        << text.out;
    EXPECT_EQ(text.out.find("supply=\"Black Toner\",colour=\"#000000\",type=\"toner\"} -"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("quenlo_printer_supplies_unknown_level{printer=\"Jam"), std::string::npos) << text.out;
    EXPECT_TRUE(std::regex_search(text.out, std::regex("\nquenlo_printer_info\\{printer=\"Stopping\",.*,make_and_model=\"[^\"]+\","
                                                       "location=\"Floor 2 \\\\\"east\\\\\"\"\\} 1\n")))
        << text.out;
    const std::string textFile = dir.Write("metrics.txt", text.out);
    const test::ProcessResult promtool = test::RunProcess({"/usr/bin/env", "sh", "-c", "promtool check metrics < " + textFile + " 2>&1"});
    EXPECT_EQ(promtool.exitCode, 0) << promtool.out;
    EXPECT_EQ(promtool.out, "") << promtool.out;

    const test::ProcessResult open = Curl({"-H", "Accept: application/openmetrics-text;version=1.0.0,text/plain;q=0.5",
                                           exporter.Url("/metrics")});
    ASSERT_EQ(open.exitCode, 0) << open.err;
    EXPECT_TRUE(open.out.ends_with("\n# EOF\n")) << open.out;
    const std::string openFile = dir.Write("metrics.om", open.out);
    const test::ProcessResult parsed = test::RunProcess(
        {"/usr/bin/python3", "-c",
         "import sys\nfrom prometheus_client.openmetrics.parser import text_string_to_metric_families as p\n"
         "fams = list(p(open(sys.argv[1], encoding='utf-8').read()))\n"
         "print(sorted(f.type for f in fams if f.name in ('quenlo_printer', 'quenlo_printer_state')))\n",
         openFile});
    EXPECT_EQ(parsed.exitCode, 0) << parsed.err;
    EXPECT_EQ(parsed.out, "['info', 'stateset']\n") << parsed.err;

    EXPECT_EQ(Curl({"-o", "/dev/null", "-w", "%{http_code}", exporter.Url("/nothing")}).out, "404");
    EXPECT_NE(Curl({exporter.Url("/")}).out.find("href=\"/metrics\""), std::string::npos);
    std::ofstream(go).put('\n');
    lab.Resume(stopping);
}

// Prometheus asks /probe for a queue the file does not list, with the relabelling the guide gives:
// the queue's state and jobs reach it, a target that never answers is a failed probe within the
// scraper's timeout (not a failed scrape), and the exporter's own watch stays as it was. Bad targets
// are refused, and probes beyond the bound wait for none.
TEST(CliExporter, PrometheusProbesAQueueTheFileDoesNotList)
{
    QUENLO_REQUIRE_CUPS_LAB(lab);
    QUENLO_NEED(test::RunProcess({"/usr/bin/env", "sh", "-c", "command -v prometheus && command -v promtool"}).exitCode == 0
                    ? ""
                    : "prometheus and promtool (package prometheus) are not installed");
    const std::string probed = lab.AddUniquePrinter("exporter-probed");
    lab.HoldJobs(probed, 1);
    lab.Pause(probed, "probed while stopped");
    std::uint16_t silentPort = 0;
    const int silent = test::ListenLoopback(silentPort);  // connects, never answers
    ASSERT_GE(silent, 0);
    TempDir dir("exporter-probe");
    const std::string config = dir.Write("printers.qdl", PrintersFile({{"Nowhere", "127.0.0.1:1", "/printers/x", ""}}, "watch=5\n"));
    Exporter exporter(config, dir / "exporter.log");
    ASSERT_GT(exporter.Port(), 0) << test::ReadWholeFile(dir / "exporter.log");
    const std::string target = "ipp://" + lab.HostPort() + CupsLab::PrinterPath(probed);
    const std::string silentTarget = "ipp://127.0.0.1:" + std::to_string(silentPort) + "/printers/silent";
    // Prometheus's scrape timeout of 3 s leaves a probe that heeds it 2.5 s; one that waited its
    // untold 10 s would fail the scrape itself.
    Prometheus prometheus(dir, exporter.Port(),
                          "  - job_name: probe\n    metrics_path: /probe\n    scrape_interval: 3s\n    scrape_timeout: 3s\n"
                          "    static_configs:\n      - targets: ['" + target + "', '" + silentTarget + "']\n"
                          "    relabel_configs:\n      - source_labels: [__address__]\n        target_label: __param_target\n"
                          "      - source_labels: [__param_target]\n        target_label: instance\n"
                          "      - target_label: __address__\n        replacement: 127.0.0.1:" + std::to_string(exporter.Port()) + "\n");
    ASSERT_GT(prometheus.Port(), 0) << test::ReadWholeFile(dir / "prometheus.log");

    const std::string instance = "{job=\"probe\",instance=\"" + target + "\"";
    EXPECT_TRUE(WaitFor([&] {
        return prometheus.Holds("quenlo_probe_success" + instance + "} == 1 and on(instance) quenlo_printer_state" + instance +
                                ",printer=\"" + probed + "\",quenlo_printer_state=\"stopped\"} == 1 and on(instance) "
                                "quenlo_printer_jobs_by_state" + instance + ",state=\"pending-held\"} == 1");
    })) << prometheus.Query("{job=\"probe\"}") << test::ReadWholeFile(dir / "prometheus.log");
    EXPECT_TRUE(WaitFor([&] {
        return prometheus.Holds("quenlo_probe_success{instance=\"" + silentTarget + "\"} == 0");
    }, std::chrono::seconds(60))) << prometheus.Query("up{job=\"probe\"}");

    const test::ProcessResult text = Curl({exporter.Url("/probe?target=" + Percent(target))});
    ASSERT_EQ(text.exitCode, 0) << text.err;
    EXPECT_NE(text.out.find("\nquenlo_probe_success 1\n"), std::string::npos) << text.out;
    const test::ProcessResult promtool = test::RunProcess(
        {"/usr/bin/env", "sh", "-c", "promtool check metrics < " + dir.Write("probe.txt", text.out) + " 2>&1"});
    EXPECT_EQ(promtool.exitCode, 0) << promtool.out;
    EXPECT_EQ(promtool.out, "") << promtool.out;
    const std::string watched = Curl({exporter.Url("/metrics")}).out;
    EXPECT_EQ(watched.find(probed), std::string::npos) << watched;
    EXPECT_NE(watched.find("quenlo_printer_up{printer=\"Nowhere\""), std::string::npos) << watched;

    for (const std::string& bad : {std::string(), "target=" + Percent("ftp://" + lab.HostPort() + "/printers/x"),
                                   "target=" + Percent("ipp://anna:secret@" + lab.HostPort() + CupsLab::PrinterPath(probed)),
                                   "target=" + Percent("ipp://" + lab.HostPort() + "/admin"), std::string("target=%zz"), "target=" + Percent("ipp://[::1/printers/x"),
                                   "target=" + Percent(target) + "&target=" + Percent(target)}) {
        const test::ProcessResult r = Curl({"-w", "\n%{http_code}", exporter.Url("/probe?" + bad)});
        EXPECT_TRUE(r.out.ends_with("\n400")) << bad << ": " << r.out;
        EXPECT_NE(r.out.find("/printers/NAME"), std::string::npos) << r.out;
    }

    // Probes that wait their whole time on the silent target, one more than the bound.
    std::vector<int> waiting;
    const std::string request = "GET /probe?target=" + Percent(silentTarget) +
                                " HTTP/1.0\r\nX-Prometheus-Scrape-Timeout-Seconds: 60\r\n\r\n";
    for (int i = 0; i < 9; ++i) {
        waiting.push_back(test::ConnectLoopback(exporter.Port()));
        ::send(waiting.back(), request.data(), request.size(), MSG_NOSIGNAL);
    }
    EXPECT_TRUE(WaitFor([&] {
        return Curl({"-o", "/dev/null", "-w", "%{http_code}", exporter.Url("/probe?target=" + Percent(target))}).out == "503";
    }, std::chrono::seconds(30)));
    EXPECT_EQ(Curl({"-o", "/dev/null", "-w", "%{http_code}", exporter.Url("/metrics")}).out, "200");
    for (const int fd : waiting)
        ::close(fd);
    ::close(silent);
    lab.Resume(probed);
}

int OpenDescriptors(pid_t pid)
{
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd"))
        ++count;
    return count;
}

long ResidentKiB(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmRSS:"))
            return std::stol(line.substr(6));
    return -1;
}

// Scrapers that never send, one that sends a 1 MiB request line and one that trickles a byte a
// second: the exporter holds a bounded number of descriptors and memory, and answers the others.
TEST(CliExporter, HostileScrapersLeaveRoomForTheOthers)
{
    TempDir dir("exporter-hostile");
    const std::string config = dir.Write("printers.qdl", PrintersFile({{"Nowhere", "127.0.0.1:1", "/printers/x", ""}}, "watch=5\n"));
    Exporter exporter(config, dir / "exporter.log");
    ASSERT_GT(exporter.Port(), 0) << test::ReadWholeFile(dir / "exporter.log");
    ASSERT_EQ(Curl({exporter.Url("/metrics")}).exitCode, 0);
    const int descriptors = OpenDescriptors(exporter.Pid());
    const long resident = ResidentKiB(exporter.Pid());

    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = std::max<rlim_t>(limit.rlim_cur, std::min<rlim_t>(limit.rlim_max, 4096));
    ::setrlimit(RLIMIT_NOFILE, &limit);
    std::vector<int> silent;
    for (int i = 0; i < 1000; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(exporter.Port()));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        silent.push_back(fd);
    }
    std::thread huge([&] {
        const int fd = test::ConnectLoopback(exporter.Port());
        const std::string line = "GET /" + std::string(1 << 20, 'a') + " HTTP/1.0\r\n\r\n";
        ::send(fd, line.data(), line.size(), MSG_NOSIGNAL);
        ::close(fd);
    });
    // A byte a second of a request that would take minutes, until the exporter ends it; what it
    // answered before that.
    const auto trickle = [&exporter] {
        const int fd = test::ConnectLoopback(exporter.Port());
        const timeval bound{60, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
        for (const char c : "GET /metrics HTTP/1.0\r\nX-Slow: " + std::string(200, 's') + "\r\n\r\n") {
            pollfd answer{fd, POLLIN, 0};
            if (::send(fd, &c, 1, MSG_NOSIGNAL) != 1 || ::poll(&answer, 1, 1000) != 0)
                break;
        }
        std::string answer;
        char buffer[512];
        for (long n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
            answer.append(buffer, static_cast<std::size_t>(n));
        ::close(fd);
        return answer;
    };
    std::thread trickler(trickle);  // among the silent ones, it may be the one dropped
    // Every scrape while they hold on is answered in full.
    for (int i = 0; i < 5; ++i) {
        const test::ProcessResult r = Curl({exporter.Url("/metrics")});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_NE(r.out.find("quenlo_printer_up{printer=\"Nowhere\""), std::string::npos);
        EXPECT_LE(OpenDescriptors(exporter.Pid()), descriptors + 64);
    }
    huge.join();
    trickler.join();
    EXPECT_LE(OpenDescriptors(exporter.Pid()), descriptors + 64);
    EXPECT_LT(ResidentKiB(exporter.Pid()) - resident, 10 * 1024);
    for (const int fd : silent)
        ::close(fd);
    const std::string late = trickle();
    EXPECT_TRUE(late.starts_with("HTTP/1.1 408 ")) << late;
}

test::ProcessResult Check(const std::vector<std::string>& args)
{
    std::vector<std::string> argv{"/usr/bin/env", "LC_ALL=C", QUENLO_CLI, "check"};
    argv.insert(argv.end(), args.begin(), args.end());
    return test::RunProcess(argv, std::chrono::seconds(60));
}

TEST(CliCheck, JudgesTheLabAsAPluginDoes)
{
    QUENLO_REQUIRE_CUPS_LAB(lab);
    QUENLO_NEED(test::RunProcess({"/usr/bin/perl", "-MMonitoring::Plugin::Performance", "-e", "1"}).exitCode == 0
                    ? ""
                    : "the Monitoring Plugins' perl modules (libmonitoring-plugin-perl) are not installed");
    const std::string fine = lab.AddUniquePrinter("check-fine");
    const std::string paused = lab.AddUniquePrinter("check-paused");
    lab.Pause(paused, "out of paper for good");
    lab.HoldJobs(paused, 1);
    const std::string low = "check-low-" + std::to_string(::getpid());
    lab.Script("add-printer", {low, "--device", "lab-says:/"});
    const std::string go = lab.Dir() + "/go-" + low, doc = lab.Dir() + "/doc-" + low;
    std::ofstream(doc) << "ATTR: marker-names=Black\\ Toner,Waste marker-colors=#000000,none "
                          "marker-types=toner,waste-toner marker-levels=5,30 marker-low-levels=10,0 "
                          "marker-high-levels=100,90\nSTATE: +connecting-to-device\nwait "
                       << go << "\n";
    ::chmod(doc.c_str(), 0644);
    lab.Script("print", {low, doc});
    TempDir dir("check");
    const auto file = [&](const std::string& name, const std::vector<Entry>& entries) {
        return dir.Write(name, PrintersFile(entries, ""));
    };
    const std::string fineFile = file("fine.qdl", {{"Fine", lab.HostPort(), CupsLab::PrinterPath(fine), ""}});
    const std::string lowFile = file("low.qdl", {{"Fine", lab.HostPort(), CupsLab::PrinterPath(fine), ""},
                                                 {"Low", lab.HostPort(), CupsLab::PrinterPath(low), ""}});

    const test::ProcessResult ok = Check({"--config", fineFile});
    EXPECT_EQ(ok.exitCode, 0) << ok.out << ok.err;
    EXPECT_TRUE(ok.out.starts_with("QUENLO OK - 1 printer, 1 ok | 'Fine jobs'=0;;;0 'Fine oldest pending job'=0s;;;0\nFine: OK\n"))
        << ok.out;

    const test::ProcessResult stopped = Check({"--config", file("paused.qdl", {{"Fine", lab.HostPort(), CupsLab::PrinterPath(fine), ""},
                                                                               {"Paused", lab.HostPort(), CupsLab::PrinterPath(paused), ""}})});
    EXPECT_EQ(stopped.exitCode, 2) << stopped.out;
    EXPECT_TRUE(stopped.out.starts_with("QUENLO CRITICAL - 2 printers, 1 critical, 1 ok |")) << stopped.out;
    EXPECT_NE(stopped.out.find("\nPaused: CRITICAL - stopped\n"), std::string::npos) << stopped.out;
    // The held job waits too, but only a pending one has an age.
    lab.Script("print", {paused, doc});
    const test::ProcessResult queued = Check({"--config", file("queued.qdl", {{"Paused", lab.HostPort(), CupsLab::PrinterPath(paused), ""}})});
    EXPECT_TRUE(std::regex_search(queued.out, std::regex("'Paused jobs'=2;;;0 'Paused oldest pending job'=[0-9]{1,3}s;;;0\n")))
        << queued.out;

    // The job starts printing in a moment; connecting-to-device is no problem while it does.
    test::ProcessResult warned;
    ASSERT_TRUE(WaitFor([&] {
        warned = Check({"--config", lowFile, "-w", "20:", "-c", "3:"});
        return warned.exitCode != 0;
    }, std::chrono::seconds(60))) << warned.out;
    EXPECT_EQ(warned.exitCode, 1) << warned.out;
    EXPECT_NE(warned.out.find("\nLow: WARNING - Black Toner 5%\n"), std::string::npos) << warned.out;
    const std::string perf = warned.out.substr(warned.out.find(" | ") + 3, warned.out.find('\n') - warned.out.find(" | ") - 3);
    const test::ProcessResult parsed = test::RunProcess(
        {"/usr/bin/perl", "-MMonitoring::Plugin::Performance", "-e",
         "print join(' ', map { $_->label . '=' . $_->value . $_->uom . ';' . $_->threshold->warning . ';' . "
         "$_->threshold->critical } Monitoring::Plugin::Performance->parse_perfstring($ARGV[0]))",
         perf});
    EXPECT_EQ(parsed.out,
              "Fine jobs=0;; Fine oldest pending job=0s;; Low Black Toner=5%;20:;3: Low Waste room=70%;20:;3: Low jobs=1;; "
              "Low oldest pending job=0s;;")
        << perf << parsed.err;
    const test::ProcessResult waste = Check({"--config", lowFile, "-w", "80:"});
    EXPECT_NE(waste.out.find("\nLow: WARNING - Black Toner 5%, Waste 30% full\n"), std::string::npos) << waste.out;
    EXPECT_EQ(Check({"--config", lowFile, "-c", "6:"}).exitCode, 2);
    EXPECT_EQ(Check({"--config", lowFile}).exitCode, 1) << "the printer's own low level";
    std::ofstream(go).put('\n');

    const std::string deadFile = file("dead.qdl", {{"Fine", lab.HostPort(), CupsLab::PrinterPath(fine), ""},
                                                   {"Dead", "127.0.0.1:1", "/printers/x", ""}});
    EXPECT_EQ(Check({"--config", deadFile}).exitCode, 2);
    EXPECT_EQ(Check({"--config", deadFile, "--offline", "unknown"}).exitCode, 3);
    EXPECT_EQ(Check({"--config", deadFile, "--offline", "ok"}).exitCode, 0);
    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {"--config", fineFile, "-w", "20:10"}, {"--config", fineFile, "--offline", "maybe"},
             {"--config", fineFile, "-t"}, {"--config", dir / "none.qdl"}, {"--config", fineFile, "--printer", "Nope"}}) {
        const test::ProcessResult r = Check(bad);
        EXPECT_EQ(r.exitCode, 3) << bad.back() << r.out;
        EXPECT_TRUE(r.out.starts_with("QUENLO UNKNOWN - ")) << r.out;
    }
}

}  // namespace
}  // namespace quenlo
