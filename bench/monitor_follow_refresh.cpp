// What one refresh of a long queue costs the print server: a private CUPS server with the stock
// operation policy (job names private) and 5,000 held jobs of another user on one printer, asked
// side by side by `lpstat -o` (what a user's own look costs), by the refresh the watch starts while
// the window is shown (TMonitor::FollowRefresh) and by the full refresh of the refresh button.
//
// server_ms is the server process's CPU (user + system, /proc/PID/stat) per refresh; the real time
// is the whole refresh as the client sees it. Goal: the watch's refresh within 1.5 x lpstat -o's
// server CPU. The server keeps thousands of jobs only with its job limit raised (a freshly
// installed one keeps 500), so this lab alone runs with the lab's raised limits.
#include "monitor/Monitor.h"
#include "monitor_null_view.h"
#include "net_http_support.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

namespace quenlo {
namespace {

constexpr int kJobs = 5000;

long ServerTicks(int pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const std::size_t end = text.rfind(')');
    if (end == std::string::npos)
        return 0;
    std::istringstream fields(text.substr(end + 2));
    std::string field;
    long total = 0;
    for (int i = 0; i < 13 && fields >> field; ++i)
        if (i == 11 || i == 12)
            total += std::stol(field);
    return total;
}

// The lab with its queue, made once for all three benchmarks.
struct LongQueue {
    bench::BenchLab lab{"--stock"};
    int serverPid = 0;
    LongQueue()
    {
        if (lab.port.empty())
            return;
        bench::BenchLab::Script("hold-jobs '" + lab.dir + "' bench " + std::to_string(kJobs) + " --fast --user anna");
        serverPid = std::atoi(bench::Shell("cat '" + lab.dir + "/cupsd.pid'").c_str());
        WaitUntilQuiet();
    }
    // The server goes on writing the new jobs' files for a while after the last one came: measured
    // once it spends less than 10 ms in 2 s (at most two minutes).
    void WaitUntilQuiet() const
    {
        for (int i = 0; i < 60; ++i) {
            const long before = ServerTicks(serverPid);
            std::this_thread::sleep_for(std::chrono::seconds(2));
            if ((ServerTicks(serverPid) - before) * 100 <= ::sysconf(_SC_CLK_TCK))
                return;
        }
    }
    static LongQueue& Get()
    {
        static LongQueue queue;
        return queue;
    }
};

void MeasureServer(benchmark::State& state, const std::function<std::string()>& refreshOnce)
{
    LongQueue& queue = LongQueue::Get();
    if (queue.serverPid <= 0) {
        state.SkipWithError("CUPS lab could not start (is cups installed?)");
        return;
    }
    const long before = ServerTicks(queue.serverPid);
    for (auto _ : state) {
        const std::string failure = refreshOnce();
        if (!failure.empty()) {
            state.SkipWithError(failure.c_str());
            return;
        }
    }
    const double perRefresh = static_cast<double>(ServerTicks(queue.serverPid) - before) /
                              static_cast<double>(std::max<benchmark::IterationCount>(1, state.iterations()));
    state.counters["server_ms"] = perRefresh * 1000.0 / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

void BM_LpstatO(benchmark::State& state)
{
    const std::string command =
        "lpstat -h 127.0.0.1:" + LongQueue::Get().lab.port + " -o bench 2>/dev/null | wc -l";
    MeasureServer(state, [&]() -> std::string {
        const std::string lines = bench::Shell(command);
        return lines == std::to_string(kJobs) ? "" : "lpstat -o listed " + lines + " jobs";
    });
}

void MeasureRefresh(benchmark::State& state, void (TMonitor::*refresh)())
{
    PrinterList printers(1);
    printers[0].name = "Office";
    printers[0].remotehost = "127.0.0.1:" + LongQueue::Get().lab.port;
    printers[0].url = "/printers/bench";
    bench::NullView view;
    THttpCli http;
    ApplyHttpCli1Design(http);
    TMonitor monitor(view, http, printers);
    MeasureServer(state, [&]() -> std::string {
        (monitor.*refresh)();
        if (monitor.LastRefreshEnd() != RefreshEnd::Complete || view.rows != kJobs)
            return "refresh ended: " + view.status + ", " + std::to_string(view.rows) + " rows";
        return "";
    });
}

void BM_FollowRefresh(benchmark::State& state) { MeasureRefresh(state, &TMonitor::FollowRefresh); }
void BM_FullRefresh(benchmark::State& state) { MeasureRefresh(state, &TMonitor::RefreshButtonClick); }

BENCHMARK(BM_LpstatO)->Iterations(10)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FollowRefresh)->Iterations(10)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FullRefresh)->Iterations(10)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace quenlo

BENCHMARK_MAIN();
