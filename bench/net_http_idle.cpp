// (b) CPU spent while the server holds its answer back for 2 s, THttpCli (the calling thread's CPU
// time) beside `curl --http1.0` (the child's CPU time) in the same run. Goal: under 20 ms.
#include "net_http_support.h"

#include <benchmark/benchmark.h>

#include <sstream>

namespace quenlo::bench {
namespace {

void BM_HeldAnswer2s(benchmark::State& state)
{
    BodyServer server(100, std::chrono::milliseconds(2000));
    THttpCli http;
    std::stringstream reply;
    http.SetURL(server.Url());
    http.SetReplyStream(&reply);
    double oursCpu = 0, curlCpu = 0;
    int rounds = 0;
    for (auto _ : state) {
        const double cpuBefore = CpuSeconds(RUSAGE_THREAD);
        http.Get();
        oursCpu += CpuSeconds(RUSAGE_THREAD) - cpuBefore;
        const CurlRun c = RunCurl({"--http1.0", "-s", "-o", "/dev/null", server.Url()});
        if (c.exitCode != 0)
            state.SkipWithError("curl failed");
        curlCpu += c.cpuSeconds;
        ++rounds;
    }
    state.counters["quenlo_cpu_ms"] = 1000 * oursCpu / rounds;
    state.counters["curl_cpu_ms"] = 1000 * curlCpu / rounds;
    state.counters["ratio"] = curlCpu > 0 ? oursCpu / curlCpu : 0;
}
BENCHMARK(BM_HeldAnswer2s)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quenlo::bench

BENCHMARK_MAIN();
