// The Windows platform layer on the system's own calls, under wine: sockets on 127.0.0.1 with their
// window-message notifications, asynchronous lookups, posted messages and timers, the named mutex,
// and the registry and folder rules for the printers file.
#include "config/PrintersFile.h"
#include "platform/EventLoop.h"
#include "platform/Settings.h"
#include "platform/SingleInstance.h"
#include "platform/Winsock.h"
#include "platform/win/Win32.h"
#include "win/deep_folders.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>
#include <vector>

#include <windows.h>
#undef PostMessage
#undef PeekMessage
#undef DispatchMessage
// WSAE... below are the system's own macros, of the same numbers as the layer's constants.

namespace quenlo::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr unsigned kSocketMsg = 0x0400 + 50;
constexpr unsigned kLookupMsg = 0x0400 + 51;

// A message target that records what reaches it.
struct Recorder {
    std::vector<MSG> seen;
    HWND hwnd = CreateMessageTarget([this](HWND h, unsigned m, WPARAM w, LPARAM l) -> LRESULT {
        seen.push_back(MSG{h, m, w, l});
        return 0;
    });
    ~Recorder() { DestroyMessageTarget(hwnd); }

    // Pumps until `done` holds or the time is up (the machine may be slow: generous, bounded).
    bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 60s)
    {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!done() && std::chrono::steady_clock::now() < end)
            WaitAndProcess(100ms);
        return done();
    }
    bool Has(unsigned message, unsigned event, WPARAM w) const
    {
        for (const MSG& m : seen)
            if (m.message == message && m.wParam == w && (ws::WSAGETSELECTEVENT(m.lParam) & event))
                return true;
        return false;
    }
    unsigned ErrorOf(unsigned event, WPARAM w) const
    {
        for (const MSG& m : seen)
            if (m.wParam == w && (ws::WSAGETSELECTEVENT(m.lParam) & event))
                return ws::WSAGETSELECTERROR(m.lParam);
        return 0xFFFF;
    }
};

