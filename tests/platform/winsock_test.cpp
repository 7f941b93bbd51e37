// Name lookups (synchronous and asynchronous), the dotted address forms, and the socket calls'
// failures.
#include "both_systems.h"
#include "loop_fixture.h"

#include <algorithm>
#include <memory>
#include <thread>

namespace quenlo::test {
namespace {

using namespace std::chrono_literals;
namespace ws = platform::ws;

constexpr unsigned WM_HOSTBYNAME_DONE = platform::WM_USER + 2;
constexpr unsigned WM_HOSTBYADDR_DONE = platform::WM_USER + 3;

const std::uint32_t kLoopback = htonl(INADDR_LOOPBACK);

using LookupTest = LoopTest;

TEST_F(LookupTest, ForwardLookupOfLocalhostAnswersThroughTheQueue)
{
    RecordingTarget target;
    const ws::HANDLE request = ws::WSAAsyncGetHostByName(target.hwnd, WM_HOSTBYNAME_DONE, "localhost");
    ASSERT_NE(request, 0u);
    ASSERT_TRUE(runUntil([&] { return !target.got.empty(); }));
    const auto answer = target.got[0];
    EXPECT_EQ(answer.message, WM_HOSTBYNAME_DONE);
    EXPECT_EQ(answer.wParam, request);
    EXPECT_EQ(ws::WSAGETSELECTERROR(answer.lParam), 0u);

    const auto entry = ws::WSATakeHostResult(request);
    ASSERT_TRUE(entry.has_value());
    ASSERT_FALSE(entry->addresses.empty());
    EXPECT_EQ(entry->addresses[0], kLoopback);
    EXPECT_FALSE(ws::WSATakeHostResult(request).has_value()) << "handed over once";
}

TEST_F(LookupTest, AnUnknownNameFailsWithHostNotFound)
{
    RecordingTarget target;
    const ws::HANDLE request = ws::WSAAsyncGetHostByName(target.hwnd, WM_HOSTBYNAME_DONE, "no-such-host.invalid");
    ASSERT_NE(request, 0u);
    ASSERT_TRUE(runUntil([&] { return !target.got.empty(); }, 15s));
    EXPECT_EQ(ws::WSAGETSELECTERROR(target.got[0].lParam), unsigned(ws::WSAHOST_NOT_FOUND));
    EXPECT_FALSE(ws::WSATakeHostResult(request).has_value());

    EXPECT_FALSE(ws::gethostbyname("no-such-host.invalid").has_value());
    EXPECT_EQ(ws::WSAGetLastError(), ws::WSAHOST_NOT_FOUND);
    EXPECT_FALSE(ws::gethostbyname(std::string("local\0host", 10)).has_value()) << "embedded NUL";
}

TEST_F(LookupTest, ReverseLookupOfLoopbackGivesItsName)
{
    RecordingTarget target;
    const ws::HANDLE request = ws::WSAAsyncGetHostByAddr(target.hwnd, WM_HOSTBYADDR_DONE, kLoopback);
    ASSERT_NE(request, 0u);
    ASSERT_TRUE(runUntil([&] { return !target.got.empty(); }));
    EXPECT_EQ(target.got[0].message, WM_HOSTBYADDR_DONE);
    EXPECT_EQ(ws::WSAGETSELECTERROR(target.got[0].lParam), 0u);
    const auto entry = ws::WSATakeHostResult(request);
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(entry->officialName, "localhost");
}

TEST_F(LookupTest, ACancelledLookupNeverAnswers)
{
    RecordingTarget target;
    // Cancelled while queued or running.
    const ws::HANDLE early = ws::WSAAsyncGetHostByName(target.hwnd, WM_HOSTBYNAME_DONE, "localhost");
    EXPECT_EQ(ws::WSACancelAsyncRequest(early), 0);

    // Cancelled after its answer was queued but before it was dispatched.
    const ws::HANDLE late = ws::WSAAsyncGetHostByName(target.hwnd, WM_HOSTBYNAME_DONE, "localhost");
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (ws::PendingLookupCount() != 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    ASSERT_EQ(ws::PendingLookupCount(), 0u);
    EXPECT_EQ(platform::CurrentLoopCounts().queued, 1u);
    EXPECT_EQ(ws::WSACancelAsyncRequest(late), 0);
    EXPECT_EQ(platform::CurrentLoopCounts().queued, 0u);

    runFor(100ms);
    EXPECT_TRUE(target.got.empty());
    EXPECT_FALSE(ws::WSATakeHostResult(early).has_value());
    EXPECT_FALSE(ws::WSATakeHostResult(late).has_value());

    EXPECT_EQ(ws::WSACancelAsyncRequest(late), ws::SOCKET_ERROR) << "already cancelled";
    EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEINVAL);
    EXPECT_EQ(ws::WSACancelAsyncRequest(0), ws::SOCKET_ERROR);
}

TEST_F(LookupTest, AnAnswerForADestroyedTargetIsDropped)
{
    // Destroyed while the lookup runs, and destroyed with the answer already queued.
    auto target = std::make_unique<RecordingTarget>();
    const ws::HANDLE running = ws::WSAAsyncGetHostByName(target->hwnd, WM_HOSTBYNAME_DONE, "localhost");
    ASSERT_NE(running, 0u);
    target.reset();
    target = std::make_unique<RecordingTarget>();
    const ws::HANDLE answered = ws::WSAAsyncGetHostByName(target->hwnd, WM_HOSTBYNAME_DONE, "localhost");
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (ws::PendingLookupCount() != 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    target.reset();
    runFor(50ms);
    EXPECT_FALSE(ws::WSATakeHostResult(running).has_value());
    EXPECT_FALSE(ws::WSATakeHostResult(answered).has_value()) << "nothing kept for a dead target";

    EXPECT_EQ(ws::WSAAsyncGetHostByName(0xFFFFFFF0u, WM_HOSTBYNAME_DONE, "localhost"), 0u);
    EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEINVAL);
}

TEST_F(LookupTest, ManyLookupsAtOnceAllAnswerWithDistinctHandles)
{
    // All answered before any is dispatched: however many wait, none is dropped.
    RecordingTarget target;
    std::vector<ws::HANDLE> requests;
    for (int i = 0; i < 100; ++i)
        requests.push_back(ws::WSAAsyncGetHostByName(target.hwnd, WM_HOSTBYNAME_DONE, "localhost"));
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    while (ws::PendingLookupCount() != 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    ASSERT_EQ(ws::PendingLookupCount(), 0u);
    ASSERT_TRUE(runUntil([&] { return target.got.size() == requests.size(); }));
    std::sort(requests.begin(), requests.end());
    EXPECT_EQ(std::unique(requests.begin(), requests.end()), requests.end());
    for (ws::HANDLE r : requests)
        EXPECT_TRUE(ws::WSATakeHostResult(r).has_value());
}

TEST(SyncLookups, ServicesProtocolsAndAddressesFromTheSystemTables)
{
    const auto host = ws::gethostbyname("localhost");
    ASSERT_TRUE(host.has_value());
    EXPECT_EQ(host->addresses.at(0), kLoopback);

    EXPECT_EQ(ws::getservbyname("ipp", "tcp"), std::optional<std::uint16_t>(631));
    EXPECT_EQ(ws::getservbyname("http", ""), std::optional<std::uint16_t>(80));
    EXPECT_FALSE(ws::getservbyname("no-such-service", "tcp").has_value());
    EXPECT_NE(ws::WSAGetLastError(), 0);

    EXPECT_EQ(ws::getprotobyname("tcp"), std::optional<int>(6));
    EXPECT_EQ(ws::getprotobyname("udp"), std::optional<int>(17));
    EXPECT_FALSE(ws::getprotobyname("no-such-protocol").has_value());
}

TEST(InetText, DottedFormsConvertBothWays)
{
    EXPECT_EQ(ws::inet_addr("127.0.0.1"), kLoopback);
    EXPECT_EQ(ws::inet_ntoa(kLoopback), "127.0.0.1");
    EXPECT_EQ(ws::inet_ntoa(ws::inet_addr("010.0.0.1")), "8.0.0.1") << "octal part, canonical output";
    EXPECT_EQ(ws::inet_addr("255.255.255.255"), 0xFFFFFFFFu);
    EXPECT_EQ(ws::inet_addr("256.1.1.1"), 0xFFFFFFFFu);
    EXPECT_EQ(ws::inet_addr("1.2.3.4x"), 0xFFFFFFFFu);
    EXPECT_EQ(ws::inet_addr(""), 0xFFFFFFFFu);
    EXPECT_EQ(ws::inet_addr("host.example"), 0xFFFFFFFFu);
}

using SocketCalls = LoopTest;

TEST_F(SocketCalls, FailuresSetTheLastError)
{
    const ws::SOCKET s = ws::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(s, ws::INVALID_SOCKET);

    const int allOnes = -1;
    EXPECT_EQ(ws::setsockopt(s, 0xFFFF, 0x7777, &allOnes, 4), ws::SOCKET_ERROR) << "no such option";
    EXPECT_EQ(ws::WSAGetLastError(), ws::WSAENOPROTOOPT);

    unsigned long waiting = 99;
    EXPECT_EQ(ws::ioctlsocket_FIONREAD(s, &waiting), 0);
    EXPECT_EQ(waiting, 0u);
    // wine passes on Linux's EPIPE for both sends, as 10054.
    char c;
    EXPECT_EQ(ws::send(s, &c, 1, 0), ws::SOCKET_ERROR) << "not connected, and no SIGPIPE";
    EXPECT_EQ(ws::WSAGetLastError(), UnderWine() ? ws::WSAECONNRESET : ws::WSAENOTCONN);
    EXPECT_EQ(ws::send(s, &c, -1, 0), ws::SOCKET_ERROR);
    EXPECT_EQ(ws::WSAGetLastError(), UnderWine() ? ws::WSAECONNRESET : ws::WSAEFAULT);
    EXPECT_EQ(ws::closesocket(s), 0);
    // A closed handle: the system says "not a socket", the Linux layer "bad descriptor".
    EXPECT_EQ(ws::closesocket(s), ws::SOCKET_ERROR);
    EXPECT_EQ(ws::WSAGetLastError(), kSystemSockets ? ws::WSAENOTSOCK : ws::WSAEBADF);
    RecordingTarget target;
    EXPECT_EQ(ws::WSAAsyncSelect(s, target.hwnd, platform::WM_USER, ws::FD_READ), ws::SOCKET_ERROR);
    EXPECT_EQ(ws::WSAGetLastError(), ws::WSAENOTSOCK);
}

}  // namespace
}  // namespace quenlo::test
