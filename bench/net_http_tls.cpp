// A 5,000-job Get-Jobs (the refresh's big request) from a private CUPS server over TLS and plain,
// side by side in one run: the client's CPU time per refresh both ways and their ratio (goal: TLS
// at most 1.5 x plain), and the server's CPU time per connection both ways, from 200 small
// Get-Printer-Attributes requests (each on a connection of its own: the server resumes no TLS
// session). The first TLS refresh includes reading the system's certificates (the lab's is not
// kept yet); the loading of the TLS library is counted apart. Skips when CUPS is not installed.
// Run: build/bench/bench_net_http_tls
#include "net_http_support.h"

#include "net/TlsTrust.h"
#include "platform/Tls.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace quenlo::bench {
namespace {

constexpr int kJobs = 5000;
constexpr int kConnections = 200;

// utime + stime of a process, in seconds.
double ProcessCpu(const std::string& pid)
{
    std::ifstream in("/proc/" + pid + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string f;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> f; ++i)
        if (i == 14 || i == 15)
            ticks += std::stod(f);
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

bool Post(THttpCli& http, const std::string& body, std::size_t& replySize)
{
    std::stringstream request(body);
    std::stringstream reply;
    http.SetPostStream(&request);
    http.SetReplyStream(&reply);
    try {
        http.Post();
    } catch (const EHttpException&) {
        return false;
    }
    replySize = reply.str().size();
    return http.ReplyStatus() == 200;
}

void BM_TlsRefresh(benchmark::State& state)
{
    BenchLab lab;
    if (!lab.Up(state))
        return;
    BenchLab::Script("hold-jobs '" + lab.dir + "' bench " + std::to_string(kJobs) + " --fast");
    const std::string pid = Shell("cat '" + lab.dir + "/cupsd.pid'");
    const std::string url = "http://127.0.0.1:" + lab.port + "/printers/bench";
    const std::string getJobs = AllAttributesRequest(0x000A, url);
    const std::string attributes = AllAttributesRequest(0x000B, url);
    THttpCli plain, tls;
    for (THttpCli* h : {&plain, &tls}) {
        h->SetContentTypePost("application/ipp");
        h->SetURL(url);
        h->SetTrustStorePath(lab.dir + "/trusted-servers");
    }
    plain.SetEncryption(heNever);
    tls.SetEncryption(heRequired);

    // The TLS library is loaded by the first session, once per process: its cost is shown on its
    // own, so that the refreshes compare what each of them costs.
    const double beforeLoad = CpuSeconds(RUSAGE_SELF);
    if (!platform::TlsSession::Available())
        state.SkipWithError("no TLS in this build");
    state.counters["client_ms_tls_library_load"] = 1000 * (CpuSeconds(RUSAGE_SELF) - beforeLoad);

    double cpu[2] = {0, 0}, server[2] = {0, 0};
    std::size_t size = 0, jobsReply = 0;
    for (auto _ : state) {
        for (int way = 0; way < 2; ++way) {
            THttpCli& http = way == 0 ? plain : tls;
            const double before = CpuSeconds(RUSAGE_SELF);
            if (!Post(http, getJobs, size) || size < 100000)
                state.SkipWithError("Get-Jobs failed");
            jobsReply = size;
            cpu[way] += CpuSeconds(RUSAGE_SELF) - before;
            const double serverBefore = ProcessCpu(pid);
            for (int i = 0; i < kConnections; ++i)
                if (!Post(http, attributes, size))
                    state.SkipWithError("Get-Printer-Attributes failed");
            server[way] += ProcessCpu(pid) - serverBefore;
        }
    }
    const double rounds = static_cast<double>(state.iterations());
    state.counters["client_ms_plain"] = 1000 * cpu[0] / rounds;
    state.counters["client_ms_tls"] = 1000 * cpu[1] / rounds;
    state.counters["client_ratio"] = cpu[1] / std::max(cpu[0], 1e-9);
    state.counters["server_ms_per_conn_plain"] = 1000 * server[0] / (rounds * kConnections);
    state.counters["server_ms_per_conn_tls"] = 1000 * server[1] / (rounds * kConnections);
    state.counters["get_jobs_bytes"] = static_cast<double>(jobsReply);
}
BENCHMARK(BM_TlsRefresh)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quenlo::bench

BENCHMARK_MAIN();
