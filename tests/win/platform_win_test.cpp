// What only the Windows platform layer has, under wine: the system's cancel of a lookup, and the
// registry and folder rules for the printers file. What both systems share is in the platform
// suite (tests/platform/), which runs here too.
#include "config/PrintersFile.h"
#include "platform/Settings.h"
#include "platform/Winsock.h"
#include "platform/win/Win32.h"
#include "platform/loop_fixture.h"
#include "win/deep_folders.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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

// The system's cancel decides: a request it cancelled is over at once (Windows never answers it;
// wine does, into the kept buffer), one it could not cancel counts until its answer. The target
// hears of neither, and a second cancel is refused.
using WinLookups = test::LoopTest;

TEST_F(WinLookups, ACancelledLookupIsOverWhenTheSystemCancelledItElseAtItsAnswer)
{
    for (const int systemCancel : {0, ws::SOCKET_ERROR}) {
        SCOPED_TRACE(systemCancel);
        test::RecordingTarget rec;
        std::vector<::HANDLE> asked;
        const auto previous = win::SetCancelLookupCall([&](::HANDLE request) {
            asked.push_back(request);
            return systemCancel;
        });
        // A reverse lookup: the one that is still the system's own.
        ws::HANDLE cancelled = ws::WSAAsyncGetHostByAddr(rec.hwnd, WM_USER + 1, htonl(INADDR_LOOPBACK));
        ASSERT_NE(cancelled, 0u);
        EXPECT_EQ(ws::WSACancelAsyncRequest(cancelled), 0);
        EXPECT_EQ(ws::WSACancelAsyncRequest(cancelled), ws::SOCKET_ERROR);
        EXPECT_EQ(asked.size(), 1u);
        EXPECT_EQ(ws::PendingLookupCount(), systemCancel == 0 ? 0u : 1u);
        EXPECT_TRUE(test::runUntil([] { return ws::PendingLookupCount() == 0; }, 30s));
        test::runFor(300ms);
        EXPECT_TRUE(rec.got.empty());
        win::SetCancelLookupCall(previous);
    }
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
