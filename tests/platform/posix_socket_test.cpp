// What only the Linux layer has: the errno and resolver code table, the socket options as the
// system sees them, registrations left by a plain close(), and waiting without spinning.
#include "socket_peer.h"

#include <netdb.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>

namespace quenlo::test {
namespace {

TEST(PosixErrorTable, ErrnoAndResolverCodesMapToWindowsSocketsNumbers)
{
    const std::pair<int, int> errnos[] = {
        {0, 0},
        {EWOULDBLOCK, 10035}, {EAGAIN, 10035}, {EINPROGRESS, 10035},
        {ECONNREFUSED, 10061}, {ETIMEDOUT, 10060}, {ECONNRESET, 10054},
        {ENOTCONN, 10057}, {EHOSTUNREACH, 10065}, {ENETUNREACH, 10051},
        {EADDRINUSE, 10048}, {EADDRNOTAVAIL, 10049}, {ECONNABORTED, 10053},
        {EBADF, 10009}, {ENOTSOCK, 10038}, {EINVAL, 10022}, {EMFILE, 10024},
        {ENFILE, 10024}, {ENOBUFS, 10055}, {ENOMEM, 10055}, {EISCONN, 10056},
        {EALREADY, 10037}, {EAFNOSUPPORT, 10047}, {EACCES, 10013}, {EPERM, 10013},
        {EINTR, 10004}, {EMSGSIZE, 10040}, {ENOPROTOOPT, 10042}, {EOPNOTSUPP, 10045},
        {EPROTONOSUPPORT, 10043}, {EPIPE, 10058}, {ENETDOWN, 10050}, {EHOSTDOWN, 10064},
        {EIO, 10050},
    };
    for (const auto& [e, w] : errnos)
        EXPECT_EQ(ws::WsaErrorFromErrno(e), w) << "errno " << e;

    EXPECT_EQ(ws::WsaErrorFromResolver(HOST_NOT_FOUND), 11001);
    EXPECT_EQ(ws::WsaErrorFromResolver(TRY_AGAIN), 11002);
    EXPECT_EQ(ws::WsaErrorFromResolver(NO_RECOVERY), 11003);
    EXPECT_EQ(ws::WsaErrorFromResolver(NO_DATA), 11004);
    EXPECT_EQ(ws::WsaErrorFromResolver(EAI_NONAME), 11001);
    EXPECT_EQ(ws::WsaErrorFromResolver(EAI_AGAIN), 11002);
    EXPECT_EQ(ws::WsaErrorFromResolver(EAI_FAIL), 11003);
    EXPECT_EQ(ws::WsaErrorFromResolver(0), 0);
}

TEST(PosixSocketOptions, WindowsNumbersReachTheSystemTranslated)
{
    const ws::SOCKET s = ws::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(s, ws::INVALID_SOCKET);

    const std::uint16_t lingerOnZero[2] = {1, 0};
    EXPECT_EQ(ws::setsockopt(s, kSolSocket, kSoLinger, lingerOnZero, 4), 0);
    linger l{};
    socklen_t len = sizeof l;
    ::getsockopt(s, SOL_SOCKET, SO_LINGER, &l, &len);
    EXPECT_EQ(l.l_onoff, 1);
    EXPECT_EQ(l.l_linger, 0);

    const int allOnes = -1;
    EXPECT_EQ(ws::setsockopt(s, kSolSocket, 0x0008, &allOnes, 4), 0);
    int keepAlive = 0;
    len = sizeof keepAlive;
    ::getsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &keepAlive, &len);
    EXPECT_NE(keepAlive, 0);
    EXPECT_EQ(ws::closesocket(s), 0);
}

using PosixSocketTest = LoopTest;

// A socket closed with close() instead of closesocket leaves its registration behind.
TEST_F(PosixSocketTest, ASocketClosedBehindOurBackLeavesNothingForTheNextOneWithItsNumber)
{
    Peer peer;
    auto stale = std::make_unique<Client>();
    connectPair(*stale, peer);
    const std::size_t before = stale->target.got.size();
    ::close(stale->s);  // not closesocket: the registration is left behind

    const ws::SOCKET next = ws::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(next, stale->s);
    stale->s = ws::INVALID_SOCKET;
    const auto a = loopback(peer.port);
    ws::connect(next, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    ASSERT_TRUE(peer.acceptOne());
    peer.sendText("for the new socket");
    runFor(100ms);
    EXPECT_EQ(stale->target.got.size(), before);
    char buf[64];
    EXPECT_GT(ws::recv(next, buf, sizeof buf, 0), 0);
    runFor(50ms);
    EXPECT_EQ(stale->target.got.size(), before);
    ws::closesocket(next);
}

TEST_F(PosixSocketTest, NothingSpinsWhileSocketsWaitInEveryState)
{
    // A silent connection, one whose bytes nobody reads, one the peer closed, one the peer reset.
    Peer silentPeer, unreadPeer, closedPeer, resetPeer;
    Client silent, unread, closed, reset;
    connectPair(silent, silentPeer);
    connectPair(unread, unreadPeer);
    connectPair(closed, closedPeer);
    connectPair(reset, resetPeer);
    unreadPeer.sendText("nobody reads this");
    closedPeer.sendText("nor this");
    closedPeer.closeConnection();
    resetPeer.resetConnection();
    ASSERT_TRUE(runUntil([&] {
        return unread.times(ws::FD_READ) == 1 && closed.times(ws::FD_CLOSE) == 1 && reset.times(ws::FD_CLOSE) == 1;
    }));
    const auto messagesBefore = silent.target.got.size() + unread.target.got.size() + closed.target.got.size() +
                                reset.target.got.size();

    rusage before{}, after{};
    ::getrusage(RUSAGE_THREAD, &before);
    const auto start = std::chrono::steady_clock::now();
    platform::WaitAndProcess(2000ms);
    const auto waited = std::chrono::steady_clock::now() - start;
    ::getrusage(RUSAGE_THREAD, &after);
    auto micros = [](const timeval& t) { return std::int64_t{t.tv_sec} * 1000000 + t.tv_usec; };
    const std::int64_t cpuUs = micros(after.ru_utime) - micros(before.ru_utime) + micros(after.ru_stime) -
                               micros(before.ru_stime);
    RecordProperty("cpu_us_over_2s", static_cast<int>(cpuUs));
    std::printf("[ figure   ] CPU used while waiting 2 s on idle sockets: %.3f ms\n", cpuUs / 1000.0);

    EXPECT_GE(waited, 1900ms) << "nothing should have woken the wait";
    EXPECT_LT(cpuUs, 200000);
    EXPECT_EQ(silent.target.got.size() + unread.target.got.size() + closed.target.got.size() + reset.target.got.size(),
              messagesBefore);
}

}  // namespace
}  // namespace quenlo::test
