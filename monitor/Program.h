// TProgram: the program below Quenlo's window, whichever toolkit draws it. It owns the printer list,
// the window's HTTP client HttpCli1, the monitor logic (TMonitor), the gateways, the start-up and
// shut-down order, the background watch and what the tray shows of it. A window only draws what it
// is told (through MonitorView and the events below) and forwards its input (Run).
//
// Life cycle, the same for every window:
//
//   TForm1 form;                       // the window exists, hidden; it is the MonitorView
//   TProgram program(form);            // assign the events before Start
//   if (program.Start()) {             // printers file read, gateways started, the view filled,
//       form.Show(); ...event loop...  // the first refresh, and the watch when the file asks for it
//   } else if (fromMenu) {
//       ...message box with program.SetupHint()...
//   }
//   ...single-instance lock released...
//   program.EndGateways();             // gateways terminated in list order
//   ...tray icon removed...
//   program.EndWatch();                // the watch's subscriptions cancelled (waits at most 1 s)
//
// The layout of the window (geometry, anchors, captions, menus, colours) is data in form::, so the
// windows of both systems cannot drift apart.
//
// Threads: everything runs on the thread that made the program, in its event loop (the watch's
// requests and the tray's tick are messages of that loop); events fire from inside it.
#pragma once

#include "config/PrintersFile.h"
#include "monitor/MonitorView.h"
#include "monitor/Overview.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quenlo {

class TMonitor;
class THttpCli;
class TWatcher;

// ---------------------------------------------------------------------------------------------
// The window as data

