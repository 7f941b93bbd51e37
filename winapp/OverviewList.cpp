#include "winapp/OverviewList.h"

#include "monitor/MonitorTexts.h"
#include "monitor/PrinterSays.h"
#include "platform/Text.h"
#include "winapp/WideText.h"

#include <algorithm>
#include <numeric>

namespace quenlo::winapp {

namespace {

constexpr int kBarWidth = 7;
constexpr int kBarGap = 2;
constexpr int kBarHeight = 12;
// The overview's rows are as high as a lamp and a pixel above and below it; an image list of that
// height (and one pixel wide: column 0 is the lamp, drawn over) is what makes a list view's rows so.
constexpr int kRowHeight = 18;

int ColumnOf(OverviewColumn column) {
    for (std::size_t c = 0; c < kOverviewColumns.size(); ++c)
        if (kOverviewColumns[c].column == column)
            return static_cast<int>(c);
    return -1;
}

LRESULT Send(HWND w, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) { return SendMessageW(w, message, wParam, lParam); }

int ColumnCount(HWND list) {
    HWND header = reinterpret_cast<HWND>(Send(list, LVM_GETHEADER));
    return header ? static_cast<int>(Send(header, HDM_GETITEMCOUNT)) : 0;
}

void InsertColumn(HWND list, int at, std::wstring caption, int width) {
    LVCOLUMNW column{};
    column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
    column.fmt = LVCFMT_LEFT;
    column.cx = width;
    column.pszText = caption.data();
    Send(list, LVM_INSERTCOLUMNW, static_cast<WPARAM>(at), reinterpret_cast<LPARAM>(&column));
}

std::wstring AlertsText(const OverviewRow& row) {
    std::string text;
    if (!row.errors.empty())
        text = texts::kHintErrors + row.errors;
    if (!row.warnings.empty())
        text += (text.empty() ? "" : " ") + std::string(texts::kHintWarnings) + row.warnings;
    return WideIsolated(text);
}

std::wstring CellText(const OverviewRow& row, OverviewColumn column) {
    switch (column) {
    case OverviewColumn::Name: return WideIsolated(row.name);
    case OverviewColumn::Server: return WideIsolated(row.server);
    case OverviewColumn::Line: return WideIsolated(row.line);
    case OverviewColumn::Jobs: return row.jobs >= 0 ? std::to_wstring(row.jobs) : std::wstring();
    case OverviewColumn::Alerts: return AlertsText(row);
    case OverviewColumn::Lamp:     // drawn
    case OverviewColumn::Supplies:
        break;
    }
    return {};
}

// The first colour of a marker: "#RRGGBB" (a multi-colour supply lists several), or a colorant's
// name; grey for anything else.
COLORREF MarkerColour(const std::string& colour) {
    if (colour.size() >= 7 && colour[0] == '#') {
        int v[6];
        for (int i = 0; i < 6; ++i)
            if ((v[i] = platform::HexDigitValue(colour[static_cast<std::size_t>(i) + 1])) < 0)
                return RGB(128, 128, 128);
        return RGB(v[0] * 16 + v[1], v[2] * 16 + v[3], v[4] * 16 + v[5]);
    }
    struct Named {
        const char* name;
        COLORREF colour;
    };
    static constexpr Named kNamed[] = {
        {"black", RGB(0, 0, 0)},       {"cyan", RGB(0, 255, 255)}, {"magenta", RGB(255, 0, 255)},
        {"yellow", RGB(255, 255, 0)},  {"red", RGB(255, 0, 0)},    {"green", RGB(0, 128, 0)},
        {"blue", RGB(0, 0, 255)},      {"white", RGB(255, 255, 255)},
    };
    for (const Named& n : kNamed)
        if (lstrcmpiA(colour.c_str(), n.name) == 0)
            return n.colour;
    return RGB(128, 128, 128);
}

void FillWith(HDC dc, const RECT& r, COLORREF colour) {
    HBRUSH brush = CreateSolidBrush(colour);
    FillRect(dc, &r, brush);
    DeleteObject(brush);
}

}  // namespace

void DrawSupplyBars(HDC dc, const RECT& cell, const std::vector<Supply>& supplies) {
    const int top = cell.top + std::max(0, static_cast<int>((cell.bottom - cell.top - kBarHeight) / 2));
    const int inner = kBarHeight - 2;
    HPEN frame = CreatePen(PS_SOLID, 1, RGB(96, 96, 96));
    HPEN low = CreatePen(PS_SOLID, 1, RGB(255, 0, 0));
    HGDIOBJ oldPen = SelectObject(dc, frame);
    HGDIOBJ oldBrush = SelectObject(dc, GetStockObject(NULL_BRUSH));
    int x = cell.left + 2;
    for (const Supply& s : supplies) {
        if (x + kBarWidth > cell.right)
            break;  // the cell's width shows as many as fit
        SelectObject(dc, frame);
        Rectangle(dc, x, top, x + kBarWidth, top + kBarHeight);
        if (s.level > 0) {
            const int filled = inner * std::min(s.level, 100) / 100;
            FillWith(dc, {x + 1, top + 1 + inner - filled, x + kBarWidth - 1, top + 1 + inner}, MarkerColour(s.colour));
        }
        if (s.low >= 0) {
            const int y = top + inner - inner * std::min(s.low, 100) / 100;
            SelectObject(dc, low);
            MoveToEx(dc, x, y, nullptr);
            LineTo(dc, x + kBarWidth, y);
        }
        x += kBarWidth + kBarGap;
    }
    SelectObject(dc, oldBrush);
    SelectObject(dc, oldPen);
    DeleteObject(frame);
    DeleteObject(low);
}

OverviewList::OverviewList(HWND list, const std::array<HICON, 3>& lamps) : list_(list), lamps_(lamps) {}

void OverviewList::Show(const std::vector<OverviewRow>& rows) {
    if (!shown_)
        SwapColumns(true);
    shown_ = true;
    const std::optional<std::size_t> selected = SelectedPrinter();
    rows_ = rows;
    Sort();
    Send(list_, WM_SETREDRAW, FALSE);
    Send(list_, LVM_DELETEALLITEMS);
    Send(list_, LVM_SETITEMCOUNT, rows_.size());
    for (std::size_t r = 0; r < rows_.size(); ++r) {
        LVITEMW item{};
        item.mask = LVIF_TEXT;
        item.iItem = static_cast<int>(r);
        item.pszText = const_cast<wchar_t*>(L"");
        Send(list_, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
    }
    WriteRows();
    Select(selected);
    Send(list_, WM_SETREDRAW, TRUE);
    InvalidateRect(list_, nullptr, TRUE);
}

void OverviewList::Update(std::size_t index, const OverviewRow& row) {
    if (!shown_ || index >= rows_.size())
        return;
    rows_[index] = row;
    if (sortColumn_) {
        const std::vector<std::size_t> before = order_;
        Sort();
        if (order_ != before) {
            // The row moved: the others keep their places among themselves, the selection its printer.
            const std::optional<std::size_t> selected = [&]() -> std::optional<std::size_t> {
                const LRESULT at = Send(list_, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED);
                if (at < 0 || static_cast<std::size_t>(at) >= before.size())
                    return std::nullopt;
                return before[static_cast<std::size_t>(at)];
            }();
            WriteRows();
            Select(selected);
            InvalidateRect(list_, nullptr, FALSE);
            return;
        }
    }
    const int at = ScreenRowOf(index);
    WriteRow(at);
    // The drawn cells (lamp, bars) change without a text: the line is drawn again all the same.
    Send(list_, LVM_REDRAWITEMS, static_cast<WPARAM>(at), at);
}

void OverviewList::Hide() {
    if (!shown_)
        return;
    shown_ = false;
    rows_.clear();
    order_.clear();
    Send(list_, LVM_DELETEALLITEMS);
    SwapColumns(false);
}

void OverviewList::HeaderClicked(int column) {
    if (!shown_ || column < 0 || static_cast<std::size_t>(column) >= kOverviewColumns.size())
        return;
    const OverviewColumn clicked = kOverviewColumns[static_cast<std::size_t>(column)].column;
    const std::optional<std::size_t> selected = SelectedPrinter();
    descending_ = sortColumn_ == clicked && !descending_;
    sortColumn_ = clicked;
    Sort();
    WriteRows();
    Select(selected);
    InvalidateRect(list_, nullptr, FALSE);
}

std::optional<std::size_t> OverviewList::PrinterIndex(int screenRow) const {
    if (!shown_ || screenRow < 0 || static_cast<std::size_t>(screenRow) >= order_.size())
        return std::nullopt;
    return order_[static_cast<std::size_t>(screenRow)];
}

std::optional<std::size_t> OverviewList::SelectedPrinter() const {
    return PrinterIndex(static_cast<int>(Send(list_, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED)));
}

LRESULT OverviewList::CustomDraw(const NMLVCUSTOMDRAW& draw) const {
    if (!shown_)
        return CDRF_DODEFAULT;
    switch (draw.nmcd.dwDrawStage) {
    case CDDS_PREPAINT: return CDRF_NOTIFYITEMDRAW;
    case CDDS_ITEMPREPAINT: return CDRF_NOTIFYSUBITEMDRAW;
    case CDDS_ITEMPREPAINT | CDDS_SUBITEM: break;
    default: return CDRF_DODEFAULT;
    }
    const int screenRow = static_cast<int>(draw.nmcd.dwItemSpec);
    const std::optional<std::size_t> index = PrinterIndex(screenRow);
    const bool lamp = draw.iSubItem == ColumnOf(OverviewColumn::Lamp);
    if (!index || (!lamp && draw.iSubItem != ColumnOf(OverviewColumn::Supplies)))
        return CDRF_DODEFAULT;
    RECT cell{};
    cell.top = draw.iSubItem;
    // Column 0's bounds are the whole line's; its label is the cell.
    cell.left = lamp ? LVIR_LABEL : LVIR_BOUNDS;
    if (!Send(list_, LVM_GETSUBITEMRECT, static_cast<WPARAM>(screenRow), reinterpret_cast<LPARAM>(&cell)))
        return CDRF_DODEFAULT;
    if (lamp)
        cell.left = 0;  // under the one-pixel picture the row's indent leaves
    const bool selected = Send(list_, LVM_GETITEMSTATE, static_cast<WPARAM>(screenRow), LVIS_SELECTED) & LVIS_SELECTED;
    // The selected line's colour, as the list view paints the other cells of a selected line.
    FillWith(draw.nmcd.hdc, cell,
             !selected ? RGB(0, 0, 0) : GetSysColor(GetFocus() == list_ ? COLOR_HIGHLIGHT : COLOR_BTNFACE));
    const OverviewRow& row = rows_[*index];
    if (lamp) {
        DrawIconEx(draw.nmcd.hdc, cell.left + (cell.right - cell.left - 16) / 2, cell.top + (cell.bottom - cell.top - 16) / 2,
                   lamps_[static_cast<std::size_t>(row.lamp)], 16, 16, 0, nullptr, DI_NORMAL);
    } else {
        DrawSupplyBars(draw.nmcd.hdc, cell, row.supplies);
    }
    return CDRF_SKIPDEFAULT;
}

std::pair<int, int> OverviewList::CellAt(POINT point) const {
    LVHITTESTINFO hit{};
    hit.pt = point;
    if (Send(list_, LVM_SUBITEMHITTEST, 0, reinterpret_cast<LPARAM>(&hit)) < 0)
        return {-1, -1};
    return {hit.iItem, hit.iSubItem};
}

std::wstring OverviewList::CellHint(POINT point) const {
    const auto [screenRow, column] = CellAt(point);
    const std::optional<std::size_t> index = PrinterIndex(screenRow);
    if (!index || column != ColumnOf(OverviewColumn::Supplies))
        return {};
    std::wstring hint;
    for (const Supply& s : rows_[*index].supplies)
        hint += (hint.empty() ? L"" : L"\r\n") + WideForDisplay(SupplyText(s));
    return hint;
}

void OverviewList::SwapColumns(bool toOverview) {
    Send(list_, WM_SETREDRAW, FALSE);
    if (toOverview) {
        jobColumns_.clear();
        for (int c = 0, n = ColumnCount(list_); c < n; ++c) {
            wchar_t caption[256] = {};
            LVCOLUMNW column{};
            column.mask = LVCF_TEXT | LVCF_WIDTH;
            column.pszText = caption;
            column.cchTextMax = 256;
            Send(list_, LVM_GETCOLUMNW, static_cast<WPARAM>(c), reinterpret_cast<LPARAM>(&column));
            jobColumns_.push_back({caption, column.cx});
        }
    }
    Send(list_, LVM_DELETEALLITEMS);
    while (ColumnCount(list_) > 0 && Send(list_, LVM_DELETECOLUMN, 0)) {
    }
    if (toOverview) {
        for (std::size_t c = 0; c < kOverviewColumns.size(); ++c)
            InsertColumn(list_, static_cast<int>(c), WideForDisplay(kOverviewColumns[c].caption), kOverviewColumns[c].width);
    } else {
        for (std::size_t c = 0; c < jobColumns_.size(); ++c)
            InsertColumn(list_, static_cast<int>(c), jobColumns_[c].caption, jobColumns_[c].width);
    }
    // The lines' height: a lamp's on the overview, the font's in the job list.
    HIMAGELIST rowHeight = toOverview ? ImageList_Create(1, kRowHeight, ILC_COLOR, 0, 0) : nullptr;
    if (HIMAGELIST old = reinterpret_cast<HIMAGELIST>(
            Send(list_, LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(rowHeight))))
        ImageList_Destroy(old);
    Send(list_, WM_SETREDRAW, TRUE);
    InvalidateRect(list_, nullptr, TRUE);
}

void OverviewList::Sort() {
    if (sortColumn_) {
        order_ = OverviewOrder(rows_, *sortColumn_, descending_);
        return;
    }
    order_.resize(rows_.size());
    std::iota(order_.begin(), order_.end(), std::size_t{0});
}

void OverviewList::WriteRows() {
    for (int r = 0; r < static_cast<int>(order_.size()); ++r)
        WriteRow(r);
}

void OverviewList::WriteRow(int screenRow) {
    const std::optional<std::size_t> index = PrinterIndex(screenRow);
    if (!index)
        return;
    for (std::size_t c = 1; c < kOverviewColumns.size(); ++c) {
        std::wstring text = CellText(rows_[*index], kOverviewColumns[c].column);
        LVITEMW sub{};
        sub.iSubItem = static_cast<int>(c);
        sub.pszText = text.data();
        Send(list_, LVM_SETITEMTEXTW, static_cast<WPARAM>(screenRow), reinterpret_cast<LPARAM>(&sub));
    }
}

int OverviewList::ScreenRowOf(std::size_t index) const {
    const auto at = std::find(order_.begin(), order_.end(), index);
    return at == order_.end() ? -1 : static_cast<int>(at - order_.begin());
}

void OverviewList::Select(std::optional<std::size_t> index) {
    LVITEMW none{};
    none.stateMask = LVIS_SELECTED;
    Send(list_, LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&none));
    if (!index)
        return;
    LVITEMW item{};
    item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    item.state = LVIS_SELECTED | LVIS_FOCUSED;
    Send(list_, LVM_SETITEMSTATE, static_cast<WPARAM>(ScreenRowOf(*index)), reinterpret_cast<LPARAM>(&item));
}

}  // namespace quenlo::winapp
