// CPU time of the blocking calls over a 2 s wait, measured on the calling thread: a socket's Flush
// to a reader that holds off, its WaitUntilClosed on a peer that stays silent, and THttpCli::Get
// against a server that holds its answer back. Each runs three ways:
//   none     no quit: the peer lets the call end after 2 s;
//   pending  a quit is pending when the call starts: the call ends at once (wall_ms shows it);
//   at_2s    a timer posts the quit 2 s into the wait, while the peer would hold on for 3 s.
// Goal: under 20 ms of CPU in every case (cpu_ms).
#include "net_http_support.h"

#include "net/WSocket.h"
#include "platform/Wait.h"
#include "support/LocalServers.h"

#include <benchmark/benchmark.h>

#include <optional>
#include <sstream>

namespace quenlo::bench {
namespace {

using namespace std::chrono_literals;

enum class Quit { None, Pending, At2s };

std::chrono::milliseconds PeerHold(Quit quit) { return quit == Quit::At2s ? 3000ms : 2000ms; }

// One connection on 127.0.0.1: accepted, then left alone for `hold`, then read to its end (or
// closed at once when `closeAfterHold`).
class HoldingPeer {
public:
    HoldingPeer(std::chrono::milliseconds hold, bool closeAfterHold)
    {
        listener_ = quenlo::test::ListenLoopback(port_, false, 16 * 1024);
        thread_ = std::thread([this, hold, closeAfterHold] {
            const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                return;
            std::this_thread::sleep_for(hold);
            char buf[65536];
            while (!closeAfterHold) {
                pollfd p{fd, POLLIN, 0};
                if (::poll(&p, 1, 10000) <= 0 || ::recv(fd, buf, sizeof buf, 0) <= 0)
                    break;
            }
            ::close(fd);
        });
    }
    ~HoldingPeer()
    {
        thread_.join();
        ::close(listener_);
    }
    std::string Port() const { return std::to_string(port_); }

private:
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
};

// Posts a quit on this thread once, `after` from now.
class QuitTimer {
public:
    explicit QuitTimer(std::chrono::milliseconds after)
    {
        hwnd_ = platform::CreateMessageTarget([](platform::HWND h, unsigned m, platform::WPARAM id, platform::LPARAM) {
            if (m == platform::WM_TIMER) {
                platform::KillTimer(h, static_cast<unsigned>(id));
                platform::PostQuitMessage(0);
            }
            return platform::LRESULT{0};
        });
        platform::SetTimer(hwnd_, 1, static_cast<unsigned>(after.count()));
    }
    ~QuitTimer() { platform::DestroyMessageTarget(hwnd_); }

private:
    platform::HWND hwnd_ = 0;
};

// Takes the quit the call left pending, so the next round starts clean.
void TakeQuit()
{
    platform::MSG msg;
    while (platform::PeekMessage(msg) && msg.message != platform::WM_QUIT)
        platform::DispatchMessage(msg);
}

bool Connect(TWSocket& s, const std::string& port)
{
    bool connected = false;
    s.OnSessionConnected = [&](TCustomWSocket&, std::uint16_t error) { connected = error == 0; };
    s.SetAddr("127.0.0.1");
    s.SetPort(port);
    s.SetProto("tcp");
    s.Connect();
    platform::WaitUntil([&] { return connected; }, platform::DeadlineAfter(5000ms));
    s.OnSessionConnected = nullptr;
    return connected;
}

// Runs `call` once per iteration with the quit arranged as asked, and reports its CPU and wall
// time; `prepare` sets up the round and returns false when it failed.
template <class Prepare, class Call, class Finish>
void Measure(benchmark::State& state, Quit quit, Prepare prepare, Call call, Finish finish)
{
    double cpu = 0, wall = 0;
    int rounds = 0;
    for (auto _ : state) {
        if (!prepare()) {
            state.SkipWithError("set-up failed");
            return;
        }
        std::optional<QuitTimer> timer;
        if (quit == Quit::At2s)
            timer.emplace(2000ms);
        if (quit == Quit::Pending)
            platform::PostQuitMessage(0);
        const double cpuBefore = CpuSeconds(RUSAGE_THREAD);
        const auto wallBefore = Clock::now();
        call();
        cpu += CpuSeconds(RUSAGE_THREAD) - cpuBefore;
        wall += std::chrono::duration<double>(Clock::now() - wallBefore).count();
        if (quit != Quit::None)
            TakeQuit();
        finish();
        ++rounds;
    }
    state.counters["cpu_ms"] = 1000 * cpu / rounds;
    state.counters["wall_ms"] = 1000 * wall / rounds;
}

void BM_Flush(benchmark::State& state)
{
    const auto quit = static_cast<Quit>(state.range(0));
    std::unique_ptr<HoldingPeer> peer;
    std::unique_ptr<TWSocket> s;
    const std::string data(512 << 10, 'x');  // far more than the 80 KB the two buffers hold
    Measure(
        state, quit,
        [&] {
            peer = std::make_unique<HoldingPeer>(PeerHold(quit), false);
            s = std::make_unique<TWSocket>();
            if (!Connect(*s, peer->Port()))
                return false;
            const int small = 64 * 1024;
            ::setsockopt(s->HSocket(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
            s->Send(data.data(), static_cast<int>(data.size()));
            return true;
        },
        [&] { s->Flush(); },
        [&] {
            s->Abort();
            s.reset();
            peer.reset();
        });
}

void BM_WaitUntilClosed(benchmark::State& state)
{
    const auto quit = static_cast<Quit>(state.range(0));
    std::unique_ptr<HoldingPeer> peer;
    std::unique_ptr<TWSocket> s;
    Measure(
        state, quit,
        [&] {
            peer = std::make_unique<HoldingPeer>(PeerHold(quit), true);
            s = std::make_unique<TWSocket>();
            return Connect(*s, peer->Port());
        },
        [&] { s->WaitUntilClosed(); },
        [&] {
            s->Close();
            s.reset();
            peer.reset();
        });
}

void BM_HttpGet(benchmark::State& state)
{
    const auto quit = static_cast<Quit>(state.range(0));
    std::unique_ptr<BodyServer> server;
    THttpCli http;
    std::stringstream reply;
    http.SetReplyStream(&reply);
    Measure(
        state, quit,
        [&] {
            server = std::make_unique<BodyServer>(100, PeerHold(quit));
            http.SetURL(server->Url());
            return true;
        },
        [&] {
            try {
                http.Get();
            } catch (const EHttpException&) {  // the quit aborts the request
            }
        },
        [&] { server.reset(); });
}

void Ways(benchmark::internal::Benchmark* b)
{
    b->ArgName("quit_none_pending_at2s")->Arg(0)->Arg(1)->Arg(2)->Iterations(1)->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_Flush)->Apply(Ways);
BENCHMARK(BM_WaitUntilClosed)->Apply(Ways);
BENCHMARK(BM_HttpGet)->Apply(Ways);

}  // namespace
}  // namespace quenlo::bench

BENCHMARK_MAIN();
