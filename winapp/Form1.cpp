#include "winapp/Form1.h"

#include "monitor/DisplayText.h"
#include "monitor/QueueAdmin.h"
#include "winapp/DialogTemplate.h"
#include "winapp/PasswordDialog.h"
#include "winapp/Resources.h"
#include "winapp/WideText.h"

#include <commctrl.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdint>
#include <tuple>

namespace quenlo::winapp {

namespace {

const wchar_t kClassName[] = L"QuenloForm1";

constexpr COLORREF kTextColour = RGB(form::kTextRgb[0], form::kTextRgb[1], form::kTextRgb[2]);

constexpr UINT kTrayIconId = 1;
constexpr UINT kTrayCallback = WM_USER;
constexpr UINT_PTR kTimerMinimize = 1;
constexpr UINT kBalloonMs = 10000;
// Posted when the window became minimised: hiding it inside the size change itself would be undone
// by whoever is still minimising it.
constexpr UINT kMinimized = WM_APP + 1;
// Posted by a double click or Enter on an overview row (wParam: the row's file index): the printer
// is opened after the list view's own handling, since opening it swaps the list view's columns.
constexpr UINT kOpenRow = WM_APP + 2;
constexpr UINT_PTR kListViewSubclass = 1;
// Posted with a control that was replaced (wParam) inside a handler that may be its own.
constexpr UINT kDropControl = WM_APP + 3;

constexpr int kIconSize = 32;

RECT ToRect(const form::Rect& r) { return {r.x, r.y, r.Right(), r.Bottom()}; }
RECT DesignRect(const form::Control& control) { return ToRect(control.rect); }

// The selector in a client area of that size, with its open list: the field and ten items.
RECT SelectorRect(int clientWidth, int clientHeight) {
    RECT r = ToRect(form::Anchored(form::kComboBoxPrinterlist, clientWidth, clientHeight));
    r.bottom += form::kSelectorVisibleItems * form::kLabelHeight + 2;
    return r;
}

constexpr DWORD kStyle = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;
constexpr DWORD kExStyle = WS_EX_TOPMOST;

HINSTANCE Instance() { return GetModuleHandleW(nullptr); }

// The outer size of a window whose client area is width x height.
SIZE OuterSize(int width, int height) {
    RECT r{0, 0, width, height};
    AdjustWindowRectEx(&r, kStyle, FALSE, kExStyle);
    return {r.right - r.left, r.bottom - r.top};
}

// A picture carried as PNG data in the resources, as an icon of its own size.
HICON PictureIcon(int id, int size) {
    HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(10) /* RT_RCDATA */);
    if (!found)
        return nullptr;
    HGLOBAL loaded = LoadResource(nullptr, found);
    auto* bytes = static_cast<BYTE*>(LockResource(loaded));
    if (!bytes)
        return nullptr;
    return CreateIconFromResourceEx(bytes, SizeofResource(nullptr, found), TRUE, 0x00030000, size, size,
                                    LR_DEFAULTCOLOR);
}

RECT VirtualDesktop() {
    const int x = GetSystemMetrics(SM_XVIRTUALSCREEN);
    const int y = GetSystemMetrics(SM_YVIRTUALSCREEN);
    return {x, y, x + GetSystemMetrics(SM_CXVIRTUALSCREEN), y + GetSystemMetrics(SM_CYVIRTUALSCREEN)};
}

HWND MakeChild(HWND parent, const wchar_t* cls, DWORD style, const RECT& r, const wchar_t* text = L"") {
    return CreateWindowExW(0, cls, text, WS_CHILD | WS_VISIBLE | style, r.left, r.top, r.right - r.left,
                           r.bottom - r.top, parent, nullptr, Instance(), nullptr);
}

void SetGeometry(HWND control, const RECT& r) {
    SetWindowPos(control, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
}

template <std::size_t N>
HMENU MenuOf(const std::array<form::MenuItem, N>& items) {
    HMENU menu = CreatePopupMenu();
    for (const form::MenuItem& item : items)
        AppendMenuW(menu, MF_STRING, item.id, WideForDisplay(item.caption).c_str());
    return menu;
}

// A box asking for a line of text, built in memory: the prompt, an edit field, OK and Cancel.
constexpr WORD kAskPromptId = 100;
constexpr WORD kAskEditId = 101;

struct AskState {
    std::wstring prompt;
    std::wstring answer;
};

std::vector<WORD> AskTemplate() {
    std::vector<WORD> out;
    AppendDialogHeader(out, 4, 240, 78, WideForDisplay(form::kTitle), static_cast<WORD>(form::kFontPoints));
    AppendItem(out, SS_LEFT, 7, 7, 226, 24, kAskPromptId, kStaticAtom, L"");
    AppendItem(out, ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, 7, 34, 226, 12, kAskEditId, kEditAtom, L"");
    AppendItem(out, BS_DEFPUSHBUTTON | WS_TABSTOP, 129, 56, 50, 14, IDOK, kButtonAtom, L"OK");
    AppendItem(out, BS_PUSHBUTTON | WS_TABSTOP, 183, 56, 50, 14, IDCANCEL, kButtonAtom, L"Mégse");
    return out;
}

INT_PTR CALLBACK AskProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* state = reinterpret_cast<AskState*>(GetWindowLongPtrW(dialog, DWLP_USER));
    switch (message) {
    case WM_INITDIALOG:
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        SetDlgItemTextW(dialog, kAskPromptId, reinterpret_cast<AskState*>(lParam)->prompt.c_str());
        SetFocus(GetDlgItem(dialog, kAskEditId));
        return FALSE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK && state) {
            state->answer = ItemText(dialog, kAskEditId);
            EndDialog(dialog, IDOK);
            return TRUE;
        }
        if (LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}

// The 32-bit pixels (alpha in the top byte) of an icon's colour picture, top row first; empty when
// the icon has no such picture of that size.
std::vector<std::uint32_t> IconPixels(HICON icon, int size) {
    ICONINFO info{};
    if (!icon || !GetIconInfo(icon, &info))
        return {};
    std::vector<std::uint32_t> pixels(static_cast<std::size_t>(size) * static_cast<std::size_t>(size));
    BITMAPINFO bi{};
    bi.bmiHeader = {sizeof(BITMAPINFOHEADER), size, -size, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    HDC screen = GetDC(nullptr);
    const int rows = info.hbmColor ? GetDIBits(screen, info.hbmColor, 0, static_cast<UINT>(size), pixels.data(), &bi,
                                               DIB_RGB_COLORS)
                                   : 0;
    ReleaseDC(nullptr, screen);
    for (HBITMAP b : {info.hbmColor, info.hbmMask})
        if (b)
            DeleteObject(b);
    if (rows != size)
        return {};
    return pixels;
}

// `top` over `bottom`, both with straight alpha.
std::uint32_t Over(std::uint32_t top, std::uint32_t bottom) {
    const unsigned ta = top >> 24, ba = bottom >> 24;
    const unsigned oa = ta + ba * (255 - ta) / 255;
    if (oa == 0)
        return 0;
    std::uint32_t out = oa << 24;
    for (int shift : {0, 8, 16}) {
        const unsigned tc = (top >> shift) & 0xFF, bc = (bottom >> shift) & 0xFF;
        out |= ((tc * ta + bc * ba * (255 - ta) / 255) / oa) << shift;
    }
    return out;
}

// The application's icon with the lamp in its bottom-right corner, half the icon's size, as the
// tray shows the watch's state; the plain icon's copy when a picture cannot be read.
HICON IconWithLamp(HICON app, HICON lamp) {
    std::vector<std::uint32_t> pixels = IconPixels(app, kIconSize);
    const std::vector<std::uint32_t> lampPixels = IconPixels(lamp, form::kLampSize);
    if (pixels.empty() || lampPixels.empty())
        return CopyIcon(app);
    const int at = kIconSize - form::kLampSize;
    for (int y = 0; y < form::kLampSize; ++y)
        for (int x = 0; x < form::kLampSize; ++x) {
            std::uint32_t& under = pixels[static_cast<std::size_t>((at + y) * kIconSize + at + x)];
            under = Over(lampPixels[static_cast<std::size_t>(y * form::kLampSize + x)], under);
        }
    BITMAPINFO bi{};
    bi.bmiHeader = {sizeof(BITMAPINFOHEADER), kIconSize, -kIconSize, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HBITMAP colour = CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HBITMAP mask = CreateBitmap(kIconSize, kIconSize, 1, 1, nullptr);
    HICON icon = nullptr;
    if (colour && mask && bits) {
        std::copy(pixels.begin(), pixels.end(), static_cast<std::uint32_t*>(bits));
        ICONINFO info{TRUE, 0, 0, mask, colour};
        icon = CreateIconIndirect(&info);
    }
    for (HBITMAP b : {colour, mask})
        if (b)
            DeleteObject(b);
    return icon ? icon : CopyIcon(app);
}

}  // namespace

TForm1::TForm1(FormInput input, RowInput rows) : input_(std::move(input)), rowInput_(std::move(rows)) {
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);

    appIcon_ = PictureIcon(QUENLO_RES_ICON32, 32);
    appIconSmall_ = PictureIcon(QUENLO_RES_ICON32, 32);
    refreshPicture_ = PictureIcon(QUENLO_RES_REFRESH, 16);
    imageList_ = {PictureIcon(QUENLO_RES_LAMP_GREEN, form::kLampSize),
                  PictureIcon(QUENLO_RES_LAMP_YELLOW, form::kLampSize), PictureIcon(QUENLO_RES_LAMP_RED, form::kLampSize)};
    for (std::size_t i = 0; i < trayLamps_.size(); ++i)
        trayLamps_[i] = IconWithLamp(appIconSmall_, imageList_[i]);
    black_ = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    // "MS Sans Serif", 11 pixels (8 pt at 96 dpi), default character set.
    font_ = CreateFontW(-11, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                        CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS, L"MS Sans Serif");
    taskbarCreated_ = RegisterWindowMessageW(L"TaskbarCreated");

    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = &TForm1::WindowProc;
    wc.hInstance = Instance();
    wc.hIcon = appIcon_;
    wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512) /* IDC_ARROW */);
    wc.hbrBackground = black_;
    wc.lpszClassName = kClassName;
    RegisterClassExW(&wc);  // fails harmlessly when a second window registers it again

