// The job list's rows as the refresh hands them over, shown by the window's list view.
//
// The model keeps each JobRow it is given (moved in, never copied) and hands Qt its texts only when
// a cell is painted or asked for, decoded for display at that moment (app/TextCodec.h), so filling a
// long queue costs little more than storing the rows. The bytes stay as they came: the job commands
// read the "job ID" caption from Row().
//
// Columns are added once by start-up with their captions; a row holds eight texts, so a column past
// the eighth shows nothing, but for the finished jobs' rows, which hold two more. Removing all rows resets the model (selection and hover go with it).
#pragma once

#include "monitor/MonitorView.h"

#include <QAbstractTableModel>
#include <QStringList>
#include <array>
#include <string>
#include <vector>

namespace quenlo::app {

class JobListModel : public QAbstractTableModel {
public:
    using QAbstractTableModel::QAbstractTableModel;

    void AddColumn(const QString& caption);
    // Removes the columns from `first` on.
    void RemoveColumnsFrom(int first);
    void Clear();
    void Append(JobRow&& row);
    // A finished job's row: the eight texts, and the two more in the columns after the eighth.
    void Append(FinishedJobRow&& row);
    // The row's bytes as handed over; `row` must be below rowCount().
    const JobRow& Row(int row) const { return rows_[static_cast<std::size_t>(row)]; }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    // DisplayRole: the cell's text; nothing for other roles (the view's hint for a cut-off cell
    // comes from its delegate).
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    QStringList captions_;
    std::vector<JobRow> rows_;
    // The finished jobs' two further texts, by row; empty while the waiting jobs show.
    std::vector<std::array<std::string, 2>> finished_;
};

}  // namespace quenlo::app
