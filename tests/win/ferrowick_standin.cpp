// A stand-in for the gateway program: writes the command line it was given (as UTF-8) to the file
// named by QUENLO_GATEWAY_LOG (one line per start), then runs until it is terminated (at most a
// minute).
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main()
{
    if (const char* log = std::getenv("QUENLO_GATEWAY_LOG")) {
        if (FILE* f = std::fopen(log, "a")) {
            const wchar_t* line = ::GetCommandLineW();
            char utf8[8192] = {};
            ::WideCharToMultiByte(CP_UTF8, 0, line, -1, utf8, sizeof utf8 - 1, nullptr, nullptr);
            std::fprintf(f, "%lu %s\n", ::GetCurrentProcessId(), utf8);
            std::fclose(f);
        }
    }
    ::Sleep(60000);
    return 3;  // an exit code TerminateProcess never gives
}
