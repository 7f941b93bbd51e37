// TForm1: Quenlo's one window, its tray icon and its minimise timer, and the start-up and
// shutdown that run in its creation and destruction handlers.
//
// The window is a small, always-on-top black panel (client area 600 x 300, never smaller): the
// printer selector across the top, the connection and printer lamps with their lines, the comment
// line, the refresh button at the right and the job list below. The job list has the job popup menu
// (cancel, hold, release), the selector and the status area have the printer popup menu (pause,
// resume, purge). One second after start-up the window goes to the notification area; a left click
// on the tray icon brings it back. On a desktop without a notification area the window is
// minimised instead, so the task bar brings it back; when a notification area appears later (a
// panel started after the program), the window still waiting minimised moves there. As a native
// Wayland client the window has a fixed size and leaves its place to the compositor; where the
// compositor ignores the minimise, it waits in view, and moves to a notification area that appears
// unless it was clicked or typed in meanwhile.
//
// Life cycle (app/main.cpp):
//   TForm1 form;  form.FormCreate();   // placement, printers file, gateways, columns, selector,
//                                      // first refresh, minimise timer
//   if (!form.TerminationRequested()) { form.show(); app.exec(); }
//   ... the single-instance lock is released ...
//   destruction runs FormDestroy: gateways terminated in list order, tray icon removed, the
//                                      // watch's subscriptions cancelled (at most 1 s)
//
// TForm1 is also the monitor logic's view (monitor/MonitorView.h): the refresh and the operations
// set the labels, lamps and rows through it and read the selector and the selected row.
#pragma once

#include "config/PrintersFile.h"
#include "monitor/MonitorView.h"
#include "monitor/Program.h"

#include <QIcon>
#include <QPixmap>
#include <QRect>
#include <QSystemTrayIcon>
#include <QWidget>
#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QAction;
class QComboBox;
class QLabel;
class QMenu;
class QMessageBox;
class QTableView;
class QTimer;
class QToolButton;

namespace quenlo::app {

class DesktopNotifications;
class JobListModel;
class OverviewModel;
class StatusNotifierItem;

// Design size of the window: client area and the outer size with the frame of the original layout.
inline constexpr int kClientWidth = form::kClientWidth;
inline constexpr int kClientHeight = form::kClientHeight;
inline constexpr int kDesignWidth = form::kDesignFrameWidth;
inline constexpr int kDesignHeight = form::kDesignFrameHeight;

// Where the window frame's top-left corner goes on a desktop (the union of all screens): the design
// size against the bottom-right corner, 30 pixels above the bottom for the task bar. A frame that
// the window manager makes larger than the design size is placed by its own size instead, so it
// stays whole on the desktop; a smaller one keeps the design place.
QPoint BottomRightPlacement(const QRect& desktop, const QSize& frame = QSize(kDesignWidth, kDesignHeight));

class TForm1 : public QWidget, public MonitorView {
public:
    // What start-up takes from its surroundings; the defaults are the real ones, tests replace them.
    struct Options {
        // Directory of the gateway program, with a trailing "/"; empty: the executable's directory.
        std::string exeDir;
        // Whether the desktop has a notification area; unset: ask the desktop.
        std::optional<bool> trayAvailable;
        // Started from the menu (--from-menu): a start without printers says so in a message box,
        // naming the folders looked in and the command that adds printers, before the program
        // ends. Otherwise (a session's autostart) it ends silently.
        bool explainSetup = false;
    };

    explicit TForm1(Options options);
    TForm1();
    // Runs FormDestroy.
    ~TForm1() override;
    TForm1(const TForm1&) = delete;
    TForm1& operator=(const TForm1&) = delete;

