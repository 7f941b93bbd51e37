#include "app/JobListModel.h"

#include "app/TextCodec.h"

namespace quenlo::app {

void JobListModel::AddColumn(const QString& caption) {
    const int column = static_cast<int>(captions_.size());
    beginInsertColumns(QModelIndex(), column, column);
    captions_.append(caption);
    endInsertColumns();
}

void JobListModel::RemoveColumnsFrom(int first) {
    const int last = static_cast<int>(captions_.size()) - 1;
    if (first < 0 || first > last)
        return;
    beginRemoveColumns(QModelIndex(), first, last);
    captions_.resize(first);
    endRemoveColumns();
}

void JobListModel::Clear() {
    beginResetModel();
    rows_.clear();
    finished_.clear();
    endResetModel();
}

void JobListModel::Append(FinishedJobRow&& row) {
    JobRow eight;
    std::move(row.begin(), row.begin() + eight.size(), eight.begin());
    finished_.resize(rows_.size());
    finished_.push_back({std::move(row[8]), std::move(row[9])});
    Append(std::move(eight));
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
    if (column < row.size())
        return IsolatedForDisplay(row[column]);
    const auto at = static_cast<std::size_t>(index.row());
    const std::size_t more = column - row.size();
    return at < finished_.size() && more < finished_[at].size() ? IsolatedForDisplay(finished_[at][more]) : QString();
}

QVariant JobListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= captions_.size())
        return QAbstractTableModel::headerData(section, orientation, role);
    return captions_[section];
}

}  // namespace quenlo::app
