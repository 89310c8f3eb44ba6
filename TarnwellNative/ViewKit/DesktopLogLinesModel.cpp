#include "ViewKit/DesktopLogLinesModel.hpp"

#include <algorithm>

namespace tarnwell {

DesktopLogLinesModel::DesktopLogLinesModel(std::optional<int> lineLimit, QObject* parent)
    : QAbstractListModel(parent), lineLimit_(lineLimit ? std::optional<int>(std::max(0, *lineLimit)) : std::nullopt) {}

int DesktopLogLinesModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(lines_.size());
}

QVariant DesktopLogLinesModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= lines_.size()) {
        return {};
    }
    if (role == Qt::DisplayRole || role == Qt::EditRole || role == Qt::ToolTipRole) {
        return role == Qt::ToolTipRole ? QVariant() : QVariant(lines_.at(index.row()));
    }
    return {};
}

void DesktopLogLinesModel::setLog(const QStringList& log) {
    qsizetype keep = log.size();
    if (lineLimit_) {
        keep = std::min<qsizetype>(keep, *lineLimit_);
    }
    const QStringList next = log.mid(log.size() - keep);
    if (next == lines_) {
        return;
    }

    // Find how many rows left the top: the smallest k for which the old rows
    // from k on are where the new list starts.
    const qsizetype oldCount = lines_.size();
    std::optional<qsizetype> dropped;
    for (qsizetype k = 0; k <= oldCount; ++k) {
        const qsizetype overlap = oldCount - k;
        if (overlap > next.size()) {
            continue;
        }
        if (std::equal(lines_.cbegin() + k, lines_.cend(), next.cbegin())) {
            dropped = k;
            break;
        }
    }

    if (dropped && (*dropped < oldCount || oldCount == 0)) {
        if (*dropped > 0) {
            beginRemoveRows(QModelIndex(), 0, static_cast<int>(*dropped - 1));
            lines_.erase(lines_.begin(), lines_.begin() + *dropped);
            endRemoveRows();
        }
        const qsizetype kept = lines_.size();
        if (next.size() > kept) {
            beginInsertRows(QModelIndex(), static_cast<int>(kept), static_cast<int>(next.size() - 1));
            lines_.append(next.mid(kept));
            endInsertRows();
        }
        return;
    }

    // Anything else (a cleared log, a wholly new tail): change the rows in
    // place, then add or remove the difference at the bottom.
    const qsizetype common = std::min(oldCount, next.size());
    for (qsizetype i = 0; i < common; ++i) {
        lines_[i] = next[i];
    }
    if (common > 0) {
        emit dataChanged(index(0), index(static_cast<int>(common - 1)));
    }
    if (oldCount > next.size()) {
        beginRemoveRows(QModelIndex(), static_cast<int>(next.size()), static_cast<int>(oldCount - 1));
        lines_.erase(lines_.begin() + next.size(), lines_.end());
        endRemoveRows();
    } else if (next.size() > oldCount) {
        beginInsertRows(QModelIndex(), static_cast<int>(oldCount), static_cast<int>(next.size() - 1));
        lines_.append(next.mid(oldCount));
        endInsertRows();
    }
}

}  // namespace tarnwell
