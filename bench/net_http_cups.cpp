// (c) 1,000 sequential Get-Printer-Attributes POSTs to a private CUPS server (started here with
// scripts/cups-lab.sh), THttpCli beside one `curl --http1.0` process posting the same body to the
// same URL 1,000 times, in the same run. Counters: requests per second of both and their ratio
// (goal: ours within 10% of curl's). Skips when CUPS is not installed.
#include "net_http_support.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace quenlo::bench {
namespace {

constexpr int kRequests = 1000;

void BM_CupsGetPrinterAttributes(benchmark::State& state)
{
    BenchLab lab;
    if (!lab.Up(state))
        return;
    const std::string url = "http://127.0.0.1:" + lab.port + "/printers/bench";
    const std::string body = AllAttributesRequest(0x000B, url);
    const std::string bodyFile = lab.dir + "/request.ipp";
    const std::string curlConfig = lab.dir + "/curl.conf";
    std::ofstream(bodyFile, std::ios::binary) << body;
    {
        std::ofstream conf(curlConfig);
        for (int i = 0; i < kRequests; ++i)
            conf << "url = \"" << url << "\"\n";
    }

    THttpCli http;
    http.SetAgent("Internet Print Provider");
    http.SetContentTypePost("application/ipp");
    http.SetURL(url);
    double ours = 0, curl = 0;
    int rounds = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        for (int i = 0; i < kRequests; ++i) {
            std::stringstream request(body);
            std::stringstream reply;
            http.SetPostStream(&request);
            http.SetReplyStream(&reply);
            http.Post();
            if (http.ReplyStatus() != 200 || reply.str().size() < 8 || reply.str()[2] != 0 || reply.str()[3] != 0) {
                state.SkipWithError("CUPS did not answer successful-ok");
                break;
            }
        }
        const double t = std::chrono::duration<double>(Clock::now() - start).count();
        const CurlRun c = RunCurl({"--http1.0", "-s", "-H", "Content-Type: application/ipp", "--data-binary",
                                   "@" + bodyFile, "-K", curlConfig});
        if (c.exitCode != 0)
            state.SkipWithError("curl failed");
        state.SetIterationTime(t);
        ours += t;
        curl += c.wallSeconds;
        ++rounds;
    }
    if (rounds == 0)
        return;
    state.counters["quenlo_rps"] = kRequests * rounds / ours;
    state.counters["curl_rps"] = kRequests * rounds / curl;
    state.counters["ratio"] = curl / ours;  // our requests per second over curl's
}
BENCHMARK(BM_CupsGetPrinterAttributes)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quenlo::bench

BENCHMARK_MAIN();
