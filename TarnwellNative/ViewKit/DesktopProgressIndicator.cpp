#include "ViewKit/DesktopProgressIndicator.hpp"

#include <QPainter>
#include <algorithm>

#include "ViewKit/DesktopPalette.hpp"
#include "ViewKit/DesktopShapes.hpp"

namespace tarnwell {

DesktopProgressIndicator::DesktopProgressIndicator(QWidget* parent) : QWidget(parent) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    spin_.setInterval(50);
    connect(&spin_, &QTimer::timeout, this, [this] {
        angle_ = (angle_ + 30) % 360;
        update();
    });
    setMode(Mode::idle);
}

void DesktopProgressIndicator::setMode(Mode mode) {
    const bool changed = mode != mode_;
    mode_ = mode;
    switch (mode_) {
    case Mode::determinate: setFixedHeight(kBarHeight); break;
    case Mode::indeterminate: setFixedHeight(kSpinnerSize); break;
    case Mode::idle: setFixedHeight(kIdleHeight); break;
    }
    if (mode_ == Mode::indeterminate && isVisible()) {
        spin_.start();
    } else {
        spin_.stop();
    }
    if (changed) {
        updateGeometry();
    }
    update();
}

void DesktopProgressIndicator::setDeterminate(double fraction) {
    fraction_ = std::clamp(fraction, 0.0, 1.0);
    setMode(Mode::determinate);
}

void DesktopProgressIndicator::setIndeterminate() { setMode(Mode::indeterminate); }

void DesktopProgressIndicator::setIdle() { setMode(Mode::idle); }

QSize DesktopProgressIndicator::sizeHint() const { return {200, height()}; }

QSize DesktopProgressIndicator::minimumSizeHint() const {
    return {mode_ == Mode::indeterminate ? kSpinnerSize : 0, height()};
}

void DesktopProgressIndicator::showEvent(QShowEvent*) {
    if (mode_ == Mode::indeterminate) {
        spin_.start();
    }
}

void DesktopProgressIndicator::hideEvent(QHideEvent*) { spin_.stop(); }

void DesktopProgressIndicator::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, true);
    const QRectF frame = rect();
    switch (mode_) {
    case Mode::idle:
        painter.fillRect(frame, DesktopPalette::border());
        return;
    case Mode::determinate: {
        const qreal radius = frame.height() / 2.0;
        painter.setPen(Qt::NoPen);
        painter.setBrush(DesktopPalette::withOpacity(DesktopPalette::border(), 0.7));
        painter.drawRoundedRect(frame, radius, radius);
        if (fraction_ > 0) {
            QRectF filled = frame;
            filled.setWidth(std::max(frame.height(), frame.width() * fraction_));
            painter.setBrush(DesktopPalette::accentDeep());
            painter.drawRoundedRect(filled, radius, radius);
        }
        return;
    }
    case Mode::indeterminate: {
        const QRectF box(1.5, 1.5, kSpinnerSize - 3, kSpinnerSize - 3);
        painter.setPen(QPen(DesktopPalette::withOpacity(DesktopPalette::accentDeep(), 0.25), 2.5));
        painter.drawEllipse(box);
        QPen arc(DesktopPalette::accentDeep(), 2.5);
        arc.setCapStyle(Qt::RoundCap);
        painter.setPen(arc);
        painter.drawArc(box, -angle_ * 16, 100 * 16);
        return;
    }
    }
}

}  // namespace tarnwell
