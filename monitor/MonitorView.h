// The window as the monitor logic sees it: the controls that the start-up, the refresh and the
// operations read and change, and nothing else.
//
// The Qt program (app/) implements it with the widgets of the main window, quenlo-cli (cli/) with
// text. Everything here is called on the user-interface thread. Texts are byte strings exactly as
// the logic holds them (Hungarian texts in UTF-8 source form, IPP values as received); the view
// decodes them for display, and a line break inside a message text is a single CR.
//
// Re-entrancy: the logic calls these while one of its blocking requests is waiting, and a message
// box runs the user-interface loop until it is closed, so other handlers of the window (the
// selector, the refresh button, the menus) may run inside any of these calls except the plain
// setters. A view never calls back into the logic from inside one of these functions.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace quenlo {

struct OverviewRow;  // monitor/Overview.h

// Indices of the traffic-light pictures in the window's image list.
enum class Lamp : int {
    Green = 0,   // answered / printer working and accepting jobs
    Yellow = 1,  // partly answered / printer stopped or not accepting jobs
    Red = 2,     // not checked yet, no connection or no answer
};

// The icon of a message box; the values are the message-box flag values of the icons.
enum class MessageIcon : int {
    Error = 0x10,
    Warning = 0x30,
    Information = 0x40,
};

// What the password question names: the server ("host:port") and the user, and when the store
// cannot keep a password, why (in the store's words; empty when it can).
struct PasswordQuestion {
    std::string server;
    std::string user;
    std::string noStore;
};
// The typed password, and whether to remember it in the store (on unless the user turned it off).
struct PasswordAnswer {
    std::string password;
    bool remember = true;
};

// The eight texts of one job row: the item caption ("job ID") and seven sub-items, in the order of
// the columns "job ID", "printer", "user", "job name", "size", "state", "state-reason",
// "time-at-creation".
using JobRow = std::array<std::string, 8>;
// A finished job's row: the eight texts, then the completion time and the pages printed.
using FinishedJobRow = std::array<std::string, 10>;

class MonitorView {
public:
    virtual ~MonitorView() = default;

    // --- Labels -----------------------------------------------------------------------------
    // The connection line (LabelStatus), next to the connection lamp.
    virtual void SetLabelStatus(const std::string& text) = 0;
    // The printer line (LabelPrinterStatus), next to the printer lamp.
    virtual void SetLabelPrinterStatus(const std::string& text) = 0;
    // The comment line (LabelComment).
    virtual void SetLabelComment(const std::string& text) = 0;

    // --- Lamps --------------------------------------------------------------------------------
    // Copy picture `lamp` of the image list into the connection lamp (ImageStatus) or the printer
    // lamp (ImagePrinterStatus) and repaint it at once, so the change is visible while a request
    // is still waiting.
    virtual void SetImageStatus(Lamp lamp) = 0;
    virtual void SetImagePrinterStatus(Lamp lamp) = 0;

    // --- Printer selector (ComboBoxPrinterlist) ---------------------------------------------------
    // Appends an item. Adding items never fires the selector's change notification.
    virtual void AddPrinterItem(const std::string& name) = 0;
    // Selects the item at `index` (0-based) without firing the change notification; the caller runs
    // the refresh itself when it wants one. An index out of range selects nothing.
    virtual void SelectPrinterItem(int index) = 0;
    // The text the selector shows now: the selected item's name, or empty when nothing is selected.
    virtual std::string PrinterText() const = 0;
    // Enables or disables the selector (the refresh disables it while its requests wait).
    virtual void SetPrinterSelectorEnabled(bool enabled) = 0;

    // --- Refresh button (RefreshButton) ---------------------------------------------------------
    virtual void SetRefreshButtonEnabled(bool enabled) = 0;

    // --- Job list (ListView) --------------------------------------------------------------------
    // Appends a column with its caption and width in pixels (start-up adds the eight columns once).
    virtual void AddJobColumn(const std::string& caption, int width) = 0;
    // Removes every row.
    virtual void ClearJobs() = 0;
    // Appends one row at the end of the list. The row is handed over: the view keeps its texts
    // without copying them.
    virtual void AddJobRow(JobRow&& row) = 0;
    // How many rows are selected now (the list allows at most one, but the logic checks for
    // exactly one).
    virtual int SelectedJobCount() const = 0;
    // The caption ("job ID" text) of the selected row; empty when no row is selected.
    virtual std::string SelectedJobCaption() const = 0;

