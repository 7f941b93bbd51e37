// Stands in for the gateway program "Ferrowick.exe" in the window's tests: appends
//   start <TAB> pid <TAB> current directory <TAB> arg1 <TAB> arg2 ... <LF>
// to the file named by QUENLO_FAKE_GATEWAY_LOG, keeps running, and on SIGTERM appends
//   term <TAB> pid <LF>
// and ends with exit code 0. With QUENLO_FAKE_GATEWAY_EXIT set it ends on its own right after the
// start line, as a gateway that fails early does.
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

int logFd = -1;
char termLine[64];
std::size_t termLength = 0;

void OnTerm(int) {
    if (logFd >= 0)
        (void)!::write(logFd, termLine, termLength);
    ::_exit(0);
}

}  // namespace

int main(int argc, char** argv) {
    const char* path = std::getenv("QUENLO_FAKE_GATEWAY_LOG");
    if (!path)
        return 2;
    logFd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (logFd < 0)
        return 2;
    const std::string pid = std::to_string(::getpid());
    const std::string term = "term\t" + pid + "\n";
    termLength = term.copy(termLine, sizeof termLine);

    struct sigaction action {};
    action.sa_handler = OnTerm;
    ::sigaction(SIGTERM, &action, nullptr);

    char cwd[4096] = {};
    std::string line = "start\t" + pid + "\t" + (::getcwd(cwd, sizeof cwd) ? cwd : "?");
    for (int i = 1; i < argc; ++i)
        line += std::string("\t") + argv[i];
    line += "\n";
    (void)!::write(logFd, line.data(), line.size());
    if (std::getenv("QUENLO_FAKE_GATEWAY_EXIT"))
        return 0;
    for (;;)
        ::pause();
}
