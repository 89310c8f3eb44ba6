#include "ViewKit/DesktopRule.hpp"

#include <QPainter>

#include "ViewKit/DesktopPalette.hpp"

namespace tarnwell {

DesktopRule::DesktopRule(QWidget* parent) : QWidget(parent) {
    setFixedHeight(1);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void DesktopRule::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), DesktopPalette::border());
}

}  // namespace tarnwell
