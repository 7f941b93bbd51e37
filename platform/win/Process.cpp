// Child processes on Windows: CreateProcessA with the quoted command line, TerminateProcess.
#include "platform/Process.h"

#include <windows.h>

namespace quenlo::platform {

ProcessHandle StartProcess(const std::string& program, const std::vector<std::string>& argv, int* error)
{
    std::string commandLine = QuotedCommandLine(argv);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION info{};
    // The program path is the application name, so no search path is used; handles are not
    // inherited; our environment and current directory.
    if (!::CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                          NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup, &info)) {
        if (error)
            *error = static_cast<int>(::GetLastError());
        return {};
    }
    ::CloseHandle(info.hThread);
    ProcessHandle handle;
    handle.pid = static_cast<pid_t>(info.dwProcessId);
    handle.native = reinterpret_cast<std::uintptr_t>(info.hProcess);
    return handle;
}

void TerminateProcess(ProcessHandle& handle)
{
    if (!handle.valid())
        return;
    auto process = reinterpret_cast<::HANDLE>(handle.native);
    ::TerminateProcess(process, 0);
    ::CloseHandle(process);
    handle = {};
}

std::string ExecutableDir()
{
    char path[MAX_PATH + 1];
    const DWORD n = ::GetModuleFileNameA(nullptr, path, sizeof path);
    if (n == 0 || n >= sizeof path)
        return {};
    std::string full(path, n);
    const std::size_t slash = full.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : full.substr(0, slash + 1);
}

}  // namespace quenlo::platform
