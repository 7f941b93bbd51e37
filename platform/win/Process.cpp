// Child processes on Windows: CreateProcessW with the quoted command line, TerminateProcess.
#include "platform/Process.h"

#include "platform/Path.h"

#include <windows.h>
#include <shellapi.h>

namespace quenlo::platform {

namespace {

// The program's path as CreateProcessW takes it: a path of MAX_PATH characters or more is refused
// even in its long form, so such a path goes in its short (8.3) form where the volume keeps one.
std::wstring ProgramPath(const std::string& program)
{
    const std::wstring path = WidePath(program);
    if (!path.starts_with(L"\\\\?\\"))
        return path;
    std::wstring shortPath(path.size() + 1, L'\0');
    const DWORD n = ::GetShortPathNameW(path.c_str(), shortPath.data(), static_cast<DWORD>(shortPath.size()));
    if (n == 0 || n >= shortPath.size())
        return path;
    shortPath.resize(n);
    if (shortPath.starts_with(L"\\\\?\\UNC\\"))
        shortPath.replace(0, 8, L"\\\\");
    else if (shortPath.starts_with(L"\\\\?\\"))
        shortPath.erase(0, 4);
    return shortPath.size() < MAX_PATH ? shortPath : path;
}

}  // namespace

ProcessHandle StartProcess(const std::string& program, const std::vector<std::string>& argv, int* error)
{
    std::wstring commandLine = WideFromUtf8(QuotedCommandLine(argv));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION info{};
    // The program path is the application name, so no search path is used; handles are not
    // inherited; our environment and current directory.
    if (!::CreateProcessW(ProgramPath(program).c_str(), commandLine.data(), nullptr, nullptr, FALSE,
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
    // The buffer grows until the whole path fits: a program deep in a folder tree has a path of
    // more than MAX_PATH characters.
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0)
            return {};
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        if (path.size() >= 0x8000)
            return {};
        path.resize(path.size() * 2);
    }
    std::string full = Utf8FromWide(path);
    if (full.starts_with("\\\\?\\") && full.size() > 6 && full[5] == ':')
        full.erase(0, 4);  // the long form is added again where a path is used
    const std::size_t slash = full.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : full.substr(0, slash + 1);
}

std::vector<std::string> ProgramArguments(int argc, char** argv, int first)
{
    std::vector<std::string> args;
    int count = 0;
    wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    for (int i = first; i < argc; ++i)
        args.push_back(wide && count == argc ? Utf8FromWide(wide[i]) : std::string(argv[i]));
    if (wide)
        ::LocalFree(wide);
    return args;
}

}  // namespace quenlo::platform
