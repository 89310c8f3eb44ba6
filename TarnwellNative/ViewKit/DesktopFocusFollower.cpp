#include "ViewKit/DesktopFocusFollower.hpp"

#include <QApplication>
#include <QFocusEvent>
#include <QScrollArea>
#include <QScrollBar>

#include <algorithm>

namespace tarnwell {

namespace {

// Where a view `length` long should start so that it shows [start, end),
// moving the least from `value`, with up to `margin` on either side.
int follow(int value, int length, int start, int end, int margin) {
    if (start >= value && end <= value + length) return value;
    if (end - start >= length) return start;
    const int pad = std::min(margin, (length - (end - start)) / 2);
    return start < value ? start - pad : end + pad - length;
}

} // namespace

DesktopFocusFollower::DesktopFocusFollower(QScrollArea* area) : QObject(area), area_(area) {
    // The focus event goes to the control alone, never to the areas around
    // it, so the follower listens where every event passes first.
    qApp->installEventFilter(this);
}

void DesktopFocusFollower::reveal(QScrollArea* area, QWidget* control, int margin) {
    QWidget* page = area->widget();
    if (page == nullptr || control == nullptr || !page->isAncestorOf(control)) return;
    const QRect box(control->mapTo(page, QPoint(0, 0)), control->size());
    const QSize view = area->viewport()->size();
    QScrollBar* across = area->horizontalScrollBar();
    QScrollBar* down = area->verticalScrollBar();
    across->setValue(follow(across->value(), view.width(), box.left(), box.right() + 1, margin));
    down->setValue(follow(down->value(), view.height(), box.top(), box.bottom() + 1, margin));
}

bool DesktopFocusFollower::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::FocusIn || !watched->isWidgetType() || !area_) return false;
    switch (static_cast<QFocusEvent*>(event)->reason()) {
    case Qt::TabFocusReason:
    case Qt::BacktabFocusReason:
    case Qt::ShortcutFocusReason:
    case Qt::OtherFocusReason:
        reveal(area_, static_cast<QWidget*>(watched));
        break;
    default:
        break;
    }
    return false;
}

} // namespace tarnwell
