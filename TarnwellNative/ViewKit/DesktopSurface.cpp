#include "ViewKit/DesktopSurface.hpp"

#include <QPainter>
#include <QVBoxLayout>

#include "ViewKit/DesktopShapes.hpp"

namespace tarnwell {

DesktopSurface::DesktopSurface(DesktopSurfaceTone tone, int padding, QWidget* parent)
    : QWidget(parent), tone_(tone), padding_(padding), layout_(new QVBoxLayout(this)) {
    layout_->setContentsMargins(padding, padding, padding, padding);
    layout_->setSpacing(0);
}

QVBoxLayout* DesktopSurface::fillCard(QWidget* card, int spacing) {
    auto* outer = new QVBoxLayout(card);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* surface = new DesktopSurface(DesktopSurfaceTone::strong);
    outer->addWidget(surface);
    auto* body = new QWidget;
    auto* column = new QVBoxLayout(body);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(spacing);
    surface->setContent(body);
    return column;
}

void DesktopSurface::setContent(QWidget* content) {
    if (content_ != nullptr) {
        layout_->removeWidget(content_);
        content_->deleteLater();
    }
    content_ = content;
    if (content_ != nullptr) {
        layout_->addWidget(content_);
    }
}

void DesktopSurface::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    DesktopShapes::fillRounded(painter, rect(), kCornerRadius, surfaceFillColor(tone_));
    DesktopShapes::strokeInside(painter, rect(), kCornerRadius, surfaceBorderColor(tone_));
}

void DesktopInnerBox::paintBox(QPainter& painter, const QRectF& rect) {
    DesktopShapes::fillSquare(painter, rect, DesktopPalette::surface());
    DesktopShapes::strokeInside(painter, rect, kCornerRadius, DesktopPalette::border());
}

void DesktopInnerBox::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    paintBox(painter, rect());
}

}  // namespace tarnwell