    const SIZE outer = OuterSize(form::kClientWidth, form::kClientHeight);
    const RECT desktop = VirtualDesktop();
    const form::Point at = form::BottomRightPlacement(
        {desktop.left, desktop.top, desktop.right - desktop.left, desktop.bottom - desktop.top}, outer.cx, outer.cy);
    hwnd_ = CreateWindowExW(kExStyle, kClassName, WideForDisplay(form::kTitle).c_str(), kStyle, at.x, at.y, outer.cx, outer.cy, nullptr,
                            nullptr, Instance(), this);
    if (!hwnd_)
        return;
    SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(appIcon_));
    SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(appIconSmall_));
    CreateComponents();
    CreateMenus();
    CreateHint();
    RECT client{};
    GetClientRect(hwnd_, &client);
    LayOut(client.right, client.bottom);
}

TForm1::~TForm1() {
    FormDestroy();
    for (const auto& icons : {imageList_, trayLamps_})
        for (HICON icon : icons)
            if (icon)
                DestroyIcon(icon);
    for (HICON icon : {appIcon_, appIconSmall_, refreshPicture_})
        if (icon)
            DestroyIcon(icon);
    if (popupMenu_)
        DestroyMenu(popupMenu_);  // with its submenus
    if (popupMenuPrinter_)
        DestroyMenu(popupMenuPrinter_);
    if (font_)
        DeleteObject(font_);
}

