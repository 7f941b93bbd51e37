// The rows of the overview of every printer, as the program core hands them over, shown by the
// window's list view in the order the core's rule gives for the clicked header.
//
// Rows keep the file's index: the program updates row N of the file, whatever place the sort has
// given it on the screen, and a row on the screen opens the printer of its file index.
#pragma once

#include "monitor/Overview.h"

#include <QAbstractTableModel>
#include <QPixmap>
#include <array>
#include <optional>
#include <vector>

namespace quenlo::app {

class OverviewModel : public QAbstractTableModel {
public:
    // `lamps`: the window's three lamp pictures, by Lamp index; they must outlive the model.
    OverviewModel(const std::array<QPixmap, 3>& lamps, QObject* parent);

    void Show(const std::vector<OverviewRow>& rows);
    void Update(std::size_t index, const OverviewRow& row);
    // A click on a header: sorts by that column, a second click on the same one turns the order round.
    void HeaderClicked(int column);
    // The file index of the row shown at `row`; nullopt outside the rows.
    std::optional<std::size_t> PrinterIndex(int row) const;
    const OverviewRow& Row(std::size_t index) const { return rows_.at(index); }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    // DisplayRole: the cell's text; DecorationRole: the lamp and the supplies' level bars;
    // ToolTipRole: the supplies' names and levels, the alerts in full.
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    void Sort();

    const std::array<QPixmap, 3>& lamps_;
    std::vector<OverviewRow> rows_;
    std::vector<std::size_t> order_;  // screen row -> file index
    std::optional<OverviewColumn> sortColumn_;
    bool descending_ = false;
};

// The supplies as small bars side by side, each filled to its level in its marker colour, its low
// level marked with a line; `height` pixels high.
QPixmap SupplyBars(const std::vector<Supply>& supplies, int height);

}  // namespace quenlo::app