    // --- Start-up and shutdown ------------------------------------------------------------------
    // The start-up sequence: place the window, hook minimising, locate and read the printers file
    // (starting each printer's gateway at its "<endprinter>" line), add the job list columns, fill
    // the selector, select the first printer and refresh it once, arm the minimise timer. With no
    // printers file, or one without printers, it stops early and requests termination, silently
    // unless Options::explainSetup asks for the message box (also written to standard error).
    // Runs once; a second call does nothing.
    void FormCreate();
    // True when start-up asked the program to end (no file, no printers).
    bool TerminationRequested() const { return terminationRequested_; }
    // The text of that message box, when FormCreate opened one; empty otherwise. The box is open
    // when FormCreate returns; closing it quits the application's event loop, which the program
    // then runs for it instead of showing the window.
    const std::string& SetupHint() const { return setupHint_; }
    // Terminates the started gateways in list order and removes the tray icon. Runs once (the
    // destructor calls it); later calls do nothing.
    void FormDestroy();
    // Terminates the started gateways at once, for a process that ends without FormDestroy (the
    // toolkit exits when its display goes away). Safe to call more than once.
    void EndGateways();

    // --- Handlers ------------------------------------------------------------------------------
    // The selector's choice, the refresh button and the menus' items (monitor/Program.h).
    void Run(form::Command command);
    // Minimise timer tick: disables the timer and minimises the application.
    void TimerMinimizeTimer();
    // Runs whenever the application is minimised: minimise, add the tray icon, hide the window.
    // Without a notification area the window stays minimised on the task bar instead.
    void ApplicationMinimize();
    // The tray icon's callback: only a left click (Trigger) shows the window again, removes the
    // icon and brings the window to the front; every other activation is ignored.
    void TrayIconMessage(QSystemTrayIcon::ActivationReason reason);

    // --- MonitorView ---------------------------------------------------------------------------
    QUENLO_MONITOR_VIEW_OVERRIDES
    bool DrawsOverview() const override { return true; }

    // --- Components (read access for the program and its tests) ---------------------------------
    QComboBox* ComboBoxPrinterlist() const { return comboBoxPrinterlist_; }
    QTableView* ListView() const { return listView_; }
    // The rows the job list shows, as they were handed over.
    JobListModel* JobList() const { return jobList_; }
    // The overview's rows, in the administrator's window; the list view shows them while it is chosen.
    OverviewModel* Overview() const { return overview_; }
    QMenu* PopupMenu() const { return popupMenu_; }
    QAction* Megszakit() const { return jobItems_[0]; }
    QAction* Szunet() const { return jobItems_[1]; }
    QAction* Folytat() const { return jobItems_[2]; }
    QLabel* LabelStatus() const { return labelStatus_; }
    QLabel* ImageStatus() const { return imageStatus_; }
    QLabel* LabelComment() const { return labelComment_; }
    QToolButton* RefreshButton() const { return refreshButton_; }
    QLabel* LabelPrinterStatus() const { return labelPrinterStatus_; }
    QLabel* ImagePrinterStatus() const { return imagePrinterStatus_; }
    QMenu* PopupMenuPrinter() const { return popupMenuPrinter_; }
    QAction* Nyomtatofelfuggesztese() const { return printerItems_[0]; }
    QAction* Nyomtatofolytatasa() const { return printerItems_[1]; }
    QAction* Osszesfeladattorlese() const { return printerItems_[2]; }
    // The administrator's items (form::kAdminJobMenu, kAdminPrinterMenu), in the administrator's
    // window only; a move's item opens its submenu of the server's queues.
    const std::vector<QAction*>& AdminItems() const { return adminItems_; }
    QTimer* TimerMinimize() const { return timerMinimize_; }
    QSystemTrayIcon* TrayIcon() const { return trayIcon_; }
    // The three lamp pictures, by Lamp index.
    const QPixmap& ImageListPicture(Lamp lamp) const {
        return imageList_[static_cast<std::size_t>(lamp)];
    }
    // Which lamp each lamp control shows now; unset before the first refresh.
    std::optional<Lamp> StatusLamp() const { return statusLamp_; }
    std::optional<Lamp> PrinterStatusLamp() const { return printerStatusLamp_; }