void TForm1::CreateComponents() {
    auto makeLabel = [&](const form::Control& design) {
        // SS_NOTIFY: the label takes the right click that opens the printer menu.
        HWND label = MakeChild(hwnd_, L"STATIC", SS_LEFT | SS_NOPREFIX | SS_NOTIFY, DesignRect(design));
        SendMessageW(label, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
        SetLabelText(label, design.text);
        return label;
    };
    auto makeImage = [&](const form::Control& design) {
        return MakeChild(hwnd_, L"STATIC", SS_OWNERDRAW | SS_NOTIFY, DesignRect(design));
    };

    labelStatus_ = makeLabel(form::kLabelStatus);
    imageStatus_ = makeImage(form::kImageStatus);
    labelComment_ = makeLabel(form::kLabelComment);
    refreshButton_ = MakeChild(hwnd_, L"BUTTON", BS_OWNERDRAW, DesignRect(form::kRefreshButton));
    labelPrinterStatus_ = makeLabel(form::kLabelPrinterStatus);
    imagePrinterStatus_ = makeImage(form::kImagePrinterStatus);

    // The height of a drop-down list is that of its open list.
    comboBoxPrinterlist_ = MakeSelector(0, SelectorRect(form::kClientWidth, form::kClientHeight));

    listView_ = MakeChild(hwnd_, WC_LISTVIEWW, LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | WS_TABSTOP,
                          DesignRect(form::kListView));
    SendMessageW(listView_, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    SendMessageW(listView_, LVM_SETEXTENDEDLISTVIEWSTYLE, 0,
                 LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT | LVS_EX_FLATSB | LVS_EX_UNDERLINEHOT |
                     LVS_EX_ONECLICKACTIVATE);
    SendMessageW(listView_, LVM_SETHOVERTIME, 0, 1);
    SendMessageW(listView_, LVM_SETBKCOLOR, 0, RGB(0, 0, 0));
    SendMessageW(listView_, LVM_SETTEXTBKCOLOR, 0, RGB(0, 0, 0));
    SendMessageW(listView_, LVM_SETTEXTCOLOR, 0, kTextColour);
    overview_ = std::make_unique<OverviewList>(listView_, imageList_);
}

HWND TForm1::MakeSelector(DWORD ownerDraw, const RECT& r) {
    HWND selector = MakeChild(hwnd_, L"COMBOBOX", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP | ownerDraw, r);
    SendMessageW(selector, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    // The closed field is 21 pixels high, as designed, whatever the font makes of it: the field's
    // height is set without the combo box's 3-pixel frame above and below.
    SendMessageW(selector, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), form::kComboBoxPrinterlist.rect.height - 6);
    return selector;
}

void TForm1::CreateMenus() {
    popupMenu_ = MenuOf(form::kJobMenu);
    popupMenuPrinter_ = MenuOf(form::kPrinterMenu);
}

void TForm1::CreateHint() {
    hint_ = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX,
                            CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, hwnd_, nullptr,
                            Instance(), nullptr);
    if (!hint_)
        return;
    static std::wstring text = WideForDisplay(form::kRefreshHint);
    TOOLINFOW tool{};
    // The size every version of the common controls knows.
    tool.cbSize = TTTOOLINFOW_V2_SIZE;
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = hwnd_;
    tool.uId = reinterpret_cast<UINT_PTR>(refreshButton_);
    tool.lpszText = text.data();
    SendMessageW(hint_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    // The printer lamp's hint: the watch's errors and warnings of the printer (empty: none shows).
    tool.uId = reinterpret_cast<UINT_PTR>(imagePrinterStatus_);
    tool.lpszText = lampHint_.data();
    SendMessageW(hint_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    // A hint of several lines.
    SendMessageW(hint_, TTM_SETMAXTIPWIDTH, 0, 600);
}

void TForm1::SetLampHint(const std::string& hint) {
    lampHint_ = WideForDisplay(hint);
    if (!hint_)
        return;
    TOOLINFOW tool{};
    tool.cbSize = TTTOOLINFOW_V2_SIZE;
    tool.hwnd = hwnd_;
    tool.uId = reinterpret_cast<UINT_PTR>(imagePrinterStatus_);
    tool.lpszText = lampHint_.data();
    SendMessageW(hint_, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
}

bool TForm1::OnScreen() const { return hwnd_ && IsWindowVisible(hwnd_) && !IsIconic(hwnd_); }

void TForm1::LayOut(int clientWidth, int clientHeight) {
    // Anchors: the selector and the list keep their right margin, the list its bottom margin and
    // the refresh button its distance from the right edge; everything else stays put.
    // The selector keeps the height of its open list.
    RECT combo{};
    GetWindowRect(comboBoxPrinterlist_, &combo);
    SetWindowPos(comboBoxPrinterlist_, nullptr, 0, 0,
                 form::Anchored(form::kComboBoxPrinterlist, clientWidth, clientHeight).width, combo.bottom - combo.top,
                 SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOMOVE);
    SetGeometry(refreshButton_, ToRect(form::Anchored(form::kRefreshButton, clientWidth, clientHeight)));
    SetGeometry(listView_, ToRect(form::Anchored(form::kListView, clientWidth, clientHeight)));
}

void TForm1::Show() {
    ShowWindow(hwnd_, SW_SHOW);
    UpdateWindow(hwnd_);
    SetTimer(hwnd_, kTimerMinimize, form::kMinimizeAfterMs, nullptr);
}

void TForm1::FormDestroy() {
    if (destroyed_)
        return;
    destroyed_ = true;
    RemoveTrayIcon();
    if (hwnd_)
        DestroyWindow(hwnd_);
}

void TForm1::Run(form::Command command) const {
    if (input_)
        input_(command);
}

// ---------------------------------------------------------------------------------------------
// Window procedure

LRESULT CALLBACK TForm1::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        static_cast<TForm1*>(create->lpCreateParams)->hwnd_ = hwnd;
    }
    auto* form = reinterpret_cast<TForm1*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (!form)
        return DefWindowProcW(hwnd, message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        form->hwnd_ = nullptr;
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
    return form->Handle(message, wParam, lParam);
}

LRESULT TForm1::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_GETMINMAXINFO: {
        const SIZE minimum = OuterSize(form::kClientWidth, form::kClientHeight);
        reinterpret_cast<MINMAXINFO*>(lParam)->ptMinTrackSize = {minimum.cx, minimum.cy};
        return 0;
    }
    case WM_SIZE:
        if (wParam == SIZE_MINIMIZED) {
            if (!minimizing_)
                PostMessageW(hwnd_, kMinimized, 0, 0);
        } else {
            LayOut(LOWORD(lParam), HIWORD(lParam));
        }
        return 0;
    case kMinimized:
        if (IsIconic(hwnd_) && IsWindowVisible(hwnd_)) {
            if (openMessages_ > 0)
                ShowWindow(hwnd_, SW_RESTORE);  // the open box comes back with the window
            else
                ApplicationMinimize();
        }
        return 0;
    case WM_SYSCOMMAND:
        if ((wParam & 0xFFF0) == SC_MINIMIZE && openMessages_ > 0)
            return 0;
        return DefWindowProcW(hwnd_, message, wParam, lParam);
    case WM_TIMER:
        if (wParam == kTimerMinimize)
            TimerMinimizeTimer();
        return 0;
    case kTrayCallback:
        return TrayIconMessage(wParam, lParam);
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORBTN: {
        HDC dc = reinterpret_cast<HDC>(wParam);
        SetTextColor(dc, kTextColour);
        SetBkColor(dc, RGB(0, 0, 0));
        return reinterpret_cast<LRESULT>(black_);
    }
    case WM_DRAWITEM: {
        const auto& item = *reinterpret_cast<DRAWITEMSTRUCT*>(lParam);
        if (item.hwndItem == imageStatus_)
            DrawLamp(item, statusLamp_);
        else if (item.hwndItem == imagePrinterStatus_)
            DrawLamp(item, printerStatusLamp_);
        else if (item.hwndItem == refreshButton_)
            DrawRefreshButton(item);
        else if (item.CtlType == ODT_COMBOBOX)
            DrawSelectorItem(item);
        return TRUE;
    }
    case WM_MEASUREITEM: {
        // The lamp selector's items (asked while it is made, before its handle is known): a lamp
        // high; its closed field as the system selector's.
        auto& item = *reinterpret_cast<MEASUREITEMSTRUCT*>(lParam);
        if (item.CtlType != ODT_COMBOBOX)
            return FALSE;
        item.itemHeight = item.itemID == static_cast<UINT>(-1) ? form::kComboBoxPrinterlist.rect.height - 6
                                                                : form::kLampSize;
        return TRUE;
    }
    case WM_NOTIFY:
        return OnNotify(*reinterpret_cast<const NMHDR*>(lParam), lParam);
    case kDropControl:
        DestroyWindow(reinterpret_cast<HWND>(wParam));
        return 0;
    case kOpenRow:
        if (rowInput_.open && overview_->Shown())
            rowInput_.open(static_cast<std::size_t>(wParam));
        return 0;
    case WM_CONTEXTMENU:
        OnContextMenu(reinterpret_cast<HWND>(wParam), lParam);
        return 0;
    case WM_COMMAND:
        OnCommand(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam));
        return 0;
    case WM_CLOSE:
        // Closing ends the program: the loop ends, the window stays until FormDestroy.
        PostQuitMessage(0);
        return 0;
    default:
        break;
    }
    // The shell started again (explorer restarted): an icon in the tray must be added anew.
    if (message == taskbarCreated_ && taskbarCreated_ != 0 && inTray_) {
        inTray_ = AddTrayIcon();
        return 0;
    }
    return DefWindowProcW(hwnd_, message, wParam, lParam);
}

