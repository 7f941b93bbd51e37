// The overview of every printer in the window's list view: the rows the program core hands over,
// shown in the order the core's rule gives for the clicked header, instead of the job list.
//
// Rows keep the file's index: the program updates row N of the file, whatever place the sort has
// given it on the screen, and a row on the screen opens the printer of its file index. The lamp
// and the supplies' level bars are drawn by the list view's custom draw; every other cell is the
// list view's own text, so a screen reader (and the desktop test) reads the rows as they show.
#pragma once

#include "monitor/Overview.h"

#include <windows.h>
#include <commctrl.h>

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace quenlo::winapp {

class OverviewList {
public:
    // `list`: a report-style list view; `lamps`: the three lamp pictures by Lamp index. Both
    // must outlive the object.
    OverviewList(HWND list, const std::array<HICON, 3>& lamps);

    bool Shown() const { return shown_; }
    // The rows, in the file's order. The first call swaps the job list's columns for the overview's.
    void Show(const std::vector<OverviewRow>& rows);
    // Row `index` of the file changed: only its line is written and redrawn, unless the sort moves it.
    void Update(std::size_t index, const OverviewRow& row);
    // The job list's columns back, with their widths; no rows.
    void Hide();
    // A click on a header: sorts by that column; a second click on the same one turns the order round.
    void HeaderClicked(int column);
    // The file index of the row shown at `screenRow`; nullopt outside the rows.
    std::optional<std::size_t> PrinterIndex(int screenRow) const;
    // The file index of the selected row; nullopt when none is.
    std::optional<std::size_t> SelectedPrinter() const;
    // The list view's NM_CUSTOMDRAW while the overview shows: the lamp and the level bars.
    LRESULT CustomDraw(const NMLVCUSTOMDRAW& draw) const;
    // The hint of the cell at `point` (list view client coordinates): the supplies' names and
    // levels, one per line; empty elsewhere.
    std::wstring CellHint(POINT point) const;
    // The (screen row, column) at `point`, for noticing that the pointer went to another cell.
    std::pair<int, int> CellAt(POINT point) const;

private:
    struct JobColumn {
        std::wstring caption;
        int width;
    };
    void SwapColumns(bool toOverview);
    void Sort();
    void WriteRows();
    void WriteRow(int screenRow);
    int ScreenRowOf(std::size_t index) const;
    void Select(std::optional<std::size_t> index);

    HWND list_;
    const std::array<HICON, 3>& lamps_;
    bool shown_ = false;
    std::vector<JobColumn> jobColumns_;  // kept while the overview shows
    std::vector<OverviewRow> rows_;
    std::vector<std::size_t> order_;     // screen row -> file index
    std::optional<OverviewColumn> sortColumn_;
    bool descending_ = false;
};

// The supplies as small bars side by side in `cell`, each filled to its level in its marker colour
// (grey when the colour is not one known), its low level marked with a red line.
void DrawSupplyBars(HDC dc, const RECT& cell, const std::vector<Supply>& supplies);

}  // namespace quenlo::winapp
