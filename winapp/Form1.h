// TForm1: Quenlo's one window as a native Win32 window, with its tray icon and its minimise timer.
//
// The window is a small, always-on-top black panel (client area 600 x 300, never smaller): the
// printer selector across the top, the connection and printer lamps with their lines, the comment
// line, the refresh button at the right and the job list below. Every control uses "MS Sans Serif"
// 8 pt (11 pixels) and the pale blue-violet RGB(204, 204, 255) on black. The job list has the job
// popup menu ("Megszakít", "Szünet", "Folytat"), the selector, the labels and the lamps have the
// printer popup menu ("Nyomtató felfüggesztése", "Nyomtató folytatása", "Összes feladat törlése").
//
// Tray: whenever the window is minimised (by its title-bar button or by TimerMinimize, one second
// after start-up) the tray icon (uID 1, callback WM_USER, tip "Quenlo") is added and the window
// hidden; only a left button up on the icon brings the window back and removes the icon. While a
// message box of the window is open the window stays: a minimise of the timer waits until the box
// is answered, the title bar's is refused, and one from elsewhere is undone, since the box (owned
// by the window) would vanish with it. When the
// shell refuses the icon (no notification area), the window stays minimised on the task bar
// instead of vanishing; when the shell restarts, the icon is added again.
//
// With the watch (the printers file's "watch" key), the tray icon carries the worst lamp of all
// printers in its corner, its tip the lines of the printers that are not green (cut at a whole line
// to the tip's 127 characters), and the program's notices come as the icon's balloons. Without it
// the tray icon is the plain one with the tip "Quenlo".
//
// In the administrator's window (the printers file's "admin" key) the list view also shows the
// overview of every printer (winapp/OverviewList.h) and the selector's items carry their printer's
// lamp; a row's double click, Enter and printer menu go to the RowInput given at construction.
//
// TForm1 is the monitor logic's view (monitor/MonitorView.h). The selector, the refresh button and
// the menus hand their command (monitor/Program.h) to the function given at construction; the
// window itself never calls the logic. Texts arrive as the core's byte strings and go to the W calls as UTF-16
// (winapp/WideText.h), so they read right whatever code page Windows runs with; the selector and
// the job list keep the bytes they were given, so the logic reads back exactly what it added.
//
// Life cycle (winapp/main.cpp): construct (the window exists, hidden), fill it through the view,
// Show(), run the message loop, which ends when the window is closed (WM_CLOSE posts the quit and
// leaves the window alive, so the program can release the single-instance lock first), then
// FormDestroy() removes the tray icon and destroys the window. Everything runs on the thread that
// made the window; a blocking request of the logic keeps dispatching this window's messages, so any
// handler may run inside another.
#pragma once

#include "monitor/MonitorView.h"
#include "monitor/Program.h"
#include "winapp/OverviewList.h"

#include <windows.h>
#include <shellapi.h>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quenlo::winapp {

// What the window's controls run: the selector's choice and the refresh button (Refresh) and the
// menus' items. An unset function does nothing.
using FormInput = std::function<void(form::Command command)>;
// What a row of the overview asks for (file index of the row's printer): its queue opened, or a
// printer menu command on its printer. Unset functions do nothing.
struct RowInput {
    std::function<void(std::size_t row)> open;
    std::function<void(form::Command command, std::size_t row)> run;
};

// The administrator's window: the queues a move may go to (nothing: the submenu stays empty), and
// the move of the selected jobs (or of every job) to one of them.
struct AdminInput {
    std::function<std::optional<std::vector<std::string>>()> moveTargets;
    std::function<void(const std::string& destination, bool allJobs)> move;
};

class TForm1 : public MonitorView {
public:
    // Creates the window (hidden) with its controls, menus, pictures and timer, placed at the
    // bottom-right of the virtual desktop.
    explicit TForm1(FormInput input, RowInput rows = {});
    // Runs FormDestroy.
    ~TForm1() override;
    TForm1(const TForm1&) = delete;
    TForm1& operator=(const TForm1&) = delete;

