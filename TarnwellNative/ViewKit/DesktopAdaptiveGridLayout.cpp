#include "ViewKit/DesktopAdaptiveGridLayout.hpp"

#include <algorithm>

namespace tarnwell {

DesktopAdaptiveGridLayout::DesktopAdaptiveGridLayout(int minimumColumnWidth, int spacing, QWidget* parent)
    : QLayout(parent), minimumColumnWidth_(minimumColumnWidth) {
    setSpacing(spacing);
    setContentsMargins(0, 0, 0, 0);
}

DesktopAdaptiveGridLayout::~DesktopAdaptiveGridLayout() {
    while (QLayoutItem* item = takeAt(0)) {
        delete item;
    }
}

void DesktopAdaptiveGridLayout::addItem(QLayoutItem* item) {
    items_.append(item);
    invalidate();
}

int DesktopAdaptiveGridLayout::count() const { return static_cast<int>(items_.size()); }

QLayoutItem* DesktopAdaptiveGridLayout::itemAt(int index) const {
    return index >= 0 && index < items_.size() ? items_.at(index) : nullptr;
}

QLayoutItem* DesktopAdaptiveGridLayout::takeAt(int index) {
    if (index < 0 || index >= items_.size()) {
        return nullptr;
    }
    QLayoutItem* item = items_.takeAt(index);
    invalidate();
    return item;
}

Qt::Orientations DesktopAdaptiveGridLayout::expandingDirections() const { return Qt::Horizontal; }

QList<QLayoutItem*> DesktopAdaptiveGridLayout::visibleItems() const {
    QList<QLayoutItem*> shown;
    for (QLayoutItem* item : items_) {
        if (!item->isEmpty()) {
            shown.append(item);
        }
    }
    return shown;
}

int DesktopAdaptiveGridLayout::columnCount(int width) const {
    const int columns = (width + spacing()) / (minimumColumnWidth_ + spacing());
    return std::max(1, columns);
}

int DesktopAdaptiveGridLayout::arrange(const QRect& rect, bool apply) const {
    const auto shown = visibleItems();
    const int columns = columnCount(rect.width());
    const double columnWidth =
        std::max(0.0, (rect.width() - spacing() * (columns - 1)) / static_cast<double>(columns));
    int y = rect.y();
    for (int start = 0; start < shown.size(); start += columns) {
        const int end = std::min<int>(static_cast<int>(shown.size()), start + columns);
        int rowHeight = 0;
        for (int i = start; i < end; ++i) {
            QLayoutItem* item = shown.at(i);
            const int height = item->hasHeightForWidth()
                                   ? item->heightForWidth(static_cast<int>(columnWidth))
                                   : item->sizeHint().height();
            rowHeight = std::max({rowHeight, height, item->minimumSize().height()});
        }
        if (apply) {
            for (int i = start; i < end; ++i) {
                const int column = i - start;
                const int left = rect.x() + static_cast<int>(column * (columnWidth + spacing()));
                const int right = rect.x() + static_cast<int>(column * (columnWidth + spacing()) + columnWidth);
                shown.at(i)->setGeometry(QRect(left, y, right - left, rowHeight));
            }
        }
        y += rowHeight + (end < shown.size() ? spacing() : 0);
    }
    return y - rect.y();
}

bool DesktopAdaptiveGridLayout::hasHeightForWidth() const { return true; }

int DesktopAdaptiveGridLayout::heightForWidth(int width) const { return arrange(QRect(0, 0, width, 0), false); }

QSize DesktopAdaptiveGridLayout::sizeHint() const {
    const int columns = std::max<int>(1, static_cast<int>(visibleItems().size()));
    const int width = columns * minimumColumnWidth_ + (columns - 1) * spacing();
    return {width, heightForWidth(width)};
}

QSize DesktopAdaptiveGridLayout::minimumSize() const {
    return {minimumColumnWidth_, heightForWidth(minimumColumnWidth_)};
}

void DesktopAdaptiveGridLayout::setGeometry(const QRect& rect) {
    QLayout::setGeometry(rect);
    arrange(rect, true);
}

}  // namespace tarnwell