sockaddr_in Loopback(std::uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

std::uint16_t PortOf(ws::SOCKET s)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ws::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

TEST(WinSockets, AConnectionReportsAcceptConnectReadAndOrderlyClose)
{
    Recorder rec;
    ws::SOCKET listener = ws::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(listener, ws::INVALID_SOCKET);
    sockaddr_in any = Loopback(0);
    ASSERT_EQ(ws::bind(listener, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
    ASSERT_EQ(ws::listen(listener, 5), 0);
    ASSERT_EQ(ws::WSAAsyncSelect(listener, rec.hwnd, kSocketMsg, ws::FD_ACCEPT), 0);

    ws::SOCKET client = ws::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_EQ(ws::WSAAsyncSelect(client, rec.hwnd, kSocketMsg,
                                 ws::FD_CONNECT | ws::FD_READ | ws::FD_WRITE | ws::FD_CLOSE), 0);
    sockaddr_in to = Loopback(PortOf(listener));
    // A registered socket never blocks: the outcome comes as FD_CONNECT.
    const int rc = ws::connect(client, reinterpret_cast<sockaddr*>(&to), sizeof to);
    EXPECT_TRUE(rc == 0 || ws::WSAGetLastError() == WSAEWOULDBLOCK);
    ASSERT_TRUE(rec.PumpUntil([&] { return rec.Has(kSocketMsg, ws::FD_CONNECT, client) &&
                                           rec.Has(kSocketMsg, ws::FD_ACCEPT, listener); }));
    EXPECT_EQ(rec.ErrorOf(ws::FD_CONNECT, client), 0u);

    ws::SOCKET served = ws::accept(listener, nullptr, nullptr);
    ASSERT_NE(served, ws::INVALID_SOCKET);
    ASSERT_EQ(ws::send(served, "ping", 4, 0), 4);
    ASSERT_TRUE(rec.PumpUntil([&] { return rec.Has(kSocketMsg, ws::FD_READ, client); }));
    unsigned long waiting = 0;
    ASSERT_EQ(ws::ioctlsocket_FIONREAD(client, &waiting), 0);
    EXPECT_EQ(waiting, 4u);
    char buf[8] = {};
    EXPECT_EQ(ws::recv(client, buf, sizeof buf, 0), 4);
    EXPECT_EQ(std::string(buf, 4), "ping");

    ws::closesocket(served);
    ASSERT_TRUE(rec.PumpUntil([&] { return rec.Has(kSocketMsg, ws::FD_CLOSE, client); }));
    EXPECT_EQ(rec.ErrorOf(ws::FD_CLOSE, client), 0u);
    EXPECT_EQ(ws::closesocket(client), 0);
    EXPECT_EQ(ws::closesocket(listener), 0);
    EXPECT_EQ(CurrentLoopCounts().watchedSockets, 0u);
}

TEST(WinSockets, ARefusedConnectIsReportedAsConnectWith10061AndClosingTakesBackItsMessages)
{
    Recorder rec;
    // A port nobody listens on: bind one, note it, close it.
    ws::SOCKET probe = ws::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in any = Loopback(0);
    ws::bind(probe, reinterpret_cast<sockaddr*>(&any), sizeof any);
    const std::uint16_t port = PortOf(probe);
    ws::closesocket(probe);

    ws::SOCKET client = ws::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_EQ(ws::WSAAsyncSelect(client, rec.hwnd, kSocketMsg, ws::FD_CONNECT | ws::FD_CLOSE), 0);
    sockaddr_in to = Loopback(port);
    ws::connect(client, reinterpret_cast<sockaddr*>(&to), sizeof to);
    ASSERT_TRUE(rec.PumpUntil([&] { return rec.Has(kSocketMsg, ws::FD_CONNECT, client); }));
    EXPECT_EQ(rec.ErrorOf(ws::FD_CONNECT, client), static_cast<unsigned>(WSAECONNREFUSED));

    // A notification still queued when the socket is closed never reaches its target.
    rec.seen.clear();
    PostMessage(rec.hwnd, kSocketMsg, static_cast<WPARAM>(client), ws::WSAMAKESELECTREPLY(ws::FD_READ, 0));
    PostMessage(rec.hwnd, kSocketMsg, 12345, ws::WSAMAKESELECTREPLY(ws::FD_READ, 0));
    ws::closesocket(client);
    ProcessPendingMessages();
    ASSERT_EQ(rec.seen.size(), 1u);
    EXPECT_EQ(rec.seen[0].wParam, 12345u);
}

TEST(WinLookups, LocalhostResolvesAsynchronouslyAndADeadTargetGetsNoLookup)
{
    Recorder rec;
    ws::HANDLE request = ws::WSAAsyncGetHostByName(rec.hwnd, kLookupMsg, "localhost");
    ASSERT_NE(request, 0u);
    ASSERT_TRUE(rec.PumpUntil([&] { return !rec.seen.empty(); }));
    EXPECT_EQ(rec.seen[0].wParam, request);
    EXPECT_EQ(ws::WSAGETSELECTERROR(rec.seen[0].lParam), 0u);
    auto entry = ws::WSATakeHostResult(request);
    ASSERT_TRUE(entry.has_value());
    ASSERT_FALSE(entry->addresses.empty());
    EXPECT_EQ(ws::inet_ntoa(entry->addresses[0]), "127.0.0.1");
    EXPECT_FALSE(ws::WSATakeHostResult(request).has_value());  // handed over once

    EXPECT_EQ(ws::WSAAsyncGetHostByName(HWND{999999}, kLookupMsg, "localhost"), 0u);
    EXPECT_EQ(ws::WSAGetLastError(), WSAEINVAL);

    // Cancelled at once: the target never hears of it, and a second cancel is refused.
    Recorder quiet;
    const ws::HANDLE dropped = ws::WSAAsyncGetHostByName(quiet.hwnd, kLookupMsg, "localhost");
    ASSERT_NE(dropped, 0u);
    EXPECT_EQ(ws::WSACancelAsyncRequest(dropped), 0);
    EXPECT_EQ(ws::WSACancelAsyncRequest(dropped), ws::SOCKET_ERROR);
    EXPECT_TRUE(quiet.PumpUntil([] { return ws::PendingLookupCount() == 0; }));
    quiet.PumpUntil([] { return false; }, 300ms);
    EXPECT_TRUE(quiet.seen.empty());
}

// The system's cancel decides: a request it cancelled is over at once (Windows never answers it;
// wine does, into the kept buffer), one it could not cancel counts until its answer. The target
// hears of neither, and a second cancel is refused.
TEST(WinLookups, ACancelledLookupIsOverWhenTheSystemCancelledItElseAtItsAnswer)
{
    for (const int systemCancel : {0, ws::SOCKET_ERROR}) {
        SCOPED_TRACE(systemCancel);
        Recorder rec;
        std::vector<::HANDLE> asked;
        const auto previous = win::SetCancelLookupCall([&](::HANDLE request) {
            asked.push_back(request);
            return systemCancel;
        });
        // A reverse lookup: the one that is still the system's own.
        ws::HANDLE cancelled = ws::WSAAsyncGetHostByAddr(rec.hwnd, kLookupMsg, htonl(INADDR_LOOPBACK));
        ASSERT_NE(cancelled, 0u);
        EXPECT_EQ(ws::WSACancelAsyncRequest(cancelled), 0);
        EXPECT_EQ(ws::WSACancelAsyncRequest(cancelled), ws::SOCKET_ERROR);
        EXPECT_EQ(asked.size(), 1u);
        EXPECT_EQ(ws::PendingLookupCount(), systemCancel == 0 ? 0u : 1u);
        EXPECT_TRUE(rec.PumpUntil([] { return ws::PendingLookupCount() == 0; }));
        rec.PumpUntil([] { return false; }, 300ms);
        EXPECT_TRUE(rec.seen.empty());
        win::SetCancelLookupCall(previous);
    }
}

TEST(WinLoop, MessagesFromAnotherThreadTimersAndQuitKeepTheirOrder)
{
    Recorder rec;
    std::thread poster([&] {
        for (int i = 0; i < 3; ++i)
            PostMessage(rec.hwnd, WM_USER + 7, static_cast<WPARAM>(i), 0);
    });
    poster.join();
    ASSERT_TRUE(SetTimer(rec.hwnd, 9, 20));
    PostQuitMessage(4);
    // The quit waits behind every other message, and is left for the outer loop.
    ASSERT_TRUE(rec.PumpUntil([&] { return rec.seen.size() >= 3; }));
    ASSERT_GE(rec.seen.size(), 3u);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(rec.seen[static_cast<std::size_t>(i)].wParam, static_cast<WPARAM>(i));
    EXPECT_TRUE(QuitPending());
    EXPECT_TRUE(QuitPending());  // looking does not take it
    MSG quit;
    ASSERT_TRUE(PeekMessage(quit));
    EXPECT_EQ(quit.message, WM_QUIT);
    EXPECT_EQ(quit.wParam, 4u);
    EXPECT_FALSE(QuitPending());
    ASSERT_TRUE(rec.PumpUntil([&] {
        for (const MSG& m : rec.seen)
            if (m.message == WM_TIMER && m.wParam == 9)
                return true;
        return false;
    }));
    EXPECT_TRUE(KillTimer(rec.hwnd, 9));
    EXPECT_FALSE(KillTimer(rec.hwnd, 9));
    // Destroyed targets take nothing more.
    const HWND gone = rec.hwnd;
    DestroyMessageTarget(gone);
    EXPECT_FALSE(PostMessage(gone, WM_USER, 0, 0));
    rec.hwnd = 0;
}

TEST(WinSingleInstance, ASecondHolderWaitsItsTimeAndGoesOnOnceTheFirstReleases)
{
    SingleInstance first("QuenloTest");
    ASSERT_EQ(first.Acquire(0ms), SingleInstance::Outcome::Acquired);
    SingleInstance::Outcome second = SingleInstance::Outcome::Unprotected;
    std::thread other([&] {
        SingleInstance waiting("QuenloTest");
        second = waiting.Acquire(200ms);
    });
    other.join();
    EXPECT_EQ(second, SingleInstance::Outcome::TimedOut);

    std::thread later([&] {
        SingleInstance waiting("QuenloTest");
        second = waiting.Acquire(10000ms);
    });
    std::this_thread::sleep_for(100ms);
    first.Release();
    later.join();
    EXPECT_EQ(second, SingleInstance::Outcome::Acquired);
}

// The printers file is looked for by the registry value ConfDir, then under APPDATA and
// USERPROFILE with backslashes.
class WinPrintersFileSearch : public ::testing::Test {
protected:
    void SetUp() override
    {
        root_ = fs::temp_directory_path() / ("quenlo-search-" + std::to_string(::GetCurrentProcessId()));
        fs::create_directories(root_ / "appdata" / "Dorvane" / "Quenlo");
        fs::create_directories(root_ / "profile");
        oldAppData_ = Env("APPDATA");
        oldProfile_ = Env("USERPROFILE");
        _putenv_s("APPDATA", (root_ / "appdata").string().c_str());
        _putenv_s("USERPROFILE", (root_ / "profile").string().c_str());
        ::RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Dorvane\\Quenlo");
    }
    void TearDown() override
    {
        ::RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Dorvane\\Quenlo");
        _putenv_s("APPDATA", oldAppData_.c_str());
        _putenv_s("USERPROFILE", oldProfile_.c_str());
        wintest::RemoveTree(root_);
    }
    static std::string Env(const char* name)
    {
        const char* v = std::getenv(name);
        return v ? v : "";
    }
    static void Touch(const fs::path& p) { std::ofstream(p) << "<global>\n"; }
    static void SetConfDir(const std::string& value)
    {
        HKEY key;
        ASSERT_EQ(::RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Dorvane\\Quenlo", 0, nullptr, 0, KEY_WRITE,
                                    nullptr, &key, nullptr), ERROR_SUCCESS);
        ::RegSetValueExA(key, "ConfDir", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                         static_cast<DWORD>(value.size() + 1));
        ::RegCloseKey(key);
    }
    static void SetValue(const wchar_t* name, DWORD type, const std::wstring& data)
    {
        HKEY key;
        ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Dorvane\\Quenlo", 0, nullptr, 0, KEY_WRITE,
                                    nullptr, &key, nullptr), ERROR_SUCCESS);
        ::RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(data.c_str()),
                         static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
        ::RegCloseKey(key);
    }

    fs::path root_;
    std::string oldAppData_, oldProfile_;
};

