// Resources: repeated connections leave nothing behind, and waiting costs no CPU.
#include "net/WSocket.h"
#include "wsocket_test_peer.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

namespace quenlo {
namespace {

using namespace quenlo::testing;

double CpuSeconds()
{
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

TEST(WSocketResources, ThousandConnectExchangeCloseCyclesLeaveNothingBehind)
{
    constexpr int kCycles = 1000;
    TestPeer peer;
    // Warm up the process-wide parts (event loop, target tables) before counting.
    {
        peer.Serve([](int fd) { char b[8]; if (RecvWithin(fd, b, sizeof(b)) > 0) SendAll(fd, "pong"); });
        TWSocket s;
        bool closed = false;
        s.OnSessionConnected = [](TCustomWSocket& sock, std::uint16_t) { sock.SendText("ping"); };
        s.OnSessionClosed = [&](TCustomWSocket&, std::uint16_t) { closed = true; };
        ConnectTo(s, peer.Port());
        ASSERT_TRUE(RunLoopUntil([&] { return closed; }));
        peer.Join();
    }
    TWSocket s;  // one object serves every connection in turn, as in the HTTP client
    RunLoopFor(20ms);
    const int fdsBefore = OpenDescriptorCount();
    const int threadsBefore = ThreadCount();
    const auto loopBefore = platform::CurrentLoopCounts();

    peer.Serve([](int fd) { char b[8]; if (RecvWithin(fd, b, sizeof(b)) > 0) SendAll(fd, "pong"); }, kCycles);
    int done = 0, failures = 0;
    std::string reply;
    s.OnSessionConnected = [&](TCustomWSocket& sock, std::uint16_t e) {
        if (e != 0)
            ++failures;
        else
            sock.SendText("ping");
    };
    s.OnDataAvailable = [&](TCustomWSocket& sock, std::uint16_t) {
        char b[8];
        int n = sock.Receive(b, sizeof(b));
        if (n > 0)
            reply.append(b, static_cast<std::size_t>(n));
        if (reply == "pong")
            sock.Close();
    };
    s.OnSessionClosed = [&](TCustomWSocket& sock, std::uint16_t) {
        if (reply != "pong")
            ++failures;
        reply.clear();
        if (++done < kCycles)
            ConnectTo(sock, peer.Port());
    };
    ConnectTo(s, peer.Port());
    ASSERT_TRUE(RunLoopUntil([&] { return done == kCycles; }, 60000ms)) << done << " cycles done";
    peer.Join();
    RunLoopFor(20ms);

    EXPECT_EQ(failures, 0);
    EXPECT_EQ(OpenDescriptorCount(), fdsBefore);
    EXPECT_EQ(ThreadCount(), threadsBefore);
    const auto loopAfter = platform::CurrentLoopCounts();
    EXPECT_EQ(loopAfter.targets, loopBefore.targets);
    EXPECT_EQ(loopAfter.watchedSockets, loopBefore.watchedSockets);
    EXPECT_EQ(loopAfter.queued, 0u);
}

TEST(WSocketResources, WaitingForASilentPeerCostsNoCpu)
{
    TestPeer peer;
    peer.Serve([&](int fd) {
        char b[1];
        RecvWithin(fd, b, 1, 10000);  // silent until we close
    });
    TWSocket s;
    bool connected = false;
    int dataEvents = 0;
    s.OnSessionConnected = [&](TCustomWSocket&, std::uint16_t) { connected = true; };
    s.OnDataAvailable = [&](TCustomWSocket&, std::uint16_t) { ++dataEvents; };
    ConnectTo(s, peer.Port());
    ASSERT_TRUE(RunLoopUntil([&] { return connected; }));
    RunLoopFor(20ms);

    // The loop sleeps in WaitAndProcess for the whole 2 s, as a blocking request would.
    const double before = CpuSeconds();
    const auto deadline = std::chrono::steady_clock::now() + 2000ms;
    for (auto now = std::chrono::steady_clock::now(); now < deadline; now = std::chrono::steady_clock::now())
        platform::WaitAndProcess(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now));
    const double used = CpuSeconds() - before;
    // The bound is generous on purpose (the real figure is a few milliseconds) so that a loaded
    // machine never makes this flaky.
    RecordProperty("cpu_ms_for_2s_wait", static_cast<int>(used * 1000));
    std::printf("[ figures  ] CPU for a 2 s wait on a silent peer: %.1f ms\n", used * 1000);
    EXPECT_LT(used, 0.200);
    EXPECT_EQ(dataEvents, 0);
    EXPECT_EQ(s.State(), wsConnected);
    s.Close();
}

}  // namespace
}  // namespace quenlo