void TForm1::OnContextMenu(HWND control, LPARAM screenPos) {
    const POINT pointer{static_cast<short>(LOWORD(screenPos)), static_cast<short>(HIWORD(screenPos))};
    if (OverviewRowMenu(control, pointer, screenPos == -1))
        return;
    HMENU menu = nullptr;
    if (control == listView_ || GetParent(control) == listView_)
        menu = popupMenu_;
    else if (control == labelStatus_ || control == imageStatus_ || control == labelComment_ ||
             control == labelPrinterStatus_ || control == imagePrinterStatus_ || control == comboBoxPrinterlist_)
        menu = popupMenuPrinter_;
    if (!menu)
        return;
    POINT at{static_cast<short>(LOWORD(screenPos)), static_cast<short>(HIWORD(screenPos))};
    if (screenPos == -1) {  // from the keyboard: at the control's corner
        RECT r{};
        GetWindowRect(control, &r);
        at = {r.left, r.top};
    }
    FillMoveMenus();
    TrackPopupMenu(menu, TPM_LEFTALIGN | TPM_TOPALIGN | TPM_RIGHTBUTTON, at.x, at.y, 0, hwnd_, nullptr);
}

void TForm1::UseAdminMenus(AdminInput input) {
    if (moveMenus_[0])
        return;
    adminInput_ = std::move(input);
    // Ctrl and Shift select several jobs.
    SetWindowLongPtrW(listView_, GWL_STYLE, GetWindowLongPtrW(listView_, GWL_STYLE) & ~static_cast<LONG_PTR>(LVS_SINGLESEL));
    for (const auto& [menu, items] : {std::pair<HMENU, const std::array<form::MenuItem, 4>&>{popupMenu_, form::kAdminJobMenu},
                                      {popupMenuPrinter_, form::kAdminPrinterMenu}}) {
        for (const form::MenuItem& item : items) {
            const std::wstring caption = WideForDisplay(item.caption);
            if (form::OpensQueues(item.command)) {
                HMENU queues = CreatePopupMenu();
                moveMenus_[item.command == form::Command::MoveAllJobs ? 1 : 0] = queues;
                AppendMenuW(menu, MF_POPUP, reinterpret_cast<UINT_PTR>(queues), caption.c_str());
            } else {
                AppendMenuW(menu, MF_STRING, item.id, caption.c_str());
            }
        }
    }
    EnableJobItems(!overview_->Shown());
}

void TForm1::FillMoveMenus() {
    if (!moveMenus_[0])
        return;
    moveTargets_.clear();
    if (!overview_->Shown() && adminInput_.moveTargets)
        moveTargets_ = adminInput_.moveTargets().value_or(std::vector<std::string>{});
    const auto limit = std::min<std::size_t>(moveTargets_.size(), form::kMoveTargetRoom);
    for (std::size_t m = 0; m < moveMenus_.size(); ++m) {
        HMENU queues = moveMenus_[m];
        while (GetMenuItemCount(queues) > 0)
            DeleteMenu(queues, 0, MF_BYPOSITION);
        const auto first = m == 0 ? form::kMoveJobTargetId : form::kMoveAllTargetId;
        for (std::size_t i = 0; i < limit; ++i)
            AppendMenuW(queues, MF_STRING, first + i, WideIsolated(moveTargets_[i]).c_str());
        // The submenu's own item, by its position among the menu's items.
        HMENU owner = m == 0 ? popupMenu_ : popupMenuPrinter_;
        for (int at = 0; at < GetMenuItemCount(owner); ++at)
            if (GetSubMenu(owner, at) == queues)
                EnableMenuItem(owner, static_cast<UINT>(at), MF_BYPOSITION | (limit > 0 ? MF_ENABLED : MF_GRAYED));
    }
}

bool TForm1::RunMoveItem(WORD id) {
    for (const bool all : {false, true}) {
        const auto first = all ? form::kMoveAllTargetId : form::kMoveJobTargetId;
        if (id < first || id >= first + form::kMoveTargetRoom)
            continue;
        const std::size_t index = id - first;
        // Copied: the move's requests let the menus open and fill again meanwhile.
        if (index < moveTargets_.size() && adminInput_.move) {
            const std::string destination = moveTargets_[index];
            adminInput_.move(destination, all);
        }
        return true;
    }
    return false;
}

