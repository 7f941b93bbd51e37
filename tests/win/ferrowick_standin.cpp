// A stand-in for the gateway program: writes the command line it was given to the file named by
// QUENLO_GATEWAY_LOG (one line per start), then runs until it is terminated (at most a minute).
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main()
{
    if (const char* log = std::getenv("QUENLO_GATEWAY_LOG")) {
        if (FILE* f = std::fopen(log, "a")) {
            std::fprintf(f, "%lu %s\n", ::GetCurrentProcessId(), ::GetCommandLineA());
            std::fclose(f);
        }
    }
    ::Sleep(60000);
    return 3;  // an exit code TerminateProcess never gives
}
