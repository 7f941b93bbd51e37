// Child processes started and stopped by the program, and the program's own location.
//
// A started process is held as a ProcessHandle (its process id). The program never waits for a
// child to start or to end: a background thread reaps each child as soon as it ends, whether it
// ends on its own or after TerminateProcess, so no zombie is left behind and the caller goes on at
// once. TerminateProcess never signals a process that is not (or no longer) our running child,
// even when the child ended and its id was given to another process.
// On Windows the handle also holds the process handle of CreateProcessW, and TerminateProcess is
// the system call of that name with exit code 0, followed by CloseHandle.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace quenlo::platform {

// A started child process; pid 0 is "none".
struct ProcessHandle {
    pid_t pid = 0;
    std::uintptr_t native = 0;  // Windows: the process handle; unused on Linux
    bool valid() const { return pid > 0; }
};

// Starts `program` (an absolute or relative path, used as given: no search path, no shell) with
// `argv` as its argument vector (argv[0] included), the program's own environment and current
// directory, default signal handling and no inherited descriptors other than standard input, output
// and error. Returns the handle, or an invalid handle (and `error`, when given, set to the errno)
// when the program cannot be started, e.g. because it does not exist or is not executable.
ProcessHandle StartProcess(const std::string& program, const std::vector<std::string>& argv,
                           int* error = nullptr);

// Asks the child to end (SIGTERM), unless it has already ended; it is reaped in the background.
// Does not wait. The handle is reset to "none". Does nothing for an invalid handle, a handle that
// StartProcess did not return, or one that was terminated already.
void TerminateProcess(ProcessHandle& handle);

// On Windows the process is started by CreateProcessW with the command line of QuotedCommandLine
// (paths and texts are UTF-8; see platform/Path.h): the program sees exactly the pieces of argv when
// none contains a double quote.
std::string QuotedCommandLine(const std::vector<std::string>& argv);

// The directory of the running executable, with a trailing "/" (a backslash on Windows); empty
// when it cannot be found.
std::string ExecutableDir();

// The program's command-line arguments from argv[first] on, as UTF-8 (paths among them too). On
// Windows they come from the system's wide command line, since argv holds them in the ANSI code
// page; argv is used when the two do not agree in number.
std::vector<std::string> ProgramArguments(int argc, char** argv, int first);

}  // namespace quenlo::platform