namespace form {

struct Rect {
    int x = 0, y = 0, width = 0, height = 0;
    int Right() const { return x + width; }
    int Bottom() const { return y + height; }
};

// What a control keeps when the window grows beyond its design size.
enum Anchor : std::uint8_t {
    kKeepPlace = 0,
    kKeepRightMargin = 1,   // its right edge moves with the window's: it widens
    kKeepRightDistance = 2, // it moves with the window's right edge
    kKeepBottomMargin = 4,  // its bottom edge moves with the window's: it grows
};

struct Control {
    const char* name;     // the design's component name
    Rect rect;            // client coordinates at the design size; a label's width is its text's
    std::uint8_t anchors;
    const char* text;     // its text before the first refresh (labels only)
};

inline constexpr const char* kTitle = "Quenlo";  // the window's title, the tray's tip, message boxes
inline constexpr int kClientWidth = 600;          // design size of the client area, also its minimum
inline constexpr int kClientHeight = 300;
inline constexpr int kDesignFrameWidth = 608;     // the outer size of the original layout
inline constexpr int kDesignFrameHeight = 329;
inline constexpr int kTaskBarRoom = 30;           // kept free below the window for the task bar
inline constexpr int kLabelHeight = 13;
inline constexpr int kDefaultColumnWidth = 50;
inline constexpr int kSelectorVisibleItems = 10;
inline constexpr int kLampSize = 16;
inline constexpr unsigned kMinimizeAfterMs = 1000;  // TimerMinimize: start-up to the tray
inline constexpr std::uint8_t kTextRgb[3] = {204, 204, 255};  // 16764108, every text on the black panel
inline constexpr int kFontPoints = 8;  // the system's sans-serif ("MS Sans Serif" on Windows)

// In the window's stacking order.
inline constexpr Control kLabelStatus{"LabelStatus", {24, 24, 0, kLabelHeight}, kKeepPlace, "LabelStatus"};
inline constexpr Control kImageStatus{"ImageStatus", {0, 23, kLampSize, kLampSize}, kKeepPlace, ""};
inline constexpr Control kLabelComment{"LabelComment", {24, 56, 0, kLabelHeight}, kKeepPlace, "Megjegyzés:"};
inline constexpr Control kRefreshButton{"RefreshButton", {581, 61, 18, 18}, kKeepRightDistance, ""};
inline constexpr Control kLabelPrinterStatus{"LabelPrinterStatus", {24, 40, 0, kLabelHeight}, kKeepPlace,
                                             "printer - unknown"};
inline constexpr Control kImagePrinterStatus{"ImagePrinterStatus", {0, 39, kLampSize, kLampSize}, kKeepPlace, ""};
inline constexpr Control kComboBoxPrinterlist{"ComboBoxPrinterlist", {0, 0, 600, 21}, kKeepRightMargin, ""};
inline constexpr Control kListView{"ListView", {0, 80, 600, 219}, kKeepRightMargin | kKeepBottomMargin, ""};
inline constexpr const char* kRefreshHint = "Lista frissítése";

// Where a control goes in a client area of the given size, by its anchors.
Rect Anchored(const Control& control, int clientWidth, int clientHeight);
// The top-left corner of a window frame of the given size against the bottom-right corner of the
// desktop (all screens), kTaskBarRoom above its bottom.
struct Point {
    int x = 0, y = 0;
};
Point BottomRightPlacement(const Rect& desktop, int frameWidth, int frameHeight);

// What the window's input asks of the program.
enum class Command : std::uint8_t {
    Refresh,        // a printer chosen in the selector, or the refresh button
    CancelJob,      // job menu
    HoldJob,
    ReleaseJob,
    PausePrinter,   // printer menu
    ResumePrinter,
    PurgeJobs,
    // The administrator's window ("admin"): job menu
    MoveJob,        // its submenu holds the server's queues (TProgram::MoveTargets, RunMove)
    RestartJob,
    PrintFirst,
    JobDetails,
    // printer menu
    RejectJobs,
    AcceptJobs,
    MoveAllJobs,    // a submenu like MoveJob's
    FinishedJobs,   // a switch: the finished jobs instead of the waiting ones, and back
};
const char* to_string(Command command) noexcept;

struct MenuItem {
    const char* name;     // the design's component name
    const char* caption;
    Command command;
    std::uint16_t id;     // the item's command number where a system numbers its menu items
};
// A move's submenu: the queues MoveTargets gave, in its order.
inline constexpr bool OpensQueues(Command command) { return command == Command::MoveJob || command == Command::MoveAllJobs; }
// The job list's popup menu, and the printer menu of the selector, the labels and the lamps.
inline constexpr std::array<MenuItem, 3> kJobMenu{{
    {"Megszakit", "Megszakít", Command::CancelJob, 101},
    {"Szunet", "Szünet", Command::HoldJob, 102},
    {"Folytat", "Folytat", Command::ReleaseJob, 103},
}};
inline constexpr std::array<MenuItem, 3> kPrinterMenu{{
    {"Nyomtatofelfuggesztese", "Nyomtató felfüggesztése", Command::PausePrinter, 201},
    {"Nyomtatofolytatasa", "Nyomtató folytatása", Command::ResumePrinter, 202},
    {"Osszesfeladattorlese", "Összes feladat törlése", Command::PurgeJobs, 203},
}};
// In the administrator's window the menus go on with these. The printer menu's last item is a
// switch, checked while the finished jobs show.
inline constexpr std::array<MenuItem, 4> kAdminJobMenu{{
    {"Athelyezes", "Áthelyezés", Command::MoveJob, 104},
    {"Ujranyomtatas", "Újranyomtatás", Command::RestartJob, 105},
    {"Elsokent", "Nyomtatás elsőként", Command::PrintFirst, 106},
    {"Reszletek", "Részletek", Command::JobDetails, 107},
}};
inline constexpr std::array<MenuItem, 4> kAdminPrinterMenu{{
    {"Elutasitas", "Feladatok elutasítása", Command::RejectJobs, 204},
    {"Fogadas", "Feladatok fogadása", Command::AcceptJobs, 205},
    {"Osszesathelyezese", "Összes feladat áthelyezése", Command::MoveAllJobs, 206},
    {"Befejezett", "Befejezett feladatok", Command::FinishedJobs, 207},
}};
// The command numbers of a move submenu's queues: the first queue's, and room for this many.
inline constexpr std::uint16_t kMoveJobTargetId = 1000;
inline constexpr std::uint16_t kMoveAllTargetId = 2000;
inline constexpr std::uint16_t kMoveTargetRoom = 1000;

}  // namespace form

