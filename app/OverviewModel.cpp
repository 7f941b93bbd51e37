#include "app/OverviewModel.h"

#include "app/TextCodec.h"
#include "monitor/MonitorTexts.h"

#include <QPainter>
#include <numeric>

namespace quenlo::app {

namespace {

constexpr int kBarWidth = 7;
constexpr int kBarGap = 2;

// The first colour of a marker: "#RRGGBB" (a multi-colour supply lists several), or a colour name.
QColor MarkerColour(const std::string& colour)
{
    const QString text = QString::fromLatin1(colour.substr(0, colour.find('#', 1)));
    const QColor parsed = QColor::fromString(text);
    return parsed.isValid() ? parsed : QColor(Qt::gray);
}

QString AlertsText(const OverviewRow& row)
{
    std::string text;
    if (!row.errors.empty())
        text = texts::kHintErrors + row.errors;
    if (!row.warnings.empty())
        text += (text.empty() ? "" : " ") + std::string(texts::kHintWarnings) + row.warnings;
    return IsolatedForDisplay(text);
}

QString SuppliesHint(const OverviewRow& row)
{
    QStringList lines;
    for (const Supply& s : row.supplies)
        lines.append(DecodeForDisplay(SupplyText(s)));
    return lines.join(QLatin1Char('\n'));
}

}  // namespace

QPixmap SupplyBars(const std::vector<Supply>& supplies, int height)
{
    const int count = static_cast<int>(supplies.size());
    QPixmap bars(std::max(1, count * (kBarWidth + kBarGap)), height);
    bars.fill(Qt::transparent);
    QPainter painter(&bars);
    for (int i = 0; i < count; ++i) {
        const Supply& s = supplies[static_cast<std::size_t>(i)];
        const QRect frame(i * (kBarWidth + kBarGap), 0, kBarWidth - 1, height - 1);
        painter.setPen(QColor(96, 96, 96));
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(frame);
        if (s.level > 0) {
            const int filled = (height - 2) * std::min(s.level, 100) / 100;
            painter.fillRect(frame.x() + 1, frame.bottom() - filled, kBarWidth - 2, filled, MarkerColour(s.colour));
        }
        if (s.low >= 0) {
            const int y = frame.bottom() - (height - 2) * std::min(s.low, 100) / 100;
            painter.setPen(Qt::red);
            painter.drawLine(frame.x(), y, frame.right(), y);
        }
    }
    return bars;
}

OverviewModel::OverviewModel(const std::array<QPixmap, 3>& lamps, QObject* parent)
    : QAbstractTableModel(parent), lamps_(lamps)
{
}

void OverviewModel::Show(const std::vector<OverviewRow>& rows)
{
    beginResetModel();
    rows_ = rows;
    Sort();
    endResetModel();
}

void OverviewModel::Update(std::size_t index, const OverviewRow& row)
{
    if (index >= rows_.size())
        return;
    rows_[index] = row;
    if (sortColumn_) {
        // The row may move: the others keep their places among themselves.
        Q_EMIT layoutAboutToBeChanged();
        Sort();
        Q_EMIT layoutChanged();
        return;
    }
    const int at = static_cast<int>(index);
    Q_EMIT dataChanged(this->index(at, 0), this->index(at, columnCount() - 1));
}

void OverviewModel::HeaderClicked(int column)
{
    if (column < 0 || column >= columnCount())
        return;
    const OverviewColumn clicked = kOverviewColumns[static_cast<std::size_t>(column)].column;
    descending_ = sortColumn_ == clicked && !descending_;
    sortColumn_ = clicked;
    Q_EMIT layoutAboutToBeChanged();
    Sort();
    Q_EMIT layoutChanged();
}

void OverviewModel::Sort()
{
    if (sortColumn_) {
        order_ = OverviewOrder(rows_, *sortColumn_, descending_);
        return;
    }
    order_.resize(rows_.size());
    std::iota(order_.begin(), order_.end(), std::size_t{0});
}

std::optional<std::size_t> OverviewModel::PrinterIndex(int row) const
{
    if (row < 0 || row >= rowCount())
        return std::nullopt;
    return order_[static_cast<std::size_t>(row)];
}

int OverviewModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int OverviewModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(kOverviewColumns.size());
}

QVariant OverviewModel::data(const QModelIndex& index, int role) const
{
    const std::optional<std::size_t> at = index.isValid() ? PrinterIndex(index.row()) : std::nullopt;
    if (!at)
        return {};
    const OverviewRow& row = rows_[*at];
    switch (kOverviewColumns[static_cast<std::size_t>(index.column())].column) {
    case OverviewColumn::Lamp:
        return role == Qt::DecorationRole ? QVariant(lamps_[static_cast<std::size_t>(row.lamp)]) : QVariant();
    case OverviewColumn::Name: return role == Qt::DisplayRole ? QVariant(IsolatedForDisplay(row.name)) : QVariant();
    case OverviewColumn::Server: return role == Qt::DisplayRole ? QVariant(IsolatedForDisplay(row.server)) : QVariant();
    case OverviewColumn::Line: return role == Qt::DisplayRole ? QVariant(IsolatedForDisplay(row.line)) : QVariant();
    case OverviewColumn::Jobs:
        return role == Qt::DisplayRole && row.jobs >= 0 ? QVariant(QString::number(row.jobs)) : QVariant();
    case OverviewColumn::Alerts: return role == Qt::DisplayRole ? QVariant(AlertsText(row)) : QVariant();
    case OverviewColumn::Supplies:
        if (role == Qt::DecorationRole && !row.supplies.empty())
            return SupplyBars(row.supplies, 12);
        if (role == Qt::ToolTipRole && !row.supplies.empty())
            return SuppliesHint(row);
        return {};
    }
    return {};
}

QVariant OverviewModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= columnCount())
        return QAbstractTableModel::headerData(section, orientation, role);
    return QString::fromUtf8(kOverviewColumns[static_cast<std::size_t>(section)].caption);
}

}  // namespace quenlo::app