    const PrinterList& Printers() const { return program_->Printers(); }
    const std::string& ExeDir() const { return exeDir_; }
    // Whether the desktop has a notification area now (or what the options say).
    bool TrayAvailable() const;
    // The program below the window: printers, HttpCli1, the monitor logic, the watch and its tray.
    TProgram& Program() const { return *program_; }

protected:
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void CreateComponents();
    void CreateMenus();
    void AttachPrinterMenu(QWidget* control);
    void ListViewMenu(const QPoint& pos);
    void PrinterMenuClick(form::Command command);
    // The administrator's items after the menus' own, and the list's multiple selection.
    void AddAdminItems();
    // The move submenus get the server's queues, just before a menu opens.
    void FillMoveMenus();
    void EnableJobItems(bool enabled);
    void ListViewActivated(const QModelIndex& index);
    void SetLabelText(QLabel* label, const std::string& text);
    void SetLamp(QLabel* image, std::optional<Lamp>& shown, Lamp lamp);
    void RequestTermination();
    // With Options::explainSetup: opens the box that says why there is nothing to watch.
    void ExplainSetup();
    void LayOut();
    void KeepFrameOnTheDesktop();
    // The tray icon and tip: with the watch its lamp and lines, else the plain icon and "Quenlo".
    void ShowTrayState();
    void ShowNotice(const TrayNotice& notice);
    // The watch's notices as the desktop's notifications where a notification server runs, the
    // tray's balloons elsewhere; their actions open or resume the printer.
    void ConnectNotices();
    // A notification's "open": the window brought back (raised with the activation token the
    // notification server handed over, where the platform takes one) and the printer shown.
    void OpenNoticed(std::size_t printer, const QString& token);
    // While the window waits on the task bar for want of a notification area: moves it to one
    // that has appeared since, unless the user has taken the window back meanwhile.
    void LookForTray();
    void StopWaitingForTray();
    // Whether the tray icon is the program's own StatusNotifier item: the toolkit's answer stands
    // against a notification area on the session bus that appeared after it asked.
    bool UsesOwnItem() const;

    Options options_;
    std::string exeDir_;
    std::string setupHint_;
    std::unique_ptr<QMessageBox> setupBox_;
    // Start-up has run: from then on a minimised window goes to the tray.
    bool created_ = false;
    bool destroyed_ = false;
    bool minimizing_ = false;
    // Set by the placement until the window manager's frame is known and has been fitted once.
    bool fittingFrame_ = false;
    bool terminationRequested_ = false;
    // Put away while there was no notification area: goes to one that appears.
    bool waitingForTray_ = false;

    // Components, in the window's stacking order.
    QLabel* labelStatus_ = nullptr;
    QLabel* imageStatus_ = nullptr;
    QLabel* labelComment_ = nullptr;
    QToolButton* refreshButton_ = nullptr;
    QLabel* labelPrinterStatus_ = nullptr;
    QLabel* imagePrinterStatus_ = nullptr;
    QComboBox* comboBoxPrinterlist_ = nullptr;
    QTableView* listView_ = nullptr;
    JobListModel* jobList_ = nullptr;
    OverviewModel* overview_ = nullptr;
    std::vector<int> jobColumnWidths_;  // kept while the overview shows
    // The overview row whose printer the printer menu acts on; unset when it opened elsewhere.
    std::optional<std::size_t> menuRow_;
    std::array<QPixmap, 3> imageList_;
    QMenu* popupMenu_ = nullptr;
    std::array<QAction*, form::kJobMenu.size()> jobItems_{};       // form::kJobMenu's items
    QMenu* popupMenuPrinter_ = nullptr;
    std::array<QAction*, form::kPrinterMenu.size()> printerItems_{};  // form::kPrinterMenu's items
    std::vector<QAction*> adminItems_;
    std::vector<QMenu*> moveMenus_;  // a move's submenu, each with the command it runs
    QAction* finishedItem_ = nullptr;
    QTimer* timerMinimize_ = nullptr;
    QTimer* trayWait_ = nullptr;
    QSystemTrayIcon* trayIcon_ = nullptr;
    StatusNotifierItem* ownItem_ = nullptr;  // without Options::trayAvailable only
    DesktopNotifications* notifications_ = nullptr;
    QIcon appIcon_;
    std::optional<Lamp> statusLamp_;
    std::optional<Lamp> printerStatusLamp_;

    // Last: it refers to the window as its view, so it goes first.
    std::unique_ptr<TProgram> program_;
};

// The application icon with the lamp in its bottom-right corner.
QIcon IconWithLamp(const QIcon& appIcon, const QPixmap& lamp);

}  // namespace quenlo::app
