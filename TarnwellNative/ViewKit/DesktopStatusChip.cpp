#include "ViewKit/DesktopStatusChip.hpp"

#include <QPainter>
#include <cmath>

#include "ViewKit/DesktopFonts.hpp"
#include "ViewKit/DesktopShapes.hpp"
#include "ViewKit/DesktopStatusKind.hpp"

namespace tarnwell {

DesktopStatusChip::DesktopStatusChip(const QString& text, StatusPillKind kind, QWidget* parent)
    : QWidget(parent), text_(text), kind_(kind) {
    setFont(DesktopFonts::system(12, QFont::Bold));
    setFixedHeight(kHeight);
    setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Fixed);
    setAccessibleName(text_);
}

void DesktopStatusChip::setText(const QString& text) {
    if (text == text_) {
        return;
    }
    text_ = text;
    setAccessibleName(text_);
    updateGeometry();
    update();
}

void DesktopStatusChip::setKind(StatusPillKind kind) {
    if (kind == kind_) {
        return;
    }
    kind_ = kind;
    update();
}

void DesktopStatusChip::setPresentation(const StatusPillPresentation& presentation) {
    setText(presentation.text);
    setKind(presentation.kind);
}

int DesktopStatusChip::firstBaseline() const {
    const QFontMetricsF metrics(font());
    return qRound((kHeight - metrics.height()) / 2.0 + metrics.ascent());
}

QSize DesktopStatusChip::sizeHint() const {
    const int textWidth = static_cast<int>(std::ceil(QFontMetricsF(font()).horizontalAdvance(text_)));
    return {kHorizontalPadding + kDotSize + kGap + textWidth + kHorizontalPadding, kHeight};
}

QSize DesktopStatusChip::minimumSizeHint() const {
    return {kHorizontalPadding + kDotSize + kGap + kHorizontalPadding, kHeight};
}

void DesktopStatusChip::paintEvent(QPaintEvent*) {
    const StatusChipColors colors = statusChipColors(kind_);
    QPainter painter(this);
    const QRectF frame = rect();
    DesktopShapes::fillSquare(painter, frame, colors.background);
    DesktopShapes::strokeInside(painter, frame, 8, colors.stroke);

    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setPen(Qt::NoPen);
    painter.setBrush(colors.dot);
    const qreal dotTop = (frame.height() - kDotSize) / 2.0;
    painter.drawEllipse(QRectF(kHorizontalPadding, dotTop, kDotSize, kDotSize));

    const QRectF textRect(kHorizontalPadding + kDotSize + kGap, 0,
                          frame.width() - (2 * kHorizontalPadding + kDotSize + kGap), frame.height());
    painter.setFont(font());
    painter.setPen(colors.foreground);
    const QString shown =
        QFontMetricsF(font()).elidedText(text_, Qt::ElideRight, std::max<qreal>(0, textRect.width()));
    painter.drawText(textRect, Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine, shown);
}

}  // namespace tarnwell
