// A stand-in for the gateway program: appends "start <TAB> pid <TAB> cwd <TAB> arg1 <TAB> arg2 ..."
// (as UTF-8, the arguments as the program's own command line splits them) to the file named by
// QUENLO_FAKE_GATEWAY_LOG, as the Linux stand-in in tests/config/gateways_test.cpp does, then runs
// until it is terminated (at most a minute).
#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string Utf8(const wchar_t* text)
{
    char utf8[8192] = {};
    ::WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8 - 1, nullptr, nullptr);
    return utf8;
}

}  // namespace

int main()
{
    if (const char* log = std::getenv("QUENLO_FAKE_GATEWAY_LOG")) {
        wchar_t cwd[4096] = {};
        ::GetCurrentDirectoryW(4095, cwd);
        std::string line = "start\t" + std::to_string(::GetCurrentProcessId()) + "\t" + Utf8(cwd);
        int argc = 0;
        wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
        for (int i = 1; argv && i < argc; ++i)
            line += "\t" + Utf8(argv[i]);
        if (FILE* f = std::fopen(log, "a")) {
            std::fprintf(f, "%s\n", line.c_str());
            std::fclose(f);
        }
    }
    ::Sleep(60000);
    return 3;  // an exit code TerminateProcess never gives
}
