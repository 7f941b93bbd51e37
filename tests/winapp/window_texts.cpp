// quenlo-window-texts.exe: what a running quenlo.exe shows, read from outside as a screen reader
// would, for the desktop test under wine (scripts/wine-window.sh). Prints UTF-8 lines, fields
// separated by tabs:
//   window  X Y W H visible iconic TITLE          the main window, screen coordinates
//   control CLASS X Y W H TEXT                    each child in stacking order
//   column  INDEX TEXT                            the job list's column captions
//   row     INDEX SELECTED X Y CELL...            the job list's rows, X Y the row's centre on screen
//   box     X Y W H TITLE TEXT                    an open message box of the program
//   tip     X Y W H TEXT                          a hint or balloon on the screen, whoever shows it
//                                                 (the tray's tip and balloons are the shell's)
//   icons   COUNT                                 with "icons FILE": the icons the file carries
// With "close" it asks the window to close instead, as its close button does. Exit 1 when the
// window is not there.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string Utf8(const std::wstring& w) {
    if (w.empty())
        return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), out.data(), n, nullptr, nullptr);
    // One line per record: line breaks inside a text are shown as "\r" / "\n".
    std::string flat;
    for (char c : out)
        flat += c == '\r' ? std::string("\\r") : c == '\n' ? std::string("\\n") : std::string(1, c);
    return flat;
}

std::wstring TextOf(HWND w) {
    wchar_t buf[1024] = {};
    SendMessageTimeoutW(w, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(buf), SMTO_ABORTIFHUNG, 2000, nullptr);
    return buf;
}

std::wstring ClassOf(HWND w) {
    wchar_t buf[256] = {};
    GetClassNameW(w, buf, 256);
    return buf;
}

// Memory in the window's process: the list view's messages carry pointers that are read there.
class RemoteBuffer {
public:
    RemoteBuffer(HWND owner, std::size_t size) : size_(size) {
        DWORD pid = 0;
        GetWindowThreadProcessId(owner, &pid);
        process_ = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
        if (process_)
            at_ = VirtualAllocEx(process_, nullptr, size, MEM_COMMIT, PAGE_READWRITE);
    }
    ~RemoteBuffer() {
        if (at_)
            VirtualFreeEx(process_, at_, 0, MEM_RELEASE);
        if (process_)
            CloseHandle(process_);
    }
    RemoteBuffer(const RemoteBuffer&) = delete;
    RemoteBuffer& operator=(const RemoteBuffer&) = delete;
    bool Ok() const { return at_ != nullptr; }
    char* At() const { return static_cast<char*>(at_); }
    void Write(std::size_t offset, const void* data, std::size_t n) {
        WriteProcessMemory(process_, At() + offset, data, n, nullptr);
    }
    void Read(std::size_t offset, void* data, std::size_t n) const {
        ReadProcessMemory(process_, At() + offset, data, n, nullptr);
    }

private:
    std::size_t size_;
    HANDLE process_ = nullptr;
    void* at_ = nullptr;
};

constexpr std::size_t kTextAt = 256;
constexpr int kTextChars = 512;

// The text of one cell (item, subitem), or of a column's caption when item is negative.
std::wstring ListText(HWND list, RemoteBuffer& remote, int item, int sub) {
    wchar_t* remoteText = reinterpret_cast<wchar_t*>(remote.At() + kTextAt);
    wchar_t empty[kTextChars] = {};
    remote.Write(kTextAt, empty, sizeof empty);
    if (item < 0) {
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT;
        column.pszText = remoteText;
        column.cchTextMax = kTextChars;
        remote.Write(0, &column, sizeof column);
        SendMessageTimeoutW(list, LVM_GETCOLUMNW, static_cast<WPARAM>(sub), reinterpret_cast<LPARAM>(remote.At()),
                            SMTO_ABORTIFHUNG, 2000, nullptr);
    } else {
        LVITEMW cell{};
        cell.iSubItem = sub;
        cell.pszText = remoteText;
        cell.cchTextMax = kTextChars;
        remote.Write(0, &cell, sizeof cell);
        SendMessageTimeoutW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(item), reinterpret_cast<LPARAM>(remote.At()),
                            SMTO_ABORTIFHUNG, 2000, nullptr);
    }
    wchar_t text[kTextChars] = {};
    remote.Read(kTextAt, text, sizeof text - sizeof(wchar_t));
    return text;
}

LRESULT Send(HWND w, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
    DWORD_PTR result = 0;
    SendMessageTimeoutW(w, message, wParam, lParam, SMTO_ABORTIFHUNG, 2000, &result);
    return static_cast<LRESULT>(result);
}