void TForm1::EnableJobItems(bool enabled) {
    const UINT state = MF_BYCOMMAND | (enabled ? MF_ENABLED : MF_GRAYED);
    for (const form::MenuItem& item : form::kJobMenu)
        EnableMenuItem(popupMenu_, item.id, state);
    if (!moveMenus_[0])
        return;
    // The overview's rows have the printer menu of old only; a move's submenu is filled (or
    // greyed) as its menu opens.
    for (const form::MenuItem& item : form::kAdminJobMenu)
        EnableMenuItem(popupMenu_, item.id, state);
    for (const form::MenuItem& item : form::kAdminPrinterMenu)
        EnableMenuItem(popupMenuPrinter_, item.id, state);
}

void TForm1::OnCommand(WORD id, WORD code, HWND control) {
    if (control == comboBoxPrinterlist_) {
        // Only a choice by the user: items added or selected by the program send nothing.
        if (code == CBN_SELCHANGE)
            Run(form::Command::Refresh);
        return;
    }
    if (control == refreshButton_) {
        // A disabled button is not clicked, also not by a BM_CLICK that some systems pass on.
        if (code == BN_CLICKED && IsWindowEnabled(refreshButton_))
            Run(form::Command::Refresh);
        return;
    }
    if (control != nullptr)
        return;
    // Enter on the list view, which the dialog keys of the message loop turn into IDOK.
    if (id == IDOK && GetFocus() == listView_) {
        OpenRowLater(overview_->SelectedPrinter());
        return;
    }
    if (RunMoveItem(id))
        return;
    for (const auto& menu : {form::kJobMenu, form::kPrinterMenu})
        for (const form::MenuItem& item : menu)
            if (item.id == id)
                Run(item.command);
    if (moveMenus_[0])
        for (const auto& menu : {form::kAdminJobMenu, form::kAdminPrinterMenu})
            for (const form::MenuItem& item : menu)
                if (item.id == id && !form::OpensQueues(item.command))
                    Run(item.command);
}

void TForm1::DrawLamp(const DRAWITEMSTRUCT& item, const std::optional<Lamp>& lamp) {
    FillRect(item.hDC, &item.rcItem, black_);
    if (lamp)
        DrawIconEx(item.hDC, item.rcItem.left, item.rcItem.top, imageList_[static_cast<std::size_t>(*lamp)],
                   form::kLampSize, form::kLampSize, 0, nullptr, DI_NORMAL);
}

void TForm1::DrawRefreshButton(const DRAWITEMSTRUCT& item) {
    // A flat button: the picture on the panel, a sunken edge while pressed, greyed when disabled.
    RECT r = item.rcItem;
    FillRect(item.hDC, &r, black_);
    const int x = r.left + (r.right - r.left - 16) / 2;
    const int y = r.top + (r.bottom - r.top - 16) / 2;
    if (item.itemState & ODS_DISABLED) {
        DrawStateW(item.hDC, nullptr, nullptr, reinterpret_cast<LPARAM>(refreshPicture_), 0, x, y, 16, 16,
                   DST_ICON | DSS_DISABLED);
        return;
    }
    const int shift = (item.itemState & ODS_SELECTED) ? 1 : 0;
    DrawIconEx(item.hDC, x + shift, y + shift, refreshPicture_, 16, 16, 0, nullptr, DI_NORMAL);
    if (item.itemState & ODS_SELECTED)
        DrawEdge(item.hDC, &r, BDR_SUNKENOUTER, BF_RECT);
}

// ---------------------------------------------------------------------------------------------
// Tray and minimising

NOTIFYICONDATAW TForm1::TrayRecord() const {
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof(data);
    data.hWnd = hwnd_;
    data.uID = kTrayIconId;
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data.uCallbackMessage = kTrayCallback;
    data.hIcon = tray_ ? trayLamps_[static_cast<std::size_t>(tray_->lamp)] : appIconSmall_;
    // The tip holds 127 characters: a longer one keeps the lines that fit whole.
    const std::wstring tip = Wide(FittedLines(DisplayText(tray_ ? tray_->tip : form::kTitle), std::size(data.szTip) - 1));
    lstrcpynW(data.szTip, tip.c_str(), static_cast<int>(std::size(data.szTip)));
    return data;
}

bool TForm1::AddTrayIcon() {
    NOTIFYICONDATAW data = TrayRecord();
    return Shell_NotifyIconW(NIM_ADD, &data) != FALSE;
}

void TForm1::ShowTrayState(const TrayState& tray) {
    tray_ = tray;
    if (!inTray_)
        return;
    NOTIFYICONDATAW data = TrayRecord();
    Shell_NotifyIconW(NIM_MODIFY, &data);
}

void TForm1::ShowNotice(const TrayNotice& notice) {
    if (!inTray_)
        return;
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof(data);
    data.hWnd = hwnd_;
    data.uID = kTrayIconId;
    data.uFlags = NIF_INFO;
    data.uTimeout = kBalloonMs;
    data.dwInfoFlags = notice.icon == TrayNotice::Icon::Error     ? NIIF_ERROR
                       : notice.icon == TrayNotice::Icon::Warning ? NIIF_WARNING
                                                                  : NIIF_INFO;
    const std::wstring title = Wide(FittedText(DisplayText(notice.title), std::size(data.szInfoTitle) - 1));
    const std::wstring text = Wide(FittedText(DisplayText(notice.text), std::size(data.szInfo) - 1));
    lstrcpynW(data.szInfoTitle, title.c_str(), static_cast<int>(std::size(data.szInfoTitle)));
    lstrcpynW(data.szInfo, text.c_str(), static_cast<int>(std::size(data.szInfo)));
    Shell_NotifyIconW(NIM_MODIFY, &data);
}

void TForm1::RemoveTrayIcon() {
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof(data);
    data.hWnd = hwnd_;
    data.uID = kTrayIconId;
    if (hwnd_)
        Shell_NotifyIconW(NIM_DELETE, &data);
    inTray_ = false;
}

void TForm1::TimerMinimizeTimer() {
    KillTimer(hwnd_, kTimerMinimize);
    if (openMessages_ > 0)
        minimizeAfterMessages_ = true;
    else
        ApplicationMinimize();
}

void TForm1::ApplicationMinimize() {
    minimizing_ = true;
    if (!IsIconic(hwnd_))
        ShowWindow(hwnd_, SW_MINIMIZE);
    minimizing_ = false;
    if (!inTray_)
        inTray_ = AddTrayIcon();
    // Without a notification area nothing could bring a hidden window back: it stays minimised.
    if (inTray_)
        ShowWindow(hwnd_, SW_HIDE);
}