    // Shows the window and arms TimerMinimize (1000 ms, fires once).
    void Show();
    // For a later start: the window of the instance that runs (found by its class) is brought back
    // as a left click on its tray icon brings it back. True when it answered within `limitMs`; a
    // window whose instance is ending does not, nor one of another user.
    static bool ShowRunning(unsigned limitMs);
    // Removes the tray icon, whether or not it is shown, and destroys the window. Runs once.
    void FormDestroy();

    // --- What the program shows beyond the view -------------------------------------------------
    // The watch's tray from now on: its lamp in the icon's corner and its tip (the icon is changed
    // at once when it is in the tray).
    void ShowTrayState(const TrayState& tray);
    // A balloon of the tray icon (title cut to 63 characters, text to 255); none while the window
    // is on the screen, since there is no icon then.
    void ShowNotice(const TrayNotice& notice);
    // The printer lamp's hint.
    void SetLampHint(const std::string& hint);
    // Shown and not minimised.
    bool OnScreen() const;
    // The administrator's window: form::kAdminJobMenu and kAdminPrinterMenu after the menus' own
    // items, a move's item opening a submenu of the queues `input` gives as the menu opens, and a
    // job list that selects several rows (Ctrl, Shift).
    void UseAdminMenus(AdminInput input);
    // The move submenus get the queues AdminInput gives; the window calls it as a menu opens.
    void FillMoveMenus();

    // --- Handlers ------------------------------------------------------------------------------
    // Disables the timer and minimises the window, which runs ApplicationMinimize (once no message
    // box is open).
    void TimerMinimizeTimer();
    // Minimise (if not yet), add the tray icon, hide the window.
    void ApplicationMinimize();
    // The tray icon's callback: id 1 with WM_LBUTTONUP shows the window, removes the icon and
    // brings the window to the front; everything else goes to the default handling.
    LRESULT TrayIconMessage(WPARAM iconId, LPARAM mouseMessage);

    // --- MonitorView ---------------------------------------------------------------------------
    // Labels are as wide as their text and 13 pixels high (the panel behind a shorter one is
    // repainted); lamps are owner-drawn and painted at once; items added or selected here send no
    // CBN_SELCHANGE, so no refresh runs; the job list is a report-style list view with one selected
    // row at most (several with admin=1); a message box is task-modal and owned by the window (see
    // minimising above).
    QUENLO_MONITOR_VIEW_OVERRIDES
    // The overview (the administrator's window): the list view's rows and columns are swapped
    // for the overview's, the job menu is off and the right button opens the printer menu of the
    // row under the pointer; a double click or Enter opens the row's printer once the list view's
    // notification is done with. The selector becomes owner-drawn at the first lamp or overview,
    // so a window without them keeps the system's own selector.
    // AskText: lines of text under the prompt, with OK and Cancel, in a box above the window.
    bool DrawsOverview() const override { return true; }

