#include "app/JobListModel.h"

#include "app/TextCodec.h"

namespace quenlo::app {

void JobListModel::AddColumn(const QString& caption) {
    const int column = static_cast<int>(captions_.size());
    beginInsertColumns(QModelIndex(), column, column);
    captions_.append(caption);
    endInsertColumns();
}

void JobListModel::Clear() {
    beginResetModel();
    rows_.clear();
    endResetModel();
}

void JobListModel::Append(JobRow&& row) {
    const int at = static_cast<int>(rows_.size());
    beginInsertRows(QModelIndex(), at, at);
    rows_.push_back(std::move(row));
    endInsertRows();
}

int JobListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int JobListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(captions_.size());
}

QVariant JobListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount() || role != Qt::DisplayRole)
        return {};
    const auto column = static_cast<std::size_t>(index.column());
    const JobRow& row = Row(index.row());
    return column < row.size() ? IsolatedForDisplay(row[column]) : QString();
}

QVariant JobListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= captions_.size())
        return QAbstractTableModel::headerData(section, orientation, role);
    return captions_[section];
}

}  // namespace quenlo::app
