// Keeps the control that takes the keyboard focus inside a scroll area
// whole in view. However the focus arrives there (Tab or Backtab from
// within the area or from outside it, a shortcut, a call of setFocus), the
// area scrolls the least that shows the control whole, with a margin
// around it where there is room. A click gives no such scroll: the control
// clicked is already under the pointer, and moving it between the press
// and the release would lose the click. Nor does the window's activation
// or a closing popup, which only hand back a focus the user left where it
// was.
#pragma once

#include <QObject>
#include <QPointer>

class QScrollArea;
class QWidget;

namespace tarnwell {

class DesktopFocusFollower : public QObject {
    Q_OBJECT
public:
    // Room kept around a control scrolled into view, where there is room.
    static constexpr int kMargin = 24;

    // Follows the focus for `area`, as long as the area lives.
    explicit DesktopFocusFollower(QScrollArea* area);

    // Scrolls `area` the least that shows `control` (inside the area's
    // widget) whole, `margin` around it as far as the view has room; a
    // control taller or wider than the view shows from its top or leading
    // edge. Nothing moves when it is whole in view already.
    static void reveal(QScrollArea* area, QWidget* control, int margin = kMargin);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QPointer<QScrollArea> area_;
};

}  // namespace tarnwell