// ---------------------------------------------------------------------------------------------
// The tray

// A balloon of the tray: title and body as bytes (decode them for display), and its icon. A desktop
// that keeps one notification per printer replaces it by the printer's next notice.
struct TrayNotice {
    enum class Icon : std::uint8_t { Information, Warning, Error };
    std::string title;
    std::string text;
    Icon icon = Icon::Information;
    std::size_t printer = 0;   // its index in Printers(), the same for the whole run
    Lamp lamp = Lamp::Green;   // the printer's lamp when the notice was given
    bool warning = false;      // a new warning, not a change of the lamp or the errors
    // The watch saw the printer paused by someone, and the printers file's "admin" lets this user
    // resume it from the notice (ResumeNoticed).
    bool resumable = false;
};

// What the tray shows while the watch runs. Without the watch: the plain icon and form::kTitle.
struct TrayState {
    Lamp lamp = Lamp::Green;  // the worst lamp of all printers, drawn in the icon's corner
    // form::kTitle, then one line per printer that is not green or reports something (its printer
    // line, an en dash, its errors and warnings), joined with '\n'.
    std::string tip = form::kTitle;
};

// The worst of the lamps: red over yellow over green.
Lamp WorstLamp(Lamp a, Lamp b);

class TProgram {
public:
    // How long EndWatch waits by default for the servers to drop the watch's subscriptions.
    static constexpr std::chrono::milliseconds kWatchEndLimit{1000};
    // How often held notices and a pending follow refresh are looked at.
    static constexpr unsigned kTickMs = 500;

    // `view` must outlive the program. `exeDir`: the gateway program's folder, ending with the
    // separator; empty: the executable's folder.
    explicit TProgram(MonitorView& view, std::string exeDir = {});
    // Ends the gateways and the watch (without waiting), if that was not done yet.
    ~TProgram();
    TProgram(const TProgram&) = delete;
    TProgram& operator=(const TProgram&) = delete;

    // The start-up: locates and reads the printers file (each printer's gateway starts at its
    // "<endprinter>" line), hands the file's proxy to HttpCli1, adds the job list's columns and the
    // printers to the selector, selects the first and refreshes it, and starts the watch when the
    // file's "watch" is above 0 (the tray's state is then reported at once). With the file's
    // "admin" and a view that draws the overview, the overview is the selector's first item and is
    // chosen instead of the first printer (the watch starts before it, so it shows the watch's rows). False when there is
    // nothing to watch (no file, an unreadable one, or one without printers): SetupHint() says why.
    // Runs once; a second call returns what the first did.
    bool Start();
    // After a Start that returned false: the Hungarian text that says why there is nothing to watch
    // and how to add printers (config/SetupHint.h), UTF-8 with CR line breaks.
    const std::string& SetupHint() const { return setupHint_; }

    // What the window's input asks for; every outcome shows in the view (message boxes included).
    // Choosing the overview (the selector's first item in the administrator's window) shows its
    // rows: under the watch as the watch knows them, else after one look at every server, each
    // row as its answer comes. On the overview the job and printer commands do nothing (a row's
    // printer menu is RunOnRow).
    void Run(form::Command command);

    // ---- The administrator's window (the printers file's "admin" key, and a view that draws it)
    // With it the window adds form::kAdminJobMenu and kAdminPrinterMenu to its menus and lets the
    // job list select several rows: cancel, hold, release and move then act on each selected job.
    bool Administers() const { return overview_; }
    // The queues a move may go to (for a move's submenu): the names in the server's own list but
    // the chosen printer's own queue. Nothing (and no request) on the overview, for a direct
    // entry and without a chosen printer; nothing, with the box that says why, when the server
    // does not give its list.
    std::optional<std::vector<std::string>> MoveTargets();
    // The selected jobs (allJobs: every job of the printer) moved to that queue of the server.
    void RunMove(const std::string& destination, bool allJobs);
    // Whether the job list shows the finished jobs (form::Command::FinishedJobs switches).
    bool ShowsFinished() const;

