// Gateways on Windows: CreateProcessW of ExeDir + "Ferrowick.exe" (a stand-in built beside this
// test) with the quoted command line, and TerminateProcess at the end.
#include "config/Gateways.h"
#include "config/PrintersFile.h"
#include "platform/Process.h"
#include "win/deep_folders.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <windows.h>

namespace quenlo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string ReadAll(const fs::path& p)
{
    std::ifstream in(p);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(WinGateways, TwoPrintersStartTwoQuotedGatewaysThatAreTerminatedWithExitCodeZero)
{
    const std::string exeDir = platform::ExecutableDir();
    ASSERT_FALSE(exeDir.empty());
    ASSERT_EQ(exeDir.back(), '\\');
    const fs::path log = fs::temp_directory_path() / ("quenlo-gw-" + std::to_string(::GetCurrentProcessId()));
    fs::remove(log);
    _putenv_s("QUENLO_GATEWAY_LOG", log.string().c_str());

    PrinterList printers(2);
    printers[0].name = "Office Laser";
    printers[1].name = "Basement";
    for (TAList& entry : printers)
        StartGateway(entry, exeDir, "C:\\Data\\");
    ASSERT_EQ(printers[0].GatewayState, 0);
    ASSERT_EQ(printers[1].GatewayState, 0);

    // Each start writes one line; wait for both (bounded, generous: a new process under wine on a
    // loaded machine may take seconds).
    std::string lines = ReadAll(log);
    for (int i = 0; i < 1200 && std::count(lines.begin(), lines.end(), '\n') < 2; ++i) {
        std::this_thread::sleep_for(50ms);
        lines = ReadAll(log);
    }
    EXPECT_NE(lines.find("\"" + exeDir + "Ferrowick.exe\" \"C:\\Data\\printers.qdl\" \"Office Laser\""),
              std::string::npos) << lines;
    EXPECT_NE(lines.find("\"C:\\Data\\printers.qdl\" \"Basement\""), std::string::npos) << lines;

    // Watch the processes from outside, then stop them the program's way.
    HANDLE watch[2];
    for (int i = 0; i < 2; ++i) {
        watch[i] = ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                 static_cast<DWORD>(printers[static_cast<std::size_t>(i)].GatewayProcess.pid));
        ASSERT_NE(watch[i], nullptr);
    }
    StopGateways(printers);
    EXPECT_FALSE(printers[0].GatewayProcess.valid());
    for (HANDLE h : watch) {
        EXPECT_EQ(::WaitForSingleObject(h, 60000), WAIT_OBJECT_0);
        DWORD code = 99;
        ::GetExitCodeProcess(h, &code);
        EXPECT_EQ(code, 0u);
        ::CloseHandle(h);
    }
    StopGateways(printers);  // twice is harmless
    fs::remove(log);
}

// A program folder named outside the ANSI code page and deeper than 260 characters, and a printers
// file saved as UTF-16 in another such folder: the gateway starts from there and gets the file's
// texts as its UTF-8 copy would give them.
TEST(WinGateways, AGatewayInADeepFolderWithAWideNameGetsTheTextsOfAUtf16File)
{
    const fs::path top = fs::temp_directory_path() / (L"quenlo-\u0151-" + std::to_wstring(::GetCurrentProcessId()));
    const fs::path dir = wintest::MakeDeepFolder(top, 300);
    ASSERT_TRUE(::CopyFileW((fs::path(platform::ExecutableDir()) / "Ferrowick.exe").c_str(),
                            wintest::LongForm(dir / L"Ferrowick.exe").c_str(), FALSE));
    const fs::path log = fs::temp_directory_path() / ("quenlo-gw-wide-" + std::to_string(::GetCurrentProcessId()));
    fs::remove(log);
    _putenv_s("QUENLO_GATEWAY_LOG", log.string().c_str());

    std::string utf16 = "\xFF\xFE";  // Notepad's "Unicode"
    for (char16_t u : std::u16string_view(u"<printer>\r\nname=\u0151\r\n<endprinter>\r\n"))
        utf16 += std::string{static_cast<char>(u & 0xFF), static_cast<char>(u >> 8)};
    std::ofstream(top / L"printers.qdl", std::ios::binary) << utf16;
    auto utf8 = [](const fs::path& p) {
        const std::u8string text = p.u8string() + u8"\\";
        return std::string(text.begin(), text.end());
    };
    const std::string exeDir = utf8(dir);
    PrinterList printers;
    ProxySettings proxy;
    ASSERT_TRUE(ReadPrintersFile(utf8(top), printers, proxy,
                                 [&](TAList& entry, const std::string& at) { StartGateway(entry, exeDir, at); }));
    ASSERT_EQ(printers.size(), 1u);
    ASSERT_EQ(printers[0].GatewayState, 0);
    std::string lines = ReadAll(log);
    for (int i = 0; i < 1200 && lines.find('\n') == std::string::npos; ++i) {
        std::this_thread::sleep_for(50ms);
        lines = ReadAll(log);
    }
    EXPECT_NE(lines.find("\"" + exeDir + "Ferrowick.exe\" \"" + utf8(top) + "printers.qdl\" \"\xC5\x91\""), std::string::npos)
        << lines;
    StopGateways(printers);
    fs::remove(log);
    for (int i = 0; i < 100 && fs::exists(wintest::LongForm(top)); ++i) {  // until the gateway let go
        wintest::RemoveTree(top);
        std::this_thread::sleep_for(100ms);
    }
}

TEST(WinGateways, AMissingGatewayProgramMarksTheEntryAndHoldsNothing)
{
    TAList entry;
    entry.name = "Laser";
    StartGateway(entry, "C:\\nowhere-quenlo\\", "");
    EXPECT_EQ(entry.GatewayState, -1);
    EXPECT_FALSE(entry.GatewayProcess.valid());
}

}  // namespace
}  // namespace quenlo
