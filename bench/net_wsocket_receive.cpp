// Receive throughput over loopback: 1 GiB into a TWSocket reading with Receive into an 8 KiB
// buffer from OnDataAvailable, against a plain blocking recv loop with the same buffer. The sender
// runs on another thread in both cases. After the runs the best rates and their ratio are printed.
#include "net_receive.h"
#include "net/WSocket.h"
#include "platform/EventLoop.h"
#include "support/LocalServers.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr std::size_t kTotal = std::size_t{1} << 30;  // 1 GiB
constexpr int kBufferSize = 8192;

double bestSocketRate = 0;
double bestPlainRate = 0;

// One connection that receives kTotal bytes.
class Sender : public quenlo::test::StreamSender {
public:
    Sender() : StreamSender(std::string(64 * 1024, 'q'), kTotal) {}
};

void BM_TWSocketReceive(benchmark::State& state)
{
    for (auto _ : state) {
        Sender sender;
        quenlo::TWSocket sock;
        std::size_t received = 0;
        char buffer[kBufferSize];
        sock.OnDataAvailable = [&](quenlo::TCustomWSocket& s, std::uint16_t) {
            int n = s.Receive(buffer, kBufferSize);
            if (n > 0)
                received += static_cast<std::size_t>(n);
        };
        const double seconds = quenlo::bench::SecondsToReceiveAll(sock, sender.Port());
        state.SetIterationTime(seconds);
        if (received != kTotal)
            state.SkipWithError("short transfer");
        bestSocketRate = std::max(bestSocketRate, static_cast<double>(received) / seconds);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kTotal));
}

void BM_PlainRecvLoop(benchmark::State& state)
{
    for (auto _ : state) {
        Sender sender;
        std::size_t received = 0;
        char buffer[kBufferSize];
        const double seconds = quenlo::bench::SecondsToRecvAll(
            sender.Port(), buffer, sizeof buffer, [&](const char*, std::size_t n) { received += n; });
        if (seconds < 0) {
            state.SkipWithError("connect failed");
            break;
        }
        state.SetIterationTime(seconds);
        if (received != kTotal)
            state.SkipWithError("short transfer");
        bestPlainRate = std::max(bestPlainRate, static_cast<double>(received) / seconds);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kTotal));
}

BENCHMARK(BM_TWSocketReceive)->Iterations(1)->Repetitions(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainRecvLoop)->Iterations(1)->Repetitions(3)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv)
{
    if (!quenlo::bench::RunBenchmarks(argc, argv))
        return 1;
    if (bestSocketRate > 0 && bestPlainRate > 0) {
        std::printf("best TWSocket receive: %.0f MiB/s\n", bestSocketRate / (1 << 20));
        std::printf("best plain recv loop:  %.0f MiB/s\n", bestPlainRate / (1 << 20));
        std::printf("ratio: %.2f (goal: at least 0.80)\n", bestSocketRate / bestPlainRate);
    }
    return 0;
}
