#include "ViewKit/FlowLayout.hpp"

#include <QWidget>
#include <algorithm>

namespace tarnwell {

FlowLayout::FlowLayout(int spacing, QWidget* parent) : QLayout(parent) {
    setSpacing(spacing);
    setContentsMargins(0, 0, 0, 0);
}

FlowLayout::~FlowLayout() {
    while (QLayoutItem* item = takeAt(0)) {
        delete item;
    }
}

void FlowLayout::addItem(QLayoutItem* item) {
    items_.append(item);
    invalidate();
}

int FlowLayout::count() const { return static_cast<int>(items_.size()); }

QLayoutItem* FlowLayout::itemAt(int index) const {
    return index >= 0 && index < items_.size() ? items_.at(index) : nullptr;
}

QLayoutItem* FlowLayout::takeAt(int index) {
    if (index < 0 || index >= items_.size()) {
        return nullptr;
    }
    QLayoutItem* item = items_.takeAt(index);
    invalidate();
    return item;
}

Qt::Orientations FlowLayout::expandingDirections() const { return {}; }

QList<QLayoutItem*> FlowLayout::visibleItems() const {
    QList<QLayoutItem*> shown;
    for (QLayoutItem* item : items_) {
        if (!item->isEmpty()) {
            shown.append(item);
        }
    }
    return shown;
}

QSize FlowLayout::rowSize() const {
    const auto shown = visibleItems();
    int width = 0;
    int height = 0;
    for (QLayoutItem* item : shown) {
        width += item->sizeHint().width();
        height = std::max(height, item->sizeHint().height());
    }
    width += spacing() * std::max<int>(0, static_cast<int>(shown.size()) - 1);
    return {width, height};
}

QSize FlowLayout::columnSize() const {
    const auto shown = visibleItems();
    int width = 0;
    int height = 0;
    for (QLayoutItem* item : shown) {
        width = std::max(width, item->minimumSize().width());
        height += item->sizeHint().height();
    }
    height += spacing() * std::max<int>(0, static_cast<int>(shown.size()) - 1);
    return {width, height};
}

int FlowLayout::itemHeight(QLayoutItem* item, int width) {
    return item->hasHeightForWidth() ? item->heightForWidth(width) : item->sizeHint().height();
}

int FlowLayout::columnHeight(int width) const {
    const auto shown = visibleItems();
    int height = 0;
    for (QLayoutItem* item : shown) {
        height += itemHeight(item, std::min(item->sizeHint().width(), width));
    }
    return height + spacing() * std::max<int>(0, static_cast<int>(shown.size()) - 1);
}

int FlowLayout::rowWidth() const { return rowSize().width(); }

bool FlowLayout::fitsInRow(int width) const { return rowSize().width() <= width; }

int FlowLayout::usedWidth(int width) const {
    if (fitsInRow(width)) {
        return rowWidth();
    }
    int widest = 0;
    for (QLayoutItem* item : visibleItems()) {
        widest = std::max(widest, std::min(item->sizeHint().width(), width));
    }
    return widest;
}

bool FlowLayout::hasHeightForWidth() const { return true; }

int FlowLayout::heightForWidth(int width) const {
    return fitsInRow(width) ? rowSize().height() : columnHeight(width);
}

QSize FlowLayout::sizeHint() const { return rowSize(); }

QSize FlowLayout::minimumSize() const { return {columnSize().width(), rowSize().height()}; }

void FlowLayout::setGeometry(const QRect& rect) {
    QLayout::setGeometry(rect);
    const auto shown = visibleItems();
    if (fitsInRow(rect.width())) {
        const int rowHeight = rowSize().height();
        int x = rect.x();
        for (QLayoutItem* item : shown) {
            const QSize size = item->sizeHint();
            const int y = rect.y() + (rowHeight - size.height()) / 2;
            item->setGeometry(QRect(QPoint(x, y), size));
            x += size.width() + spacing();
        }
        return;
    }
    int y = rect.y();
    for (QLayoutItem* item : shown) {
        const int width = std::min(item->sizeHint().width(), rect.width());
        const int height = itemHeight(item, width);
        item->setGeometry(QRect(rect.right() + 1 - width, y, width, height));
        y += height + spacing();
    }
}

}  // namespace tarnwell
