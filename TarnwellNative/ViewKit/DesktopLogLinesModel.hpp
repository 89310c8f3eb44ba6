// A list model over the newest lines of a log. Setting a new list of lines
// removes the rows that left the top and adds the rows that arrived at the
// bottom, so a view keeps its rows, selection and scroll position; only a
// list that is not the old one trimmed and extended replaces changed rows.
#pragma once

#include <QAbstractListModel>
#include <QStringList>
#include <optional>

namespace tarnwell {

class DesktopLogLinesModel : public QAbstractListModel {
    Q_OBJECT
public:
    // `lineLimit`: how many of the newest lines to keep; none keeps all.
    explicit DesktopLogLinesModel(std::optional<int> lineLimit = std::nullopt, QObject* parent = nullptr);

    std::optional<int> lineLimit() const { return lineLimit_; }
    const QStringList& lines() const { return lines_; }
    // Shows the tail of `log` (oldest first) that the limit allows.
    void setLog(const QStringList& log);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

private:
    std::optional<int> lineLimit_;
    QStringList lines_;
};

}  // namespace tarnwell