void PrintList(HWND list) {
    RemoteBuffer remote(list, kTextAt + kTextChars * sizeof(wchar_t));
    if (!remote.Ok())
        return;
    HWND header = reinterpret_cast<HWND>(Send(list, LVM_GETHEADER));
    const int columns = header ? static_cast<int>(Send(header, HDM_GETITEMCOUNT)) : 0;
    for (int c = 0; c < columns; ++c)
        std::printf("column\t%d\t%s\n", c, Utf8(ListText(list, remote, -1, c)).c_str());
    const int rows = static_cast<int>(Send(list, LVM_GETITEMCOUNT));
    for (int r = 0; r < rows; ++r) {
        const bool selected = Send(list, LVM_GETITEMSTATE, static_cast<WPARAM>(r), LVIS_SELECTED) & LVIS_SELECTED;
        RECT bounds{LVIR_BOUNDS, 0, 0, 0};
        remote.Write(0, &bounds, sizeof bounds);
        Send(list, LVM_GETITEMRECT, static_cast<WPARAM>(r), reinterpret_cast<LPARAM>(remote.At()));
        remote.Read(0, &bounds, sizeof bounds);
        POINT centre{(bounds.left + bounds.right) / 2, (bounds.top + bounds.bottom) / 2};
        ClientToScreen(list, &centre);
        std::printf("row\t%d\t%d\t%ld\t%ld", r, selected ? 1 : 0, centre.x, centre.y);
        for (int c = 0; c < columns; ++c)
            std::printf("\t%s", Utf8(ListText(list, remote, r, c)).c_str());
        std::printf("\n");
    }
}

BOOL CALLBACK PrintControl(HWND child, LPARAM) {
    if (GetParent(child) != GetAncestor(child, GA_ROOT) || GetParent(child) == nullptr)
        return TRUE;  // only the window's own controls, not the parts inside them
    RECT r{};
    GetWindowRect(child, &r);
    const std::wstring cls = ClassOf(child);
    std::printf("control\t%s\t%ld\t%ld\t%ld\t%ld\t%s\n", Utf8(cls).c_str(), r.left, r.top, r.right - r.left,
                r.bottom - r.top, Utf8(TextOf(child)).c_str());
    if (cls == WC_LISTVIEWW)
        PrintList(child);
    return TRUE;
}

// The program's message boxes: dialogs captioned "Quenlo" in the same process as the window.
struct BoxSearch {
    DWORD pid;
};

BOOL CALLBACK PrintBoxText(HWND child, LPARAM) {
    if (ClassOf(child) == L"Static" || ClassOf(child) == L"STATIC") {
        const std::wstring text = TextOf(child);
        if (!text.empty())
            std::printf("\t%s", Utf8(text).c_str());
    }
    return TRUE;
}

BOOL CALLBACK PrintBox(HWND top, LPARAM param) {
    DWORD pid = 0;
    GetWindowThreadProcessId(top, &pid);
    if (pid != reinterpret_cast<BoxSearch*>(param)->pid || ClassOf(top) != L"#32770" || !IsWindowVisible(top))
        return TRUE;
    RECT r{};
    GetWindowRect(top, &r);
    std::printf("box\t%ld\t%ld\t%ld\t%ld\t%s", r.left, r.top, r.right - r.left, r.bottom - r.top,
                Utf8(TextOf(top)).c_str());
    EnumChildWindows(top, PrintBoxText, 0);
    std::printf("\n");
    return TRUE;
}

BOOL CALLBACK PrintTip(HWND top, LPARAM) {
    if (ClassOf(top) != TOOLTIPS_CLASSW || !IsWindowVisible(top))
        return TRUE;
    RECT r{};
    GetWindowRect(top, &r);
    // A hint control answers WM_GETTEXT with the text it shows.
    std::printf("tip\t%ld\t%ld\t%ld\t%ld\t%s\n", r.left, r.top, r.right - r.left, r.bottom - r.top,
                Utf8(TextOf(top)).c_str());
    return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 3 && std::wstring(argv[1]) == L"icons") {
        std::printf("icons\t%u\n", ExtractIconExW(argv[2], -1, nullptr, nullptr, 0));
        return 0;
    }
    HWND form = FindWindowW(L"QuenloForm1", nullptr);
    if (!form)
        return 1;
    if (argc == 2 && std::wstring(argv[1]) == L"close")
        return PostMessageW(form, WM_CLOSE, 0, 0) ? 0 : 1;
    RECT r{};
    GetWindowRect(form, &r);
    std::printf("window\t%ld\t%ld\t%ld\t%ld\t%d\t%d\t%s\n", r.left, r.top, r.right - r.left, r.bottom - r.top,
                IsWindowVisible(form) ? 1 : 0, IsIconic(form) ? 1 : 0, Utf8(TextOf(form)).c_str());
    EnumChildWindows(form, PrintControl, 0);
    BoxSearch search{0};
    GetWindowThreadProcessId(form, &search.pid);
    EnumWindows(PrintBox, reinterpret_cast<LPARAM>(&search));
    EnumWindows(PrintTip, 0);
    return 0;
}