bool TForm1::ShowRunning(unsigned limitMs) {
    HWND running = FindWindowW(kClassName, nullptr);
    if (!running)
        return false;
    // This start came from the user: the window it hands over to may take the focus.
    DWORD pid = 0;
    GetWindowThreadProcessId(running, &pid);
    AllowSetForegroundWindow(pid);
    DWORD_PTR result = 1;
    return SendMessageTimeoutW(running, kTrayCallback, kTrayIconId, WM_LBUTTONUP, SMTO_ABORTIFHUNG | SMTO_BLOCK, limitMs,
                               &result) != 0 &&
           result == 0;
}

LRESULT TForm1::TrayIconMessage(WPARAM iconId, LPARAM mouseMessage) {
    if (iconId != kTrayIconId || static_cast<UINT>(mouseMessage) != WM_LBUTTONUP)
        return DefWindowProcW(hwnd_, kTrayCallback, iconId, mouseMessage);
    ShowWindow(hwnd_, SW_SHOW);
    RemoveTrayIcon();
    ShowWindow(hwnd_, SW_RESTORE);
    SetForegroundWindow(hwnd_);
    return 0;
}

// ---------------------------------------------------------------------------------------------
// MonitorView

void TForm1::SetLabelText(HWND label, const std::string& text) {
    const std::wstring wide = WideIsolated(text);
    SetWindowTextW(label, wide.c_str());
    // Auto width, fixed height.
    SIZE extent{};
    HDC dc = GetDC(label);
    HGDIOBJ old = SelectObject(dc, font_);
    GetTextExtentPoint32W(dc, wide.c_str(), static_cast<int>(wide.size()), &extent);
    SelectObject(dc, old);
    ReleaseDC(label, dc);
    SetWindowPos(label, nullptr, 0, 0, extent.cx, form::kLabelHeight, SWP_NOZORDER | SWP_NOMOVE | SWP_NOACTIVATE);
    // The panel behind a label that got shorter shows again.
    InvalidateRect(hwnd_, nullptr, TRUE);
}

void TForm1::SetLabelStatus(const std::string& text) { SetLabelText(labelStatus_, text); }
void TForm1::SetLabelPrinterStatus(const std::string& text) { SetLabelText(labelPrinterStatus_, text); }
void TForm1::SetLabelComment(const std::string& text) { SetLabelText(labelComment_, text); }

void TForm1::SetLamp(HWND image, std::optional<Lamp>& shown, Lamp lamp) {
    shown = lamp;
    // At once: the refresh changes lamps while its requests are still waiting.
    InvalidateRect(image, nullptr, TRUE);
    UpdateWindow(image);
}

void TForm1::SetImageStatus(Lamp lamp) { SetLamp(imageStatus_, statusLamp_, lamp); }
void TForm1::SetImagePrinterStatus(Lamp lamp) { SetLamp(imagePrinterStatus_, printerStatusLamp_, lamp); }

void TForm1::AddPrinterItem(const std::string& name) {
    const LRESULT index =
        SendMessageW(comboBoxPrinterlist_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(WideIsolated(name).c_str()));
    if (index >= 0)
        printerNames_.push_back(name);
}

void TForm1::SelectPrinterItem(int index) {
    const bool inRange = index >= 0 && static_cast<std::size_t>(index) < printerNames_.size();
    SendMessageW(comboBoxPrinterlist_, CB_SETCURSEL, inRange ? static_cast<WPARAM>(index) : static_cast<WPARAM>(-1), 0);
}

std::string TForm1::PrinterText() const {
    const LRESULT index = SendMessageW(comboBoxPrinterlist_, CB_GETCURSEL, 0, 0);
    if (index < 0 || static_cast<std::size_t>(index) >= printerNames_.size())
        return {};
    return printerNames_[static_cast<std::size_t>(index)];
}

void TForm1::SetPrinterSelectorEnabled(bool enabled) { EnableWindow(comboBoxPrinterlist_, enabled); }
void TForm1::SetRefreshButtonEnabled(bool enabled) { EnableWindow(refreshButton_, enabled); }

void TForm1::AddJobColumn(const std::string& caption, int width) {
    HWND header = reinterpret_cast<HWND>(SendMessageW(listView_, LVM_GETHEADER, 0, 0));
    const int count = header ? static_cast<int>(SendMessageW(header, HDM_GETITEMCOUNT, 0, 0)) : 0;
    std::wstring text = WideForDisplay(caption);
    LVCOLUMNW column{};
    column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
    column.fmt = LVCFMT_LEFT;
    column.cx = width > 0 ? width : form::kDefaultColumnWidth;
    column.pszText = text.data();
    SendMessageW(listView_, LVM_INSERTCOLUMNW, static_cast<WPARAM>(std::max(count, 0)),
                 reinterpret_cast<LPARAM>(&column));
}

void TForm1::ClearJobs() {
    jobCaptions_.clear();
    if (!overview_->Shown())  // the overview's rows stay until the job list is back
        SendMessageW(listView_, LVM_DELETEALLITEMS, 0, 0);
}

void TForm1::AddJobRow(JobRow&& row) {
    if (overview_->Shown())
        return;
    HWND header = reinterpret_cast<HWND>(SendMessageW(listView_, LVM_GETHEADER, 0, 0));
    const int columns = header ? static_cast<int>(SendMessageW(header, HDM_GETITEMCOUNT, 0, 0)) : 0;
    std::wstring text = WideIsolated(row[0]);
    LVITEMW item{};
    item.mask = LVIF_TEXT;
    item.iItem = static_cast<int>(jobCaptions_.size());
    item.pszText = text.data();
    const LRESULT index = SendMessageW(listView_, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
    if (index < 0)
        return;
    for (int c = 1; c < std::min<int>(columns, static_cast<int>(row.size())); ++c) {
        text = WideIsolated(row[static_cast<std::size_t>(c)]);
        LVITEMW sub{};
        sub.iSubItem = c;
        sub.pszText = text.data();
        SendMessageW(listView_, LVM_SETITEMTEXTW, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&sub));
    }
    // The caption keeps its bytes for the job commands.
    jobCaptions_.push_back(std::move(row[0]));
}

int TForm1::SelectedJobCount() const {
    return static_cast<int>(SendMessageW(listView_, LVM_GETSELECTEDCOUNT, 0, 0));
}

std::string TForm1::SelectedJobCaption() const {
    const LRESULT index = SendMessageW(listView_, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED);
    if (index < 0 || static_cast<std::size_t>(index) >= jobCaptions_.size())
        return {};
    return jobCaptions_[static_cast<std::size_t>(index)];
}

