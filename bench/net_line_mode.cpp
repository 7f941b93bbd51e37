// Line cutting over loopback: 100 MB of short lines (24 bytes with CR LF) into a TWSocket in line
// mode whose handler takes each line with one Receive, against the same bytes cut by a plain
// recv loop with memchr (the cost floor of finding the line ends). A sender thread writes in both
// cases. After the runs the best rates in lines per second are printed.
#include "net_receive.h"
#include "net/WSocket.h"
#include "platform/EventLoop.h"
#include "support/LocalServers.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr std::size_t kLineLength = 24;
constexpr std::size_t kLines = 100'000'000 / kLineLength;
constexpr std::size_t kTotal = kLines * kLineLength;

double bestSocketRate = 0;
double bestPlainRate = 0;

// 64 KiB worth of numbered lines, "job 0000123 queued ok.\r\n", sent over and over: kLines lines.
class Sender : public quenlo::test::StreamSender {
public:
    Sender() : StreamSender(Lines(), kTotal) {}

private:
    static std::string Lines()
    {
        std::string chunk;
        for (int i = 0; chunk.size() + kLineLength <= 65536 - 65536 % kLineLength; ++i) {
            std::string number = std::to_string(i % 10000000);
            number.insert(0, 7 - number.size(), '0');
            chunk += "job " + number + " queued ok.\r\n";
        }
        return chunk;
    }
};

void BM_LineModeLines(benchmark::State& state)
{
    for (auto _ : state) {
        Sender sender;
        quenlo::TWSocket sock;
        std::size_t lines = 0;
        std::size_t bytes = 0;
        char buffer[256];
        sock.SetLineMode(true);
        sock.OnDataAvailable = [&](quenlo::TCustomWSocket& s, std::uint16_t) {
            const int n = s.Receive(buffer, sizeof buffer);
            if (n > 0) {
                bytes += static_cast<std::size_t>(n);
                lines += buffer[n - 1] == '\n';
            }
        };
        const double seconds = quenlo::bench::SecondsToReceiveAll(sock, sender.Port());
        state.SetIterationTime(seconds);
        if (lines != kLines || bytes != kTotal)
            state.SkipWithError("lines lost");
        bestSocketRate = std::max(bestSocketRate, static_cast<double>(lines) / seconds);
        state.counters["lines/s"] = benchmark::Counter(static_cast<double>(lines) / seconds);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kTotal));
}

void BM_PlainRecvMemchr(benchmark::State& state)
{
    for (auto _ : state) {
        Sender sender;
        std::size_t lines = 0;
        static char buffer[65536];
        const double seconds =
            quenlo::bench::SecondsToRecvAll(sender.Port(), buffer, sizeof buffer, [&](const char* p, std::size_t n) {
                const char* end = p + n;
                while ((p = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)))) !=
                       nullptr) {
                    ++lines;
                    ++p;
                }
            });
        if (seconds < 0) {
            state.SkipWithError("connect failed");
            break;
        }
        state.SetIterationTime(seconds);
        if (lines != kLines)
            state.SkipWithError("lines lost");
        bestPlainRate = std::max(bestPlainRate, static_cast<double>(lines) / seconds);
        state.counters["lines/s"] = benchmark::Counter(static_cast<double>(lines) / seconds);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kTotal));
}

BENCHMARK(BM_LineModeLines)->Iterations(1)->Repetitions(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainRecvMemchr)->Iterations(1)->Repetitions(3)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv)
{
    if (!quenlo::bench::RunBenchmarks(argc, argv))
        return 1;
    if (bestSocketRate > 0 && bestPlainRate > 0) {
        std::printf("best line mode:          %.2f million lines/s\n", bestSocketRate / 1e6);
        std::printf("best plain recv+memchr:  %.2f million lines/s\n", bestPlainRate / 1e6);
        std::printf("ratio: %.2f\n", bestSocketRate / bestPlainRate);
    }
    return 0;
}