TEST_F(WinPrintersFileSearch, TheRegistryComesFirstThenAppDataThenTheProfile)
{
    Touch(root_ / "profile" / "printers.qdl");
    EXPECT_EQ(LocatePrintersFile(), (root_ / "profile").string() + "\\");

    Touch(root_ / "appdata" / "Dorvane" / "Quenlo" / "printers.qdl");
    EXPECT_EQ(LocatePrintersFile(), (root_ / "appdata").string() + "\\Dorvane\\Quenlo\\");

    // ConfDir is a raw prefix: without its own backslash it names "<dir>printers.qdl".
    fs::create_directories(root_ / "conf");
    Touch(root_ / "conf" / "printers.qdl");
    SetConfDir((root_ / "conf").string() + "\\");
    auto settings = Settings::OpenUser();
    ASSERT_TRUE(settings.has_value());
    EXPECT_EQ(settings->Text("ConfDir"), (root_ / "conf").string() + "\\");
    EXPECT_EQ(LocatePrintersFile(), (root_ / "conf").string() + "\\");
    SetConfDir((root_ / "conf").string());
    EXPECT_EQ(LocatePrintersFile(), (root_ / "appdata").string() + "\\Dorvane\\Quenlo\\");
}

// What Windows users have that the ANSI calls missed: folders named outside the ANSI code page
// (ő is not in wine's 1252) and deeper than 260 characters, a value name in other letter case, a
// REG_EXPAND_SZ value, and a value longer than 4 KiB.
TEST_F(WinPrintersFileSearch, WidePathsLongPathsAndTheRegistryAsWindowsReadsIt)
{
    const std::wstring conf = (root_ / L"conf \u0151").wstring();
    fs::create_directories(conf);
    std::ofstream(fs::path(conf) / L"printers.qdl") << "<printer>\nname=Wide\nlocalport=-1\n<endprinter>\n";
    ::SetEnvironmentVariableW(L"QUENLO_TEST_CONF", conf.c_str());
    SetValue(L"confdir", REG_EXPAND_SZ, L"%QUENLO_TEST_CONF%\\");
    const std::string confUtf8 = root_.string() + "\\conf \xC5\x91\\";
    auto settings = Settings::OpenUser();
    ASSERT_TRUE(settings.has_value());
    EXPECT_EQ(settings->Text("ConfDir"), confUtf8);
    ASSERT_EQ(LocatePrintersFile(), confUtf8);
    PrinterList printers;
    ProxySettings proxy;
    ASSERT_TRUE(ReadPrintersFile(confUtf8, printers, proxy, nullptr));
    ASSERT_EQ(printers.size(), 1u);
    EXPECT_EQ(printers[0].name, "Wide");

    ::RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Dorvane\\Quenlo");
    const std::wstring longData(5000, L'x');
    SetValue(L"Long", REG_SZ, longData);
    EXPECT_EQ(Settings::OpenUser()->Text("Long"), std::string(5000, 'x'));

    const fs::path deep = wintest::MakeDeepFolder(root_ / L"appdata \u0151", 300);
    ::CreateDirectoryW(wintest::LongForm(deep / L"Dorvane").c_str(), nullptr);
    ::CreateDirectoryW(wintest::LongForm(deep / L"Dorvane" / L"Quenlo").c_str(), nullptr);
    std::ofstream(fs::path(wintest::LongForm(deep / L"Dorvane" / L"Quenlo" / L"printers.qdl"))) << "<global>\n";
    ::SetEnvironmentVariableW(L"APPDATA", deep.c_str());
    const std::optional<std::string> located = LocatePrintersFile();
    ASSERT_TRUE(located.has_value());
    EXPECT_EQ(fs::path(std::u8string(located->begin(), located->end())).wstring(),
              (deep / L"Dorvane" / L"Quenlo").wstring() + L"\\");
    EXPECT_TRUE(ReadPrintersFile(*located, printers, proxy, nullptr));
}

}  // namespace
}  // namespace quenlo::platform
