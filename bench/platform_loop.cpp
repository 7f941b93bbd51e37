// Event loop costs: posting and dispatching messages, waking from another thread, and a socket
// round trip through the notifications on the loopback.
#include "platform/EventLoop.h"
#include "platform/Winsock.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <atomic>
#include <thread>

namespace {

using namespace quenlo::platform;
constexpr unsigned WM_SOCKET_EVENT = WM_USER + 1;

void BM_PostAndDispatch(benchmark::State& state)
{
    std::int64_t seen = 0;
    const HWND target = CreateMessageTarget([&](HWND, unsigned, WPARAM, LPARAM) -> LRESULT {
        ++seen;
        return 0;
    });
    const auto batch = state.range(0);
    for (auto _ : state) {
        for (std::int64_t i = 0; i < batch; ++i)
            PostMessage(target, WM_USER, static_cast<WPARAM>(i), 0);
        ProcessLoopMessages();
    }
    DestroyMessageTarget(target);
    state.SetItemsProcessed(seen);
}
BENCHMARK(BM_PostAndDispatch)->Arg(1)->Arg(64);

// Another thread posts; this one sleeps in WaitAndProcess until the message is there.
void BM_WakeFromOtherThread(benchmark::State& state)
{
    std::atomic<std::int64_t> seen{0};
    const HWND target = CreateMessageTarget([&](HWND, unsigned, WPARAM, LPARAM) -> LRESULT {
        ++seen;
        return 0;
    });
    std::atomic<std::int64_t> wanted{0};
    std::atomic<bool> stop{false};
    std::thread poster([&] {
        std::int64_t posted = 0;
        while (!stop) {
            if (wanted > posted) {
                PostMessage(target, WM_USER, 0, 0);
                ++posted;
            } else {
                std::this_thread::yield();
            }
        }
    });
    for (auto _ : state) {
        ++wanted;
        const auto target_count = wanted.load();
        while (seen < target_count)
            WaitAndProcess(std::chrono::milliseconds(1000));
    }
    stop = true;
    poster.join();
    DestroyMessageTarget(target);
    state.SetItemsProcessed(seen);
}
BENCHMARK(BM_WakeFromOtherThread)->UseRealTime();

// One byte back and forth between two registered sockets of the same loop: send, FD_READ, recv.
void BM_SocketRoundTrip(benchmark::State& state)
{
    namespace ws = quenlo::platform::ws;
    const ws::SOCKET listener = ws::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ws::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ws::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    ws::listen(listener, 1);

    int reads = 0;
    const HWND target = CreateMessageTarget([&](HWND, unsigned, WPARAM, LPARAM l) -> LRESULT {
        if (ws::WSAGETSELECTEVENT(l) & ws::FD_READ)
            ++reads;
        return 0;
    });
    const ws::SOCKET client = ws::socket(AF_INET, SOCK_STREAM, 0);
    ws::WSAAsyncSelect(client, target, WM_SOCKET_EVENT, ws::FD_READ | ws::FD_CONNECT | ws::FD_CLOSE);
    ws::connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ws::SOCKET server = ws::INVALID_SOCKET;
    while (server == ws::INVALID_SOCKET) {
        WaitAndProcess(std::chrono::milliseconds(10));
        server = ws::accept(listener, nullptr, nullptr);
    }
    ws::WSAAsyncSelect(server, target, WM_SOCKET_EVENT, ws::FD_READ | ws::FD_CLOSE);
    const int one = 1;
    ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ProcessLoopMessages();

    char byte = 'x';
    for (auto _ : state) {
        int before = reads;
        ws::send(client, &byte, 1, 0);
        while (reads == before)
            WaitAndProcess(std::chrono::milliseconds(1000));
        ws::recv(server, &byte, 1, 0);
        before = reads;
        ws::send(server, &byte, 1, 0);
        while (reads == before)
            WaitAndProcess(std::chrono::milliseconds(1000));
        ws::recv(client, &byte, 1, 0);
    }
    ws::closesocket(client);
    ws::closesocket(server);
    ws::closesocket(listener);
    DestroyMessageTarget(target);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SocketRoundTrip)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
