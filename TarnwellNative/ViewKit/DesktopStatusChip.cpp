#include "ViewKit/DesktopStatusChip.hpp"

#include <QPainter>
#include <QTextLayout>
#include <cmath>

#include "ViewKit/DesktopFonts.hpp"
#include "ViewKit/DesktopShapes.hpp"
#include "ViewKit/DesktopStatusKind.hpp"

namespace tarnwell {

namespace {
constexpr int kTextInset = DesktopStatusChip::kHorizontalPadding + DesktopStatusChip::kDotSize +
                           DesktopStatusChip::kGap;

// The lines of `text` broken between words at `width` (a word wider than
// the line stays whole).
QStringList wrapped(const QString& text, const QFont& font, qreal width) {
    QStringList lines;
    QTextLayout layout(text, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WordWrap);
    layout.setTextOption(option);
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        lines.append(text.mid(line.textStart(), line.textLength()).trimmed());
    }
    layout.endLayout();
    return lines;
}
}  // namespace

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
    if (!wraps_) {
        return {kTextInset + kHorizontalPadding, kHeight};
    }
    const QFontMetricsF metrics(font());
    qreal widest = 0;
    for (const QString& word : text_.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        widest = std::max(widest, metrics.horizontalAdvance(word));
    }
    return {kTextInset + static_cast<int>(std::ceil(widest)) + kHorizontalPadding, kHeight};
}

void DesktopStatusChip::setWrapsText(bool wraps) {
    wraps_ = wraps;
    QSizePolicy policy = sizePolicy();
    policy.setHeightForWidth(wraps);
    policy.setVerticalPolicy(wraps ? QSizePolicy::Preferred : QSizePolicy::Fixed);
    setSizePolicy(policy);
    if (wraps) {
        setMinimumHeight(kHeight);
        setMaximumHeight(QWIDGETSIZE_MAX);
    } else {
        setFixedHeight(kHeight);
    }
    updateGeometry();
}

int DesktopStatusChip::heightForWidth(int width) const {
    if (!wraps_) {
        return kHeight;
    }
    const QFontMetricsF metrics(font());
    const auto lines = wrapped(text_, font(), std::max(1, width - kTextInset - kHorizontalPadding));
    const qreal extra = std::max<qreal>(0, lines.size() - 1) * metrics.lineSpacing();
    return kHeight + static_cast<int>(std::ceil(extra));
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
    if (wraps_) {
        const QFontMetricsF metrics(font());
        const auto lines = wrapped(text_, font(), std::max<qreal>(1, textRect.width()));
        if (lines.size() > 1) {
            qreal y = (frame.height() - lines.size() * metrics.lineSpacing()) / 2.0 + metrics.ascent();
            for (const QString& line : lines) {
                painter.drawText(QPointF(textRect.left(), y), line);
                y += metrics.lineSpacing();
            }
            return;
        }
    }
    const QString shown =
        QFontMetricsF(font()).elidedText(text_, Qt::ElideRight, std::max<qreal>(0, textRect.width()));
    painter.drawText(textRect, Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine, shown);
}

}  // namespace tarnwell
