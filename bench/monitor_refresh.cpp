// One whole refresh as the window runs it (GET probe, Get-Jobs, Get-Printer-Attributes, walks, rows
// into the view) against a local server that answers at once with prepared bodies, so the figures
// are the client's own cost: 3 connections, the transfer of the Get-Jobs answer, and the walk.
//
// Figures: wall time per refresh for 100 and 5,000 jobs, jobs/s, and cpu_ms (CPU time of this
// process per refresh, server thread included). Goal: a refresh of 5,000 jobs in under 100 ms, so
// the window never stalls on the client's side of a large queue.
#include "ipp/Ipp.h"
#include "monitor/Monitor.h"
#include "monitor_null_view.h"
#include "support/LocalServers.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quenlo {
namespace {

double CpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

std::string GetJobsAnswer(int jobs)
{
    IppMessage m;
    AppendByte(m, 1);
    AppendByte(m, 1);
    AppendShort(m, 0);
    AppendInt(m, 10);
    BeginOperationAttributes(m);
    AddStringAttribute(m, 0x47, "attributes-charset", "utf-8");
    AddStringAttribute(m, 0x48, "attributes-natural-language", "en-us");
    for (int id = 1; id <= jobs; ++id) {
        AppendByte(m, kIppTagJobAttributes);
        AddIntegerAttribute(m, 0x21, "job-id", id);
        AddStringAttribute(m, 0x45, "job-uri", "ipp://127.0.0.1/jobs/" + std::to_string(id));
        AddStringAttribute(m, 0x42, "job-originating-user-name", "anna");
        AddStringAttribute(m, 0x42, "job-name", "Quarterly report " + std::to_string(id));
        AddIntegerAttribute(m, 0x21, "job-k-octets", 120);
        AddIntegerAttribute(m, 0x23, "job-state", 4);
        AddStringAttribute(m, 0x44, "job-state-reasons", "job-hold-until-specified");
        AddIntegerAttribute(m, 0x21, "time-at-creation", 1700000000 + id);
        AddStringAttribute(m, 0x44, "document-format", "application/octet-stream");
    }
    EndAttributes(m);
    return m;
}

std::string PrinterAnswer()
{
    IppMessage m;
    AppendByte(m, 1);
    AppendByte(m, 1);
    AppendShort(m, 0);
    AppendInt(m, 11);
    BeginOperationAttributes(m);
    AddStringAttribute(m, 0x47, "attributes-charset", "utf-8");
    AppendByte(m, kIppTagPrinterAttributes);
    AddIntegerAttribute(m, 0x23, "printer-state", 3);
    AddStringAttribute(m, 0x41, "printer-state-message", "ready");
    AddStringAttribute(m, 0x22, "printer-is-accepting-jobs", std::string(1, '\x01'));  // boolean true
    EndAttributes(m);
    return m;
}

// Answers each connection by what it asks: a GET with a small page, a Get-Jobs POST with the jobs,
// any other POST with the printer's attributes.
class CannedServer {
public:
    explicit CannedServer(int jobs)
        : jobs_(Http(GetJobsAnswer(jobs))), printer_(Http(PrinterAnswer())), page_(Http("<html>printer</html>"))
    {
    }
    std::string HostPort() const { return "127.0.0.1:" + std::to_string(server_.Port()); }

private:
    static std::string Http(const std::string& body)
    {
        return "HTTP/1.1 200 OK\r\nContent-Type: application/ipp\r\nContent-Length: " + std::to_string(body.size()) +
               "\r\n\r\n" + body;
    }
    void Serve(int fd)
    {
        std::string request;
        char buf[8192];
        std::size_t headerEnd;
        // The header, and of a POST the first body bytes, which hold the operation code.
        for (;;) {
            headerEnd = request.find("\r\n\r\n");
            if (headerEnd != std::string::npos &&
                (request.rfind("GET ", 0) == 0 || request.size() >= headerEnd + 4 + 4))
                break;
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                return;
            request.append(buf, static_cast<std::size_t>(n));
        }
        const std::string* answer = &page_;
        if (request.rfind("POST ", 0) == 0)
            answer = request[headerEnd + 4 + 3] == 0x0A ? &jobs_ : &printer_;
        if (quenlo::test::SendAll(fd, answer->data(), answer->size()))
            quenlo::test::FinishSending(fd);
    }

    std::string jobs_, printer_, page_;
    quenlo::test::SerialServer server_{[this](int fd) { Serve(fd); }};
};

void BM_Refresh(benchmark::State& state)
{
    const int jobs = static_cast<int>(state.range(0));
    CannedServer server(jobs);
    PrinterList printers(1);
    printers[0].name = "Office";
    printers[0].remotehost = server.HostPort();
    printers[0].url = "/printers/office";
    bench::NullView view;
    THttpCli http;
    ApplyHttpCli1Design(http);
    TMonitor monitor(view, http, printers);
    const double cpuBefore = CpuSeconds();
    for (auto _ : state) {
        monitor.ComboBoxPrinterlistChange();
        if (monitor.LastRefreshEnd() != RefreshEnd::Complete || view.rows != jobs) {
            state.SkipWithError(("refresh ended: " + view.status).c_str());
            break;
        }
    }
    const double iterations = static_cast<double>(state.iterations());
    state.counters["cpu_ms"] = (CpuSeconds() - cpuBefore) * 1000.0 / std::max(1.0, iterations);
    state.SetItemsProcessed(state.iterations() * jobs);
}
BENCHMARK(BM_Refresh)->Arg(100)->Arg(5000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace quenlo

BENCHMARK_MAIN();
