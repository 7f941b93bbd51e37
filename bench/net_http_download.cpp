// (a) A 200 MB body from a local server into a memory stream, THttpCli beside
// `curl --http1.0 -o /dev/null` in the same run.
//
// Arg 0: a fresh memory stream per download (the kernel hands out and zeroes 200 MB of new pages
// every time); arg 1: the same stream rewound, its memory already in place. curl writes to
// /dev/null and pays for no memory at all.
//
// Counters: wall times and their ratio (goal at most 1.25), CPU times (our thread; curl's process)
// and their ratio, and the growth of our peak resident memory beyond the body (goal at most
// 16 MiB).
#include "net_http_support.h"

#include <benchmark/benchmark.h>

#include <ostream>

namespace quenlo::bench {
namespace {

constexpr std::size_t kBody = 200u * 1000 * 1000;

void BM_Download200MB(benchmark::State& state)
{
    const bool reuse = state.range(0) != 0;
    BodyServer server(kBody);
    BlockBuf buffer;
    std::ostream memory(&buffer);
    THttpCli http;
    http.SetURL(server.Url());
    http.SetReplyStream(&memory);
    if (reuse)
        http.Get();  // puts the stream's memory in place
    const long rssBefore = MaxRssKiB();
    double ours = 0, curl = 0, oursCpu = 0, curlCpu = 0;
    int rounds = 0;
    for (auto _ : state) {
        if (reuse)
            buffer.Rewind();
        else
            buffer.Clear();
        const double cpuBefore = CpuSeconds(RUSAGE_THREAD);
        const auto start = Clock::now();
        http.Get();
        const double t = std::chrono::duration<double>(Clock::now() - start).count();
        oursCpu += CpuSeconds(RUSAGE_THREAD) - cpuBefore;
        if (buffer.Size() != kBody)
            state.SkipWithError("short body");
        const CurlRun c = RunCurl({"--http1.0", "-s", "-o", "/dev/null", server.Url()});
        if (c.exitCode != 0)
            state.SkipWithError("curl failed");
        state.SetIterationTime(t);
        ours += t;
        curl += c.wallSeconds;
        curlCpu += c.cpuSeconds;
        ++rounds;
    }
    // With a reused stream the body's memory was already there before the measurement.
    const double peakGrowthMiB = (MaxRssKiB() - rssBefore) / 1024.0 + (reuse ? kBody / (1024.0 * 1024.0) : 0);
    state.counters["quenlo_s"] = ours / rounds;
    state.counters["curl_s"] = curl / rounds;
    state.counters["ratio"] = ours / curl;
    state.counters["quenlo_cpu_s"] = oursCpu / rounds;
    state.counters["curl_cpu_s"] = curlCpu / rounds;
    state.counters["cpu_ratio"] = oursCpu / curlCpu;
    state.counters["peak_over_body_MiB"] = peakGrowthMiB - kBody / (1024.0 * 1024.0);
    state.SetBytesProcessed(static_cast<std::int64_t>(kBody) * rounds);
}
BENCHMARK(BM_Download200MB)->Arg(0)->Arg(1)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quenlo::bench

BENCHMARK_MAIN();
