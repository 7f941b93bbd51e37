// A stand-in for a system DLL planted beside a program (built as wsock32.dll, COMCTL32.dll,
// secur32.dll and crypt32.dll): when loaded it leaves "<its path>.loaded" beside itself, so a test
// sees that it was. It exports what quenlo.exe takes from COMCTL32.dll, so the program would start
// with it.
#include <windows.h>

#include <string>

extern "C" __declspec(dllexport) BOOL WINAPI InitCommonControlsEx(const void*) { return TRUE; }

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        wchar_t path[MAX_PATH] = {};
        ::GetModuleFileNameW(instance, path, MAX_PATH);
        const HANDLE mark = ::CreateFileW((std::wstring(path) + L".loaded").c_str(), GENERIC_WRITE, 0, nullptr,
                                          CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (mark != INVALID_HANDLE_VALUE)
            ::CloseHandle(mark);
    }
    return TRUE;
}