    // The captions of every selected row, in the list's order. A list that allows one selection
    // keeps this default.
    virtual std::vector<std::string> SelectedJobCaptions() const
    {
        if (SelectedJobCount() != 1)
            return {};
        return {SelectedJobCaption()};
    }
    // The two columns of the finished jobs (kFinishedJobExtraColumns) after the eight, or not; the
    // rows are cleared first. A view without them keeps this default.
    virtual void SetFinishedColumns(bool /*shown*/) {}

    // Appends one row of the finished jobs (when the refresh lists those). A view without the two
    // further columns shows the eight.
    virtual void AddFinishedJobRow(FinishedJobRow&& row)
    {
        JobRow eight;
        std::move(row.begin(), row.begin() + eight.size(), eight.begin());
        AddJobRow(std::move(eight));
    }

    // --- Message box ----------------------------------------------------------------------------
    // Shows a modal message box with the caption "Quenlo", the given icon, the text (each CR is a
    // line break) and a single OK button, and returns when the user has closed it.
    virtual void ShowMessage(const std::string& text, MessageIcon icon) = 0;
    // Asks for a line of text under the prompt (a box with OK and Cancel); nothing when cancelled.
    // A view that cannot ask takes it as answered with an empty line.
    virtual std::optional<std::string> AskText(const std::string& /*prompt*/) { return std::string(); }

    // Asks for the password the server wants (a small dialog with the server, the user, a hidden
    // password field, "remember" on by default, OK and Cancel; without a store it says the
    // password will not be remembered, and offers no remembering); nothing when cancelled. The
    // caller clears the password once used. A view that cannot ask keeps this default: cancelled.
    virtual std::optional<PasswordAnswer> AskPassword(const PasswordQuestion& /*question*/) { return std::nullopt; }

    // --- The overview of every printer (the administrator's window) ------------------------------
    // A view that does not draw it keeps these defaults, and the program leaves it as it was.
    virtual bool DrawsOverview() const { return false; }
    // The selected item's index in the selector; -1 when nothing is selected.
    virtual int PrinterItemIndex() const { return -1; }
    // The list view shows these rows (one per printer, in the file's order) instead of the jobs,
    // and the job menu is off, until ShowJobList.
    virtual void ShowOverview(const std::vector<OverviewRow>& /*rows*/) {}
    // Row `index` (in the file's order) changed; the others stay as drawn.
    virtual void UpdateOverviewRow(std::size_t /*index*/, const OverviewRow& /*row*/) {}
    // The list view shows the job list again.
    virtual void ShowJobList() {}
    // The lamp of the selector's item `index`.
    virtual void SetPrinterItemLamp(int /*index*/, Lamp /*lamp*/) {}
};

}  // namespace quenlo

// The declarations of every MonitorView function, for a window that implements them all (both
// windows do), so that a function added above is declared in one more place only: its definitions.
#define QUENLO_MONITOR_VIEW_OVERRIDES                                                               \
    void SetLabelStatus(const std::string& text) override;                                          \
    void SetLabelPrinterStatus(const std::string& text) override;                                   \
    void SetLabelComment(const std::string& text) override;                                         \
    void SetImageStatus(Lamp lamp) override;                                                        \
    void SetImagePrinterStatus(Lamp lamp) override;                                                 \
    void AddPrinterItem(const std::string& name) override;                                          \
    void SelectPrinterItem(int index) override;                                                     \
    std::string PrinterText() const override;                                                       \
    void SetPrinterSelectorEnabled(bool enabled) override;                                          \
    void SetRefreshButtonEnabled(bool enabled) override;                                            \
    void AddJobColumn(const std::string& caption, int width) override;                              \
    void ClearJobs() override;                                                                      \
    void AddJobRow(JobRow&& row) override;                                                          \
    int SelectedJobCount() const override;                                                          \
    std::string SelectedJobCaption() const override;                                                \
    void ShowMessage(const std::string& text, MessageIcon icon) override;                           \
    int PrinterItemIndex() const override;                                                          \
    void ShowOverview(const std::vector<OverviewRow>& rows) override;                               \
    void UpdateOverviewRow(std::size_t index, const OverviewRow& row) override;                     \
    void ShowJobList() override;                                                                    \
    void SetPrinterItemLamp(int index, Lamp lamp) override;                                         \
    std::vector<std::string> SelectedJobCaptions() const override;                                  \
    void SetFinishedColumns(bool shown) override;                                                   \
    void AddFinishedJobRow(FinishedJobRow&& row) override;                                          \
    std::optional<std::string> AskText(const std::string& prompt) override;                          \
    std::optional<PasswordAnswer> AskPassword(const PasswordQuestion& question) override;
