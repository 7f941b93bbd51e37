// What the receive benchmarks share: the run of the benchmarks, and timing one whole stream from a
// quenlo::test::StreamSender into a TWSocket or into a plain blocking recv loop.
#pragma once

#include "net/WSocket.h"
#include "platform/EventLoop.h"
#include "support/LocalServers.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include <sys/socket.h>
#include <unistd.h>

namespace quenlo::bench {

// Runs the benchmarks the command line picks (Google Benchmark's options); false, after saying so,
// for an option it does not know.
inline bool RunBenchmarks(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return false;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return true;
}

// Seconds until `sock` (its OnDataAvailable set by the caller) has read all that 127.0.0.1:port
// sent and seen it close.
inline double SecondsToReceiveAll(TWSocket& sock, std::uint16_t port)
{
    bool closed = false;
    sock.OnSessionClosed = [&](TCustomWSocket&, std::uint16_t) { closed = true; };
    const auto start = std::chrono::steady_clock::now();
    sock.SetAddr("127.0.0.1");
    sock.SetPort(std::to_string(port));
    sock.Connect();
    while (!closed)
        platform::WaitAndProcess(std::chrono::milliseconds(1000));
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Seconds until a blocking recv loop into `buffer` has read all that 127.0.0.1:port sent, `take`
// getting each piece; negative when it could not connect.
inline double SecondsToRecvAll(std::uint16_t port, char* buffer, std::size_t size,
                               const std::function<void(const char*, std::size_t)>& take)
{
    const auto start = std::chrono::steady_clock::now();
    const int fd = test::ConnectLoopback(port);
    if (fd < 0)
        return -1;
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, size, 0);
        if (n <= 0)
            break;
        take(buffer, static_cast<std::size_t>(n));
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ::close(fd);
    return seconds;
}

}  // namespace quenlo::bench
