// What only Windows has for the gateways: a program folder named outside the ANSI code page,
// holding a space and deeper than 260 characters, and a printers file saved as UTF-16 in another
// such folder. The gateway starts from there (its path reaches CreateProcessW whole and quoted)
// and gets the file's texts as its UTF-8 copy would give them. The rest of the gateways' cases:
// tests/config/gateways_test.cpp, built for both systems.
#include "config/Gateways.h"
#include "config/PrintersFile.h"
#include "platform/Process.h"
#include "win/deep_folders.h"

#include <gtest/gtest.h>

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

TEST(WinGateways, AGatewayInADeepFolderWithAWideNameGetsTheTextsOfAUtf16File)
{
    const fs::path top = fs::temp_directory_path() / (L"quenlo \u0151-" + std::to_wstring(::GetCurrentProcessId()));
    const fs::path dir = wintest::MakeDeepFolder(top, 300);
    ASSERT_TRUE(::CopyFileW((fs::path(platform::ExecutableDir()) / kGatewayProgram).c_str(),
                            wintest::LongForm(dir / kGatewayProgram).c_str(), FALSE));
    const fs::path log = fs::temp_directory_path() / ("quenlo-gw-wide-" + std::to_string(::GetCurrentProcessId()));
    fs::remove(log);
    _putenv_s("QUENLO_FAKE_GATEWAY_LOG", log.string().c_str());

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
    EXPECT_NE(lines.find("\t" + utf8(top) + "printers.qdl\t\xC5\x91\n"), std::string::npos) << lines;
    StopGateways(printers);
    fs::remove(log);
    for (int i = 0; i < 100 && fs::exists(wintest::LongForm(top)); ++i) {  // until the gateway let go
        wintest::RemoveTree(top);
        std::this_thread::sleep_for(100ms);
    }
}

}  // namespace
}  // namespace quenlo
