// The native window under wine: texts through the W calls, the view's byte round trips, geometry
// and anchors, the tray and the minimise timer, and the controls reaching their handlers.
#include "platform/EventLoop.h"  // before the Windows headers: their macros rename its calls
#include "winapp/Form1.h"
#include "winapp/PasswordDialog.h"
#include "winapp/WideText.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace quenlo::winapp {
namespace {

// Dispatches this thread's messages until `done` holds or `limit` has passed; the result of `done`.
bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(15)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
        ::MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    return true;
}

std::wstring TextOf(HWND control) {
    wchar_t buffer[512] = {};
    GetWindowTextW(control, buffer, 512);
    return buffer;
}

RECT ClientRectIn(HWND parent, HWND control) {
    RECT r{};
    GetWindowRect(control, &r);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

// "Nyomtató ő" in code page 1250: 0xF3 is ó there, and 0xF5 is ő (in Latin-1 it would be õ).
const std::string kCp1250Name = "Nyomtat\xF3 \xF5";
const std::wstring kCp1250NameWide = L"Nyomtat\u00F3 \u0151";

TEST(WideText, ProgramTextsPrinterFileBytesAndTheirMixture) {
    EXPECT_EQ(WideForDisplay("Összes feladat törlése"), L"\u00D6sszes feladat t\u00F6rl\u00E9se");
    EXPECT_EQ(WideForDisplay(kCp1250Name), kCp1250NameWide);
    // A program text joined with a code page 1250 comment from the printers file.
    EXPECT_EQ(WideForDisplay("Megjegyzés: " + kCp1250Name), L"Megjegyz\u00E9s: " + kCp1250NameWide);
    // A cut UTF-8 sequence at the end and stray continuation bytes never fail or swallow text.
    EXPECT_EQ(WideForDisplay("ab\xC3"), L"ab\u0102");
    EXPECT_EQ(WideForDisplay(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));
    EXPECT_EQ(WideMessageText("Kérés megszakítva!\r(Hibapozíció: 1)\r\nx\n"),
              L"K\u00E9r\u00E9s megszak\u00EDtva!\r\n(Hibapoz\u00EDci\u00F3: 1)\r\nx\r\n");
}

class FormTest : public ::testing::Test {
protected:
    FormTest() : form([this](form::Command command) { calls += std::string(to_string(command)) + " "; }) {}

    std::string calls;
    TForm1 form;
};

TEST_F(FormTest, ViewKeepsTheBytesItWasGivenAndShowsThemDecoded) {
    ASSERT_NE(form.Handle(), nullptr);
    form.SetLabelComment("Megjegyzés: " + kCp1250Name);
    EXPECT_EQ(TextOf(form.LabelComment()), L"Megjegyz\u00E9s: " + kCp1250NameWide);
    // A server's override shows, and turns no word around, as in the Qt window.
    form.SetLabelPrinterStatus("laser - stopped (\u202eok)");
    EXPECT_EQ(TextOf(form.LabelPrinterStatus()), L"\u2068laser - stopped (<U+202E>ok)\u2069");
    const RECT shortLabel = ClientRectIn(form.Handle(), form.LabelStatus());
    form.SetLabelStatus("laser - kapcsolódva, IPP rendben (200) and a longer tail");
    const RECT longLabel = ClientRectIn(form.Handle(), form.LabelStatus());
    EXPECT_GT(longLabel.right - longLabel.left, shortLabel.right - shortLabel.left);
    EXPECT_EQ(longLabel.bottom - longLabel.top, 13);

    form.AddPrinterItem("laser");
    form.AddPrinterItem(kCp1250Name);
    EXPECT_EQ(form.PrinterText(), "");  // adding selects nothing
    form.SelectPrinterItem(1);
    EXPECT_EQ(form.PrinterText(), kCp1250Name);
    form.SelectPrinterItem(2);
    EXPECT_EQ(form.PrinterText(), "");

    for (const char* caption : {"job ID", "printer", "user", "job name", "size", "state", "state-reason",
                                "time-at-creation"})
        form.AddJobColumn(caption, 0);
    form.AddJobRow({"7", "laser", "bob", "a.txt", "1 K", "held", "job-hold-until-specified", "1970.01.01"});
    form.AddJobRow({"0x1F", "laser", "\xE9va", "invoice\u202egnp.exe", "2 K", "pending", "none", ""});
    EXPECT_EQ(form.SelectedJobCount(), 0);
    EXPECT_EQ(form.SelectedJobCaption(), "");
    LVITEMW state{};
    state.stateMask = LVIS_SELECTED;
    state.state = LVIS_SELECTED;
    SendMessageW(form.ListView(), LVM_SETITEMSTATE, 1, reinterpret_cast<LPARAM>(&state));
    EXPECT_EQ(form.SelectedJobCount(), 1);
    EXPECT_EQ(form.SelectedJobCaption(), "0x1F");
    wchar_t user[32] = {};
    LVITEMW sub{};
    sub.iSubItem = 2;
    sub.pszText = user;
    sub.cchTextMax = 32;
    SendMessageW(form.ListView(), LVM_GETITEMTEXTW, 1, reinterpret_cast<LPARAM>(&sub));
    EXPECT_STREQ(user, L"\u00E9va");
    sub.iSubItem = 3;
    SendMessageW(form.ListView(), LVM_GETITEMTEXTW, 1, reinterpret_cast<LPARAM>(&sub));
    EXPECT_STREQ(user, L"\u2068invoice<U+202E>gnp.exe\u2069");

    form.ClearJobs();
    EXPECT_EQ(SendMessageW(form.ListView(), LVM_GETITEMCOUNT, 0, 0), 0);
    EXPECT_EQ(form.SelectedJobCaption(), "");
    // Only the user's choice runs the refresh: nothing above did.
    EXPECT_EQ(calls, "");
}

TEST_F(FormTest, AlwaysOnTopBottomRightWithAnchorsAndMinimumSize) {
    EXPECT_TRUE(GetWindowLongPtrW(form.Handle(), GWL_EXSTYLE) & WS_EX_TOPMOST);
    RECT client{};
    GetClientRect(form.Handle(), &client);
    EXPECT_EQ(client.right, 600);
    EXPECT_EQ(client.bottom, 300);
    RECT outer{};
    GetWindowRect(form.Handle(), &outer);
    EXPECT_EQ(outer.right, GetSystemMetrics(SM_XVIRTUALSCREEN) + GetSystemMetrics(SM_CXVIRTUALSCREEN));
    EXPECT_EQ(outer.bottom, GetSystemMetrics(SM_YVIRTUALSCREEN) + GetSystemMetrics(SM_CYVIRTUALSCREEN) - 30);
    EXPECT_EQ(ClientRectIn(form.Handle(), form.ListView()).bottom, 299);

    const int frameW = (outer.right - outer.left) - 600;
    const int frameH = (outer.bottom - outer.top) - 300;
    SetWindowPos(form.Handle(), nullptr, 0, 0, 800 + frameW, 500 + frameH, SWP_NOZORDER | SWP_NOMOVE);
    const RECT combo = ClientRectIn(form.Handle(), form.ComboBoxPrinterlist());
    const RECT button = ClientRectIn(form.Handle(), form.RefreshButton());
    const RECT list = ClientRectIn(form.Handle(), form.ListView());
    const RECT lamp = ClientRectIn(form.Handle(), form.ImagePrinterStatus());
    EXPECT_EQ(combo.right, 800);
    EXPECT_EQ(button.left, 781);
    EXPECT_EQ(button.top, 61);
    EXPECT_EQ(list.right, 800);
    EXPECT_EQ(list.bottom, 499);
    EXPECT_EQ(lamp.left, 0);
    EXPECT_EQ(lamp.top, 39);

    SetWindowPos(form.Handle(), nullptr, 0, 0, 100, 100, SWP_NOZORDER | SWP_NOMOVE);
    GetClientRect(form.Handle(), &client);
    EXPECT_EQ(client.right, 600);
    EXPECT_EQ(client.bottom, 300);
}

TEST_F(FormTest, ControlsAndMenusReachTheirHandlers) {
    auto caption = [](HMENU menu, UINT position) {
        wchar_t text[64] = {};
        GetMenuStringW(menu, position, text, 64, MF_BYPOSITION);
        return std::wstring(text);
    };
    EXPECT_EQ(caption(form.PopupMenu(), 0), L"Megszak\u00EDt");
    EXPECT_EQ(caption(form.PopupMenu(), 1), L"Sz\u00FCnet");
    EXPECT_EQ(caption(form.PopupMenuPrinter(), 0), L"Nyomtat\u00F3 felf\u00FCggeszt\u00E9se");
    EXPECT_EQ(caption(form.PopupMenuPrinter(), 2), L"\u00D6sszes feladat t\u00F6rl\u00E9se");

    SendMessageW(form.RefreshButton(), BM_CLICK, 0, 0);
    form.SetRefreshButtonEnabled(false);
    SendMessageW(form.RefreshButton(), BM_CLICK, 0, 0);
    SendMessageW(form.Handle(), WM_COMMAND, MAKEWPARAM(0, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(form.ComboBoxPrinterlist()));
    SendMessageW(form.Handle(), WM_COMMAND, MAKEWPARAM(form::kJobMenu[0].id, 0), 0);
    SendMessageW(form.Handle(), WM_COMMAND, MAKEWPARAM(form::kPrinterMenu[0].id, 0), 0);
    // A number that is no menu item's does nothing.
    SendMessageW(form.Handle(), WM_COMMAND, MAKEWPARAM(999, 0), 0);
    SendMessageW(form.Handle(), WM_COMMAND, MAKEWPARAM(form::kPrinterMenu[2].id, 0), 0);
    // Outside the administrator's window its items are not there, and a number of theirs does nothing.
    SendMessageW(form.Handle(), WM_COMMAND, MAKEWPARAM(form::kAdminJobMenu[1].id, 0), 0);
    EXPECT_EQ(calls, "Refresh Refresh CancelJob PausePrinter PurgeJobs ");
    EXPECT_EQ(GetMenuItemCount(form.PopupMenu()), 3);
    EXPECT_EQ(GetMenuItemCount(form.PopupMenuPrinter()), 3);
    EXPECT_TRUE(GetWindowLongPtrW(form.ListView(), GWL_STYLE) & LVS_SINGLESEL);

    calls.clear();
    std::string moved;
    form.UseAdminMenus({[] { return std::optional<std::vector<std::string>>({"Raktar", "Festo"}); },
                        [&moved](const std::string& to, bool all) { moved += to + (all ? " all " : " "); }});
    EXPECT_FALSE(GetWindowLongPtrW(form.ListView(), GWL_STYLE) & LVS_SINGLESEL);
    EXPECT_EQ(caption(form.PopupMenu(), 3), L"\u00C1thelyez\u00E9s");
    EXPECT_EQ(GetSubMenu(form.PopupMenu(), 3), form.MoveMenu(false));
    EXPECT_EQ(caption(form.PopupMenuPrinter(), 6), L"Befejezett feladatok");
    // The submenus get the queues as a menu opens; a queue's item moves.
    form.FillMoveMenus();
    EXPECT_EQ(caption(form.MoveMenu(true), 1), WideIsolated("Festo"));
    SendMessageW(form.Handle(), WM_COMMAND, MAKEWPARAM(form::kMoveJobTargetId + 1, 0), 0);
    SendMessageW(form.Handle(), WM_COMMAND, MAKEWPARAM(form::kMoveAllTargetId, 0), 0);
    SendMessageW(form.Handle(), WM_COMMAND, MAKEWPARAM(form::kMoveAllTargetId + 2, 0), 0);
    EXPECT_EQ(moved, "Festo Raktar all ");
    SendMessageW(form.Handle(), WM_COMMAND, MAKEWPARAM(form::kAdminJobMenu[1].id, 0), 0);
    SendMessageW(form.Handle(), WM_COMMAND, MAKEWPARAM(form::kAdminPrinterMenu[3].id, 0), 0);
    SendMessageW(form.Handle(), WM_COMMAND, MAKEWPARAM(form::kAdminJobMenu[0].id, 0), 0);
    EXPECT_EQ(calls, "RestartJob FinishedJobs ");
}

TEST_F(FormTest, TimerAndMinimiseGoToTheTrayOnlyALeftClickOnOurIconComesBack) {
    form.Show();
    ASSERT_TRUE(IsWindowVisible(form.Handle()));
    // One second after showing, the timer sends the window to the tray.
    ASSERT_TRUE(PumpUntil([&] { return !IsWindowVisible(form.Handle()); }));
    ASSERT_TRUE(form.InTray()) << "wine's shell refused the tray icon";

    EXPECT_EQ(form.TrayIconMessage(1, WM_RBUTTONUP), 0);
    EXPECT_EQ(form.TrayIconMessage(1, WM_LBUTTONDBLCLK), 0);
    EXPECT_EQ(form.TrayIconMessage(2, WM_LBUTTONUP), 0);
    EXPECT_FALSE(IsWindowVisible(form.Handle()));
    // Through the window's own message, as the shell sends it.
    SendMessageW(form.Handle(), WM_USER, 1, WM_LBUTTONUP);
    EXPECT_TRUE(IsWindowVisible(form.Handle()));
    EXPECT_FALSE(IsIconic(form.Handle()));
    EXPECT_FALSE(form.InTray());

    // The title bar's minimise button: back to the tray, and only once.
    SendMessageW(form.Handle(), WM_SYSCOMMAND, SC_MINIMIZE, 0);
    ASSERT_TRUE(PumpUntil([&] { return !IsWindowVisible(form.Handle()); }));
    EXPECT_TRUE(form.InTray());
    SendMessageW(form.Handle(), WM_USER, 1, WM_LBUTTONUP);
    EXPECT_TRUE(IsWindowVisible(form.Handle()));
    // The timer fired once per run: the window stays.
    EXPECT_FALSE(PumpUntil([&] { return !IsWindowVisible(form.Handle()); }, std::chrono::milliseconds(1500)));
}

// The box of ShowMessage, owned by the window, stays in sight until it is answered: neither the
// timer's minimise nor the title bar's takes it away; the timer's follows once it is answered.
// Driven from a second thread while the box's own loop runs on this one.
// The first visible dialog box of the thread, waited for up to 15 s; nullptr when none came.
HWND DialogOfThread(DWORD thread) {
    HWND box = nullptr;
    for (int i = 0; i < 1500 && !box; ++i) {
        EnumThreadWindows(thread, [](HWND h, LPARAM found) -> BOOL {
            wchar_t cls[16] = {};
            GetClassNameW(h, cls, 16);
            if (std::wstring(cls) != L"#32770" || !IsWindowVisible(h))
                return TRUE;
            *reinterpret_cast<HWND*>(found) = h;
            return FALSE;
        }, reinterpret_cast<LPARAM>(&box));
        if (!box)
            Sleep(10);
    }
    return box;
}

TEST_F(FormTest, AnOpenMessageBoxStaysVisibleUntilAnsweredThenTheTimerMinimises) {
    form.Show();
    const HWND window = form.Handle();
    const DWORD formThread = GetCurrentThreadId();
    bool boxStayed = false, windowStayed = false;
    std::thread driver([&] {
        HWND box = DialogOfThread(formThread);
        if (!box)
            return;
        // Sent, so each has been handled when the call returns.
        SendMessageW(window, WM_TIMER, 1, 0);
        SendMessageW(window, WM_SYSCOMMAND, SC_MINIMIZE, 0);
        boxStayed = IsWindowVisible(box) != FALSE;
        windowStayed = IsWindowVisible(window) && !IsIconic(window);
        PostMessageW(box, WM_COMMAND, IDOK, 0);
    });
    form.ShowMessage("Quenlo: the box stays", MessageIcon::Warning);
    driver.join();
    EXPECT_TRUE(boxStayed);
    EXPECT_TRUE(windowStayed);
    ASSERT_TRUE(PumpUntil([&] { return !IsWindowVisible(window); }));
    EXPECT_TRUE(form.InTray());
}

// The password dialog names the server and the user, gives back what was typed with "remember" as
// the user left it, and without a store shows why instead of offering to remember; Cancel gives
// nothing.
TEST_F(FormTest, PasswordDialogGivesBackTheTypedPasswordAndTheChoiceToRemember) {
    form.Show();
    const DWORD formThread = GetCurrentThreadId();
    std::wstring server, user, note;
    bool rememberedByDefault = false, hasCheckBox = true;
    std::thread driver([&] {
        HWND box = DialogOfThread(formThread);
        if (!box)
            return;
        server = TextOf(GetDlgItem(box, kPasswordServerId));
        user = TextOf(GetDlgItem(box, kPasswordUserId));
        rememberedByDefault = SendMessageW(GetDlgItem(box, kPasswordRememberId), BM_GETCHECK, 0, 0) == BST_CHECKED;
        SendMessageW(GetDlgItem(box, kPasswordFieldId), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"jelsz\u00F3-\u0151"));
        SendMessageW(GetDlgItem(box, kPasswordRememberId), BM_SETCHECK, BST_UNCHECKED, 0);
        PostMessageW(box, WM_COMMAND, IDOK, 0);
    });
    const std::optional<PasswordAnswer> typed = form.AskPassword({"print.example.com:631", "anna", ""});
    driver.join();
    EXPECT_EQ(server, L"Szerver: print.example.com:631");
    EXPECT_EQ(user, L"Felhaszn\u00E1l\u00F3: anna");
    EXPECT_TRUE(rememberedByDefault);
    ASSERT_TRUE(typed.has_value());
    EXPECT_EQ(typed->password, "jelsz\xC3\xB3-\xC5\x91");
    EXPECT_FALSE(typed->remember);

    std::thread canceller([&] {
        HWND box = DialogOfThread(formThread);
        if (!box)
            return;
        hasCheckBox = GetDlgItem(box, kPasswordRememberId) != nullptr;
        note = TextOf(GetDlgItem(box, kPasswordNoStoreId));
        PostMessageW(box, WM_COMMAND, IDCANCEL, 0);
    });
    const std::optional<PasswordAnswer> cancelled = form.AskPassword({"print.example.com:631", "anna", "no store here"});
    canceller.join();
    EXPECT_FALSE(cancelled.has_value());
    EXPECT_FALSE(hasCheckBox);
    EXPECT_EQ(note, L"A jelsz\u00F3t nem lehet megjegyezni, csak a program fut\u00E1sa alatt marad meg: no store here");
}

// What the window gets while a request waits (the core's own loop, not the program's): Tab moves
// on as in the program's loop, and a character outside the ANSI code page arrives whole.
TEST_F(FormTest, DuringARequestTabMovesOnAndCharactersArriveWhole) {
    form.Show();
    SetForegroundWindow(form.Handle());
    SetFocus(form.ComboBoxPrinterlist());
    ASSERT_EQ(GetFocus(), form.ComboBoxPrinterlist());
    PostMessageW(form.ComboBoxPrinterlist(), WM_KEYDOWN, VK_TAB, 0x000F0001);
    platform::ProcessLoopMessages();
    EXPECT_EQ(GetFocus(), form.ListView());

    HWND edit = CreateWindowExW(0, L"EDIT", L"", WS_CHILD | WS_VISIBLE, 0, 0, 80, 20, form.Handle(), nullptr,
                                GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(edit, nullptr);
    PostMessageW(edit, WM_CHAR, 0x0151, 1);  // ő: not in the code page 1252 wine runs with
    platform::ProcessLoopMessages();
    EXPECT_EQ(TextOf(edit), L"\u0151");
    DestroyWindow(edit);
}

// The overview draws what the core hands over, and a row keeps its printer's file index wherever
// the sort shows it: a double click opens, and an update moves, that printer's row. The selector,
// made anew to draw lamps, keeps its bytes and choice; the job list comes back with its columns.
TEST(OverviewForm, RowsKeepTheirPrinterThroughSortUpdateAndOpen) {
    std::string opened;
    TForm1 form([](form::Command) {}, {[&](std::size_t row) { opened += std::to_string(row) + " "; }, {}});
    form.AddJobColumn("job ID", 60);
    form.AddJobColumn("printer", 70);
    for (const char* item : {kOverviewCaption, "Iroda", "Raktar", "Labor"})
        form.AddPrinterItem(item);
    form.SelectPrinterItem(2);
    auto row = [](const char* name, Lamp lamp) {
        OverviewRow r;
        r.known = true;
        r.name = name;
        r.lamp = lamp;
        return r;
    };
    form.ShowOverview({row("Iroda", Lamp::Green), row("Raktar", Lamp::Red), row("Labor", Lamp::Yellow)});
    form.SetPrinterItemLamp(2, Lamp::Red);
    EXPECT_EQ(form.PrinterText(), "Raktar");
    EXPECT_EQ(form.PrinterItemIndex(), 2);
    EXPECT_EQ(form.PrinterItemLamp(2), Lamp::Red);
    EXPECT_FALSE(form.PrinterItemLamp(1));

    const HWND list = form.ListView();
    auto names = [&] {
        std::wstring all;
        for (int r = 0; r < SendMessageW(list, LVM_GETITEMCOUNT, 0, 0); ++r) {
            wchar_t text[64] = {};
            LVITEMW cell{};
            cell.iSubItem = 1;
            cell.pszText = text;
            cell.cchTextMax = 64;
            SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(r), reinterpret_cast<LPARAM>(&cell));
            all += (all.empty() ? L"" : L" ") + std::wstring(text);
        }
        return all;
    };
    auto rowPoint = [&](int screenRow) {
        RECT r{LVIR_LABEL, 0, 0, 0};
        SendMessageW(list, LVM_GETITEMRECT, static_cast<WPARAM>(screenRow), reinterpret_cast<LPARAM>(&r));
        return MAKELPARAM((r.left + r.right) / 2, (r.top + r.bottom) / 2);
    };
    // As the mouse does it: the lamp header's button, pressed and let go.
    auto clickLampHeader = [&] {
        HWND header = reinterpret_cast<HWND>(SendMessageW(list, LVM_GETHEADER, 0, 0));
        RECT r{};
        SendMessageW(header, HDM_GETITEMRECT, 0, reinterpret_cast<LPARAM>(&r));
        const LPARAM at = MAKELPARAM((r.left + r.right) / 2, (r.top + r.bottom) / 2);
        SendMessageW(header, WM_LBUTTONDOWN, MK_LBUTTON, at);
        SendMessageW(header, WM_LBUTTONUP, 0, at);
    };
    EXPECT_EQ(names(), L"Iroda Raktar Labor");
    clickLampHeader();
    EXPECT_EQ(names(), L"Raktar Labor Iroda");
    SendMessageW(list, WM_LBUTTONDBLCLK, MK_LBUTTON, rowPoint(0));
    ASSERT_TRUE(PumpUntil([&] { return !opened.empty(); }));
    EXPECT_EQ(opened, "1 ");  // Raktar, shown first
    clickLampHeader();
    EXPECT_EQ(names(), L"Iroda Labor Raktar");

    // Labor selected turns red: it moves behind Raktar (ties keep the file's order), its selection with it.
    LVITEMW state{};
    state.stateMask = state.state = LVIS_SELECTED;
    SendMessageW(list, LVM_SETITEMSTATE, 1, reinterpret_cast<LPARAM>(&state));
    form.UpdateOverviewRow(2, row("Labor", Lamp::Red));
    EXPECT_EQ(names(), L"Iroda Raktar Labor");
    EXPECT_EQ(form.Overview().SelectedPrinter(), 2u);
    form.AddJobRow({"7", "Iroda", "", "", "", "", "", ""});  // not while the overview shows
    EXPECT_EQ(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0), 3);

    form.ShowJobList();
    HWND header = reinterpret_cast<HWND>(SendMessageW(list, LVM_GETHEADER, 0, 0));
    EXPECT_EQ(SendMessageW(header, HDM_GETITEMCOUNT, 0, 0), 2);
    EXPECT_EQ(SendMessageW(list, LVM_GETCOLUMNWIDTH, 1, 0), 70);
    EXPECT_EQ(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0), 0);
    form.AddJobRow({"7", "Iroda", "", "", "", "", "", ""});
    EXPECT_EQ(form.SelectedJobCaption(), "");
    EXPECT_EQ(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0), 1);
}

}  // namespace
}  // namespace quenlo::winapp