    // ---- The overview of every printer (the printers file's "admin" key, and a view that draws it)
    bool OnOverview() const { return onOverview_; }
    // The row's printer is opened: its selector item chosen and its queue shown, as the selector does.
    void OpenRow(std::size_t row);
    // A printer menu command on the row's printer; CurrentPrinter stays what it was. The row
    // follows: under the watch at its next look, else by a look at once.
    void RunOnRow(form::Command command, std::size_t row);

    // Terminates the started gateways in list order. Safe to call again (and at any time, also from
    // an exit handler).
    void EndGateways();
    // The end of the watch: no more looks, notices or follow refreshes; each server is asked to drop
    // the watch's subscriptions, and their answers are awaited at most `limit`, with only the
    // network's own loop running (no toolkit event). Does nothing without a watch or a second time.
    void EndWatch(std::chrono::milliseconds limit = kWatchEndLimit);

    // ---- What a notice's actions ask for (TrayNotice::printer)
    // The printer shown in the window: its selector item chosen (the overview left) and refreshed.
    void OpenNoticed(std::size_t printer);
    // The printer resumed as the printer menu does (the same refusal boxes), if its notice was
    // resumable; CurrentPrinter stays as it is.
    void ResumeNoticed(std::size_t printer);

    // ---- State, for the windows and their tests -----------------------------------------------
    const PrinterList& Printers() const { return printers_; }
    TMonitor& Monitor();
    THttpCli& HttpCli1();
    // The watch; nullptr unless the printers file sets "watch" above 0.
    TWatcher* Watcher();
    bool Watching() const { return watch_ != nullptr; }
    const TrayState& Tray() const;
    // The selected printer's errors and warnings for the printer lamp's hint ("Hiba: ...",
    // "Figyelmeztetés: ...", one line each); empty without the watch or alerts.
    const std::string& LampHint() const;
    // Follow refreshes run so far (for tests).
    int FollowCount() const;

    // ---- Events (assign before Start) ---------------------------------------------------------
    // The tray's lamp or tip changed (see Tray()).
    std::function<void(TProgram& sender)> OnTrayChanged;
    // A balloon to show now.
    std::function<void(TProgram& sender, const TrayNotice& notice)> OnNotice;
    // A printer whose red or yellow notice was given has been green again for a watch interval
    // (before its "works again" notice, which waits for the printer's minute): a notification
    // still shown for it is stale.
    std::function<void(TProgram& sender, std::size_t printer)> OnGreenAgain;
    // The printer lamp's hint changed (see LampHint()).
    std::function<void(TProgram& sender)> OnLampHintChanged;
    // Whether the window is on the screen (shown and not minimised): only then does the view follow
    // the watch, within about a second of a change of the selected printer, at most once per watch
    // interval; one that waits runs when the window is shown again. Unset: never.
    std::function<bool()> ViewShown;

private:
    class Watch;

    void ChooseOverview();
    // The printer's state changed under the watch or a look: its row and its selector item follow.
    void PrinterChanged(std::size_t index, const OverviewRow& row);
    void LookOnce();
    // The watch's watcher, or the last look's without the watch.
    const TWatcher& OverviewSource() const;
    void ShowOverviewSummary();
    // The administrator's commands of the job and printer menus.
    void RunAdmin(form::Command command);
    void SwitchJobList();

    MonitorView& view_;
    std::string exeDir_;
    PrinterList printers_;
    std::unique_ptr<THttpCli> httpCli1_;
    std::unique_ptr<TMonitor> monitor_;
    std::unique_ptr<Watch> watch_;
    ProxySettings proxy_;
    bool overview_ = false;
    bool onOverview_ = false;
    std::unique_ptr<TWatcher> look_;  // the last look of the overview without the watch
    std::string setupHint_;
    int started_ = -1;  // -1 not yet, then the result of Start
};

}  // namespace quenlo