std::vector<std::string> TForm1::SelectedJobCaptions() const {
    std::vector<std::string> captions;
    if (overview_->Shown())
        return captions;
    for (LRESULT index = SendMessageW(listView_, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED);
         index >= 0 && static_cast<std::size_t>(index) < jobCaptions_.size();
         index = SendMessageW(listView_, LVM_GETNEXTITEM, static_cast<WPARAM>(index), LVNI_SELECTED))
        captions.push_back(jobCaptions_[static_cast<std::size_t>(index)]);
    return captions;
}

void TForm1::SetFinishedColumns(bool shown) {
    ClearJobs();
    if (shown != showsFinished_ && !overview_->Shown()) {
        if (shown) {
            for (const FinishedColumn& column : kFinishedJobExtraColumns)
                AddJobColumn(column.caption, column.width);
        } else {
            for (std::size_t i = 0; i < kFinishedJobExtraColumns.size(); ++i)
                SendMessageW(listView_, LVM_DELETECOLUMN, std::tuple_size_v<JobRow>, 0);
        }
        showsFinished_ = shown;
    }
    for (const form::MenuItem& item : form::kAdminPrinterMenu)
        if (item.command == form::Command::FinishedJobs)
            CheckMenuItem(popupMenuPrinter_, item.id, MF_BYCOMMAND | (shown ? MF_CHECKED : MF_UNCHECKED));
}

void TForm1::AddFinishedJobRow(FinishedJobRow&& row) {
    if (overview_->Shown())
        return;
    JobRow eight;
    std::move(row.begin(), row.begin() + eight.size(), eight.begin());
    AddJobRow(std::move(eight));
    const LRESULT index = static_cast<LRESULT>(jobCaptions_.size()) - 1;
    for (std::size_t c = eight.size(); c < row.size() && showsFinished_; ++c) {
        std::wstring text = WideIsolated(row[c]);
        LVITEMW sub{};
        sub.iSubItem = static_cast<int>(c);
        sub.pszText = text.data();
        SendMessageW(listView_, LVM_SETITEMTEXTW, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&sub));
    }
}

std::optional<std::string> TForm1::AskText(const std::string& prompt) {
    AskState state{WideMessageText(prompt), {}};
    const std::vector<WORD> dialog = AskTemplate();
    ++openMessages_;  // the window stays while the box is open, as for a message box
    const INT_PTR answer = DialogBoxIndirectParamW(Instance(), reinterpret_cast<const DLGTEMPLATE*>(dialog.data()),
                                                   hwnd_, &AskProc, reinterpret_cast<LPARAM>(&state));
    if (--openMessages_ == 0 && minimizeAfterMessages_ && hwnd_) {
        minimizeAfterMessages_ = false;
        ApplicationMinimize();
    }
    if (answer != IDOK)
        return std::nullopt;
    return Utf8Of(state.answer);
}

std::optional<PasswordAnswer> TForm1::AskPassword(const PasswordQuestion& question) {
    ++openMessages_;  // the window stays while the dialog is open, as for a message box
    std::optional<PasswordAnswer> typed = AskPasswordDialog(question, hwnd_);
    if (--openMessages_ == 0 && minimizeAfterMessages_ && hwnd_) {
        minimizeAfterMessages_ = false;
        ApplicationMinimize();
    }
    return typed;
}

// ---------------------------------------------------------------------------------------------
// The overview

int TForm1::PrinterItemIndex() const {
    return static_cast<int>(SendMessageW(comboBoxPrinterlist_, CB_GETCURSEL, 0, 0));
}