    // --- Components (for the program and its tests) ---------------------------------------------
    HWND Handle() const { return hwnd_; }
    HWND ComboBoxPrinterlist() const { return comboBoxPrinterlist_; }
    HWND ListView() const { return listView_; }
    HWND LabelStatus() const { return labelStatus_; }
    HWND ImageStatus() const { return imageStatus_; }
    HWND LabelComment() const { return labelComment_; }
    HWND RefreshButton() const { return refreshButton_; }
    HWND LabelPrinterStatus() const { return labelPrinterStatus_; }
    HWND ImagePrinterStatus() const { return imagePrinterStatus_; }
    HMENU PopupMenu() const { return popupMenu_; }
    HMENU PopupMenuPrinter() const { return popupMenuPrinter_; }
    // A move's submenu (form::Command::MoveJob or MoveAllJobs); nullptr outside the
    // administrator's window.
    HMENU MoveMenu(bool allJobs) const { return moveMenus_[allJobs ? 1 : 0]; }
    // Which lamp each lamp control shows now; unset before the first refresh.
    std::optional<Lamp> StatusLamp() const { return statusLamp_; }
    std::optional<Lamp> PrinterStatusLamp() const { return printerStatusLamp_; }
    // True while the tray icon is shown.
    bool InTray() const { return inTray_; }
    const OverviewList& Overview() const { return *overview_; }
    // The lamp drawn beside the selector's item; unset when none is known.
    std::optional<Lamp> PrinterItemLamp(int index) const;


private:
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
    void CreateComponents();
    void CreateMenus();
    void CreateHint();
    void LayOut(int clientWidth, int clientHeight);
    void SetLabelText(HWND label, const std::string& text);
    void SetLamp(HWND image, std::optional<Lamp>& shown, Lamp lamp);
    void DrawLamp(const DRAWITEMSTRUCT& item, const std::optional<Lamp>& lamp);
    void DrawRefreshButton(const DRAWITEMSTRUCT& item);
    void OnContextMenu(HWND control, LPARAM screenPos);
    void OnCommand(WORD id, WORD code, HWND control);
    bool AddTrayIcon();
    void RemoveTrayIcon();
    // The record the tray icon is added and changed with: the plain one, or the watch's.
    NOTIFYICONDATAW TrayRecord() const;
    void Run(form::Command command) const;
    void EnableJobItems(bool enabled);
    // A move submenu's item: its queue moved to; false for another number.
    bool RunMoveItem(WORD id);
    HWND MakeSelector(DWORD ownerDraw, const RECT& r);
    void UseLampSelector();
    void DrawSelectorItem(const DRAWITEMSTRUCT& item);
    LRESULT OnNotify(const NMHDR& header, LPARAM lParam);
    bool OverviewRowMenu(HWND control, POINT at, bool fromKeyboard);
    void OpenRowLater(std::optional<std::size_t> row);
    void FollowPointerForHint(POINT point);
    static LRESULT CALLBACK ListViewProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                         DWORD_PTR form);

    FormInput input_;
    RowInput rowInput_;
    HWND hwnd_ = nullptr;
    HFONT font_ = nullptr;
    HBRUSH black_ = nullptr;
    HICON appIcon_ = nullptr;
    HICON appIconSmall_ = nullptr;
    HICON refreshPicture_ = nullptr;
    std::array<HICON, 3> imageList_{};
    std::array<HICON, 3> trayLamps_{};       // the tray icon with each lamp in its corner
    std::optional<TrayState> tray_;           // the watch's tray, once it has one
    std::wstring lampHint_;
    UINT taskbarCreated_ = 0;
    bool destroyed_ = false;
    bool minimizing_ = false;
    bool inTray_ = false;
    int openMessages_ = 0;             // message boxes open now (a handler may show one inside another)
    bool minimizeAfterMessages_ = false;

    // Components, in the window's stacking order.
    HWND labelStatus_ = nullptr;
    HWND imageStatus_ = nullptr;
    HWND labelComment_ = nullptr;
    HWND refreshButton_ = nullptr;
    HWND labelPrinterStatus_ = nullptr;
    HWND imagePrinterStatus_ = nullptr;
    HWND comboBoxPrinterlist_ = nullptr;
    HWND listView_ = nullptr;
    HWND hint_ = nullptr;
    HMENU popupMenu_ = nullptr;
    HMENU popupMenuPrinter_ = nullptr;
    AdminInput adminInput_;
    std::array<HMENU, 2> moveMenus_{};  // the job's move, every job's move
    std::vector<std::string> moveTargets_;  // the queues the move submenus hold, by position
    bool showsFinished_ = false;
    std::optional<Lamp> statusLamp_;
    std::optional<Lamp> printerStatusLamp_;

    // The bytes behind the selector's items and the job list's captions, by index.
    std::vector<std::string> printerNames_;
    std::vector<std::string> jobCaptions_;

    std::unique_ptr<OverviewList> overview_;
    bool lampSelector_ = false;                    // the selector is the owner-drawn one
    std::vector<std::optional<Lamp>> itemLamps_;    // by selector index
    bool listHint_ = false;                        // the list view has its hint (the overview's supplies)
    std::pair<int, int> hintCell_{-1, -1};          // the cell whose hint the pointer is over
    std::wstring cellHint_;
};

}  // namespace quenlo::winapp