void TForm1::ShowOverview(const std::vector<OverviewRow>& rows) {
    UseLampSelector();
    if (!overview_->Shown()) {
        jobCaptions_.clear();
        EnableJobItems(false);
    }
    if (!listHint_ && hint_) {
        // The supplies' numbers: one tool for the whole list view, its text asked for the cell
        // under the pointer whenever it shows.
        listHint_ = true;
        TOOLINFOW tool{};
        tool.cbSize = TTTOOLINFOW_V2_SIZE;
        tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
        tool.hwnd = hwnd_;
        tool.uId = reinterpret_cast<UINT_PTR>(listView_);
        tool.lpszText = LPSTR_TEXTCALLBACKW;
        SendMessageW(hint_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
        // Several supplies take longer to read than the five seconds a hint stays by default.
        SendMessageW(hint_, TTM_SETDELAYTIME, TTDT_AUTOPOP, MAKELPARAM(30000, 0));
        SetWindowSubclass(listView_, &TForm1::ListViewProc, kListViewSubclass, reinterpret_cast<DWORD_PTR>(this));
    }
    overview_->Show(rows);
}

void TForm1::UpdateOverviewRow(std::size_t index, const OverviewRow& row) { overview_->Update(index, row); }

void TForm1::ShowJobList() {
    if (!overview_->Shown())
        return;
    overview_->Hide();
    EnableJobItems(true);
}

void TForm1::SetPrinterItemLamp(int index, Lamp lamp) {
    if (index < 0 || static_cast<std::size_t>(index) >= printerNames_.size())
        return;
    UseLampSelector();
    itemLamps_.resize(printerNames_.size());
    itemLamps_[static_cast<std::size_t>(index)] = lamp;
    InvalidateRect(comboBoxPrinterlist_, nullptr, FALSE);
    COMBOBOXINFO info{};
    info.cbSize = sizeof(info);
    if (GetComboBoxInfo(comboBoxPrinterlist_, &info) && info.hwndList)
        InvalidateRect(info.hwndList, nullptr, FALSE);
}

std::optional<Lamp> TForm1::PrinterItemLamp(int index) const {
    if (index < 0 || static_cast<std::size_t>(index) >= itemLamps_.size())
        return std::nullopt;
    return itemLamps_[static_cast<std::size_t>(index)];
}

void TForm1::UseLampSelector() {
    if (lampSelector_ || !comboBoxPrinterlist_)
        return;
    lampSelector_ = true;
    HWND old = comboBoxPrinterlist_;
    RECT client{};
    GetClientRect(hwnd_, &client);
    comboBoxPrinterlist_ = MakeSelector(CBS_OWNERDRAWFIXED | CBS_HASSTRINGS, SelectorRect(client.right, client.bottom));
    for (const std::string& name : printerNames_)
        SendMessageW(comboBoxPrinterlist_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(WideIsolated(name).c_str()));
    SendMessageW(comboBoxPrinterlist_, CB_SETCURSEL, static_cast<WPARAM>(SendMessageW(old, CB_GETCURSEL, 0, 0)), 0);
    EnableWindow(comboBoxPrinterlist_, IsWindowEnabled(old));
    // In the old one's place among the controls, so the tab order stays.
    SetWindowPos(comboBoxPrinterlist_, old, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    if (GetFocus() == old)
        SetFocus(comboBoxPrinterlist_);
    // Gone once the handler that may be its own is done; its notifications are not the selector's now.
    ShowWindow(old, SW_HIDE);
    PostMessageW(hwnd_, kDropControl, reinterpret_cast<WPARAM>(old), 0);
}

void TForm1::DrawSelectorItem(const DRAWITEMSTRUCT& item) {
    const bool selected = item.itemState & ODS_SELECTED;
    RECT r = item.rcItem;
    FillRect(item.hDC, &r, selected ? GetSysColorBrush(COLOR_HIGHLIGHT) : black_);
    if (item.itemID >= printerNames_.size())
        return;  // also the empty field (-1)
    if (const std::optional<Lamp> lamp = PrinterItemLamp(static_cast<int>(item.itemID)))
        DrawIconEx(item.hDC, r.left + 1, r.top + (r.bottom - r.top - form::kLampSize) / 2,
                   imageList_[static_cast<std::size_t>(*lamp)], form::kLampSize, form::kLampSize, 0, nullptr, DI_NORMAL);
    // Every name after the lamps' room, so that the names stand in line with or without a lamp.
    r.left += form::kLampSize + 4;
    const std::wstring text = WideIsolated(printerNames_[item.itemID]);
    HGDIOBJ old = SelectObject(item.hDC, font_);
    SetBkMode(item.hDC, TRANSPARENT);
    SetTextColor(item.hDC, (item.itemState & ODS_DISABLED) ? GetSysColor(COLOR_GRAYTEXT)
                           : selected                      ? GetSysColor(COLOR_HIGHLIGHTTEXT)
                                                           : kTextColour);
    DrawTextW(item.hDC, text.c_str(), static_cast<int>(text.size()), &r,
              DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | DT_END_ELLIPSIS);
    SelectObject(item.hDC, old);
    if (item.itemState & ODS_FOCUS)
        DrawFocusRect(item.hDC, &item.rcItem);
}

LRESULT TForm1::OnNotify(const NMHDR& header, LPARAM lParam) {
    if (header.hwndFrom == hint_ && header.code == TTN_GETDISPINFOW &&
        header.idFrom == reinterpret_cast<UINT_PTR>(listView_)) {
        POINT at{};
        GetCursorPos(&at);
        ScreenToClient(listView_, &at);
        cellHint_ = overview_->CellHint(at);  // empty: no hint shows
        reinterpret_cast<NMTTDISPINFOW*>(lParam)->lpszText = cellHint_.data();
        return 0;
    }
    if (header.hwndFrom != listView_ || !overview_->Shown())
        return 0;
    switch (header.code) {
    case NM_CUSTOMDRAW: return overview_->CustomDraw(*reinterpret_cast<const NMLVCUSTOMDRAW*>(lParam));
    case LVN_COLUMNCLICK: overview_->HeaderClicked(reinterpret_cast<const NMLISTVIEW*>(lParam)->iSubItem); break;
    case NM_DBLCLK: OpenRowLater(overview_->PrinterIndex(reinterpret_cast<const NMITEMACTIVATE*>(lParam)->iItem)); break;
    case NM_RETURN: OpenRowLater(overview_->SelectedPrinter()); break;
    default: break;
    }
    return 0;
}

void TForm1::OpenRowLater(std::optional<std::size_t> row) {
    if (row && overview_->Shown())
        PostMessageW(hwnd_, kOpenRow, static_cast<WPARAM>(*row), 0);
}

bool TForm1::OverviewRowMenu(HWND control, POINT at, bool fromKeyboard) {
    if (!overview_->Shown() || (control != listView_ && GetParent(control) != listView_))
        return false;
    std::optional<std::size_t> row;
    if (fromKeyboard) {
        row = overview_->SelectedPrinter();
        RECT r{};
        GetWindowRect(listView_, &r);
        at = {r.left, r.top};
    } else if (control == listView_) {
        POINT client = at;
        ScreenToClient(listView_, &client);
        row = overview_->PrinterIndex(overview_->CellAt(client).first);
    }
    // The header and the room below the rows have no printer to act on.
    if (!row)
        return true;
    // The command comes back here, with the row it was opened on.
    const auto id = static_cast<UINT>(TrackPopupMenu(popupMenuPrinter_,
                                                     TPM_LEFTALIGN | TPM_TOPALIGN | TPM_RIGHTBUTTON | TPM_RETURNCMD | TPM_NONOTIFY,
                                                     at.x, at.y, 0, hwnd_, nullptr));
    for (const form::MenuItem& item : form::kPrinterMenu)
        if (item.id == id && rowInput_.run)
            rowInput_.run(item.command, *row);
    return true;
}

LRESULT CALLBACK TForm1::ListViewProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                      DWORD_PTR form) {
    if (message == WM_MOUSEMOVE)
        reinterpret_cast<TForm1*>(form)->FollowPointerForHint(
            {static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))});
    else if (message == WM_NCDESTROY)
        RemoveWindowSubclass(hwnd, &TForm1::ListViewProc, id);
    return DefSubclassProc(hwnd, message, wParam, lParam);
}

void TForm1::FollowPointerForHint(POINT point) {
    const std::pair<int, int> cell = overview_->Shown() ? overview_->CellAt(point) : std::pair{-1, -1};
    if (cell == hintCell_)
        return;
    hintCell_ = cell;
    // A hint asks for its tool's text each time it shows: off and on again, it shows anew for the
    // new cell (or not at all, where there is nothing to say).
    SendMessageW(hint_, TTM_ACTIVATE, FALSE, 0);
    SendMessageW(hint_, TTM_ACTIVATE, TRUE, 0);
}

void TForm1::ShowMessage(const std::string& text, MessageIcon icon) {
    // Owned by the window, so that it stacks above the always-on-top window even where only the
    // owner reaches the window manager (under wine the box's own topmost flag does not, and the
    // window covered it); modal, so the window's handlers wait until the box is closed.
    // Minimised, the window would take its owned box out of sight with it: it stays until the box
    // is answered, and a minimise the timer asked for meanwhile follows then.
    ++openMessages_;
    MessageBoxW(hwnd_, WideMessageText(text).c_str(), WideForDisplay(form::kTitle).c_str(),
                MB_OK | static_cast<UINT>(icon) | MB_TASKMODAL | MB_TOPMOST);
    if (--openMessages_ == 0 && minimizeAfterMessages_ && hwnd_) {
        minimizeAfterMessages_ = false;
        ApplicationMinimize();
    }
}

}  // namespace quenlo::winapp
